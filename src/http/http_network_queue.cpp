#include "http/http_network_queue.h"

#include <algorithm>
#include <atomic>
#include <cassert>
#include <vector>

#include "http/http_request.h"
#include "http/transfer.h"

namespace strombel::http {

namespace {

uint64_t newGroup() {
    static std::atomic<uint64_t> next{1};
    return next.fetch_add(1, std::memory_order_relaxed);
}

}  // namespace

HttpNetworkQueue::HttpNetworkQueue() : group_(newGroup()), self_(std::make_shared<HttpNetworkQueue*>(this)) {}

HttpNetworkQueue::~HttpNetworkQueue() {
    *self_ = nullptr;
    for (auto& [pointer, member] : members_) member.request->setQueue(nullptr);
}

void HttpNetworkQueue::addOperation(std::shared_ptr<HttpRequest> request) {
    assert(request && request->state_ == HttpRequest::State::Ready && !request->queue_);
    if (!request || request->state_ != HttpRequest::State::Ready || request->queue_) return;
    request->setQueue(this);
    members_.emplace(request.get(), Member{request, {}});
    waiting_.push_back(std::move(request));
    submitWaiting();
}

void HttpNetworkQueue::go() {
    suspended_ = false;
    submitWaiting();
}

void HttpNetworkQueue::submitWaiting() {
    if (suspended_) return;
    while (!waiting_.empty()) {
        std::shared_ptr<HttpRequest> next = std::move(waiting_.front());
        waiting_.pop_front();
        auto member = members_.find(next.get());
        // Requests cancelled or cleared while they waited only have their end to come.
        if (member == members_.end() || member->second.request != next || next->cancelled_) continue;
        next->start(group_, kMaxConcurrentOperationCount, cancelsAllOnFailure_);
    }
}

size_t HttpNetworkQueue::runningCount() const {
    return static_cast<size_t>(std::count_if(members_.begin(), members_.end(),
                                             [](const auto& member) { return member.second.request->isExecuting(); }));
}

void HttpNetworkQueue::cancelAllOperations() {
    std::vector<std::shared_ptr<HttpRequest>> requests;
    requests.reserve(members_.size());
    for (auto& [pointer, member] : members_) requests.push_back(member.request);
    // Waiting requests go first: a running one's end would let the next one start.
    std::stable_partition(requests.begin(), requests.end(), [](const auto& request) { return !request->isExecuting(); });
    for (auto& request : requests) request->cancel();
    // Cancelled requests report nothing more but their error: what they counted
    // goes with the reset.
    total_ = {};
    for (auto& [pointer, member] : members_) member.counted = {};
}

void HttpNetworkQueue::count(Member& member, const HttpRequest& request) {
    Counters now;
    now.sent = static_cast<uint64_t>(std::max<int64_t>(request.bytesSent(), 0));
    now.toSend = std::max<uint64_t>(static_cast<uint64_t>(std::max<int64_t>(request.bytesToSend(), 0)), now.sent);
    now.received = static_cast<uint64_t>(std::max<int64_t>(request.bytesReceived(), 0));
    now.toReceive = std::max<uint64_t>(static_cast<uint64_t>(std::max<int64_t>(request.bytesExpected(), 0)),
                                       now.received);
    // Each member's share is taken out whole and put back new, so the totals stay
    // sums of what the members count now.
    total_.sent = total_.sent - member.counted.sent + now.sent;
    total_.toSend = total_.toSend - member.counted.toSend + now.toSend;
    total_.received = total_.received - member.counted.received + now.received;
    total_.toReceive = total_.toReceive - member.counted.toReceive + now.toReceive;
    member.counted = now;
}

void HttpNetworkQueue::requestProgressed(HttpRequest& request) {
    auto member = members_.find(&request);
    if (member != members_.end()) count(member->second, request);
}

void HttpNetworkQueue::requestEnded(HttpRequest& request, bool failed) {
    auto found = members_.find(&request);
    if (found == members_.end()) return;
    std::shared_ptr<HttpRequest> keep = found->second.request;  // alive through the callbacks
    if (!failed) count(found->second, request);
    std::weak_ptr<HttpNetworkQueue*> self = self_;
    if (failed) {
        if (requestDidFail_) requestDidFail_(request);
    } else {
        if (requestDidFinish_) requestDidFinish_(request);
    }
    auto alive = self.lock();
    if (!alive || !*alive) return;
    found = members_.find(&request);
    if (found != members_.end()) members_.erase(found);
    request.setQueue(nullptr);
    bool cancelled = request.error() && isHttpError(*request.error(), HttpErrorCode::Cancelled);
    if (failed && !cancelled && cancelsAllOnFailure_) cancelAllOperations();
    tellFinishedIfEmpty();
}

void HttpNetworkQueue::requestLeft(HttpRequest& request) {
    // Called from inside the request's clearDelegatesAndCancel: it must outlive
    // that call, so the queue lets go of it on the main loop.
    std::weak_ptr<HttpNetworkQueue*> self = self_;
    HttpRequest* pointer = &request;
    std::shared_ptr<detail::RequestChannel> channel = request.channel_;
    channel->loop().post([self, pointer, channel] {
        auto alive = self.lock();
        if (!alive || !*alive) return;
        HttpNetworkQueue& queue = **alive;
        auto found = queue.members_.find(pointer);
        if (found == queue.members_.end() || found->second.request->channel_ != channel) return;
        queue.members_.erase(found);
        queue.tellFinishedIfEmpty();
    });
}

void HttpNetworkQueue::tellFinishedIfEmpty() {
    if (members_.empty() && queueDidFinish_) queueDidFinish_(*this);
}

}  // namespace strombel::http
