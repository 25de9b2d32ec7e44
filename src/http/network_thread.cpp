#include "http/network_thread.h"

#include <fmt/format.h>

#include <algorithm>
#include <atomic>
#include <sstream>
#include <utility>

#include "http/http_error.h"
#include "http/network_core.h"
#include "http/transfer.h"

namespace strombel::http {

namespace detail {

namespace {

constexpr size_t kIdleEasyHandles = 16;
// The longest curl_multi_poll waits while transfers run.
constexpr int kLongestPollMilliseconds = 60'000;
// Rounds of curl_multi_perform before the thread looks at time-outs and messages.
constexpr int kPerformPasses = 4;
// A clock other than the system's may be moved by another thread at any moment:
// running transfers look at it this often.
constexpr int kForeignClockPollMilliseconds = 5;

constexpr const char* kStoppedMessage = "The request was cancelled: the network thread has stopped";

void postCancelled(RequestChannel& channel, uint64_t generation, const char* message) {
    Event failed;
    failed.kind = Event::Kind::Failed;
    failed.error = httpError(HttpErrorCode::Cancelled, message);
    channel.post(generation, std::move(failed));
}

void initialiseCurlOnce() {
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

CURLSH* makeShare(bool withCookies) {
    CURLSH* share = curl_share_init();
    curl_share_setopt(share, CURLSHOPT_SHARE, CURL_LOCK_DATA_DNS);
    curl_share_setopt(share, CURLSHOPT_SHARE, CURL_LOCK_DATA_SSL_SESSION);
    if (withCookies) curl_share_setopt(share, CURLSHOPT_SHARE, CURL_LOCK_DATA_COOKIE);
    return share;
}

std::string lowered(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::tolower(c); });
    return text;
}

// True when a cookie line of libcurl's list ("domain\ttailmatch\tpath\t...")
// would be sent to `host`.
bool cookieBelongsTo(const std::string& line, const std::string& host) {
    std::istringstream fields(line);
    std::string domain, tailmatch;
    if (!std::getline(fields, domain, '\t') || !std::getline(fields, tailmatch, '\t')) return false;
    constexpr std::string_view kHttpOnly = "#HttpOnly_";
    if (domain.compare(0, kHttpOnly.size(), kHttpOnly) == 0) domain.erase(0, kHttpOnly.size());
    if (!domain.empty() && domain.front() == '.') domain.erase(0, 1);
    domain = lowered(domain);
    if (domain == host) return true;
    return tailmatch == "TRUE" && host.size() > domain.size() &&
           host.compare(host.size() - domain.size(), domain.size(), domain) == 0 &&
           host[host.size() - domain.size() - 1] == '.';
}

std::string hostOf(const std::string& url) {
    CURLU* parsed = curl_url();
    std::string host;
    if (curl_url_set(parsed, CURLUPART_URL, url.c_str(), 0) == CURLUE_OK) {
        char* part = nullptr;
        if (curl_url_get(parsed, CURLUPART_HOST, &part, 0) == CURLUE_OK) host = part;
        curl_free(part);
    }
    curl_url_cleanup(parsed);
    return lowered(host);
}

}  // namespace

NetworkCore::NetworkCore(platform::MainLoop& loop)
    : loop_(loop),
      clock_(loop.clock()),
      systemClock_(dynamic_cast<platform::SystemClock*>(&loop.clock()) != nullptr),
      mailbox_(std::make_shared<Mailbox>(loop)) {
    initialiseCurlOnce();
    multi_ = curl_multi_init();  // its connection cache keeps connections for the next request
    cookieShare_ = makeShare(true);
    plainShare_ = makeShare(false);
    cookieEasy_ = curl_easy_init();
    curl_easy_setopt(cookieEasy_, CURLOPT_SHARE, cookieShare_);
    for (const char* line : kDefaultHeaderLines) defaultHeaders_ = curl_slist_append(defaultHeaders_, line);
    thread_ = platform::Worker("HttpNetwork", [this] { run(); }, [this] {
        {
            std::lock_guard lock(mutex_);
            stopping_ = true;
        }
        commandArrived_.notify_one();
        curl_multi_wakeup(multi_);
    });
}

NetworkCore::~NetworkCore() {
    stop();
    for (std::vector<CURL*>* plain : {&plainEasies_, &plainCookieEasies_}) {
        usedEasies_.insert(usedEasies_.end(), plain->begin(), plain->end());
    }
    resetUsedEasies();
    for (CURL* easy : idleEasies_) curl_easy_cleanup(easy);
    curl_easy_cleanup(cookieEasy_);
    curl_multi_cleanup(multi_);
    curl_share_cleanup(cookieShare_);
    curl_share_cleanup(plainShare_);
    curl_slist_free_all(defaultHeaders_);
}

void NetworkCore::wake(bool idle) {
    if (idle) {
        commandArrived_.notify_one();
    } else {
        curl_multi_wakeup(multi_);
    }
}

void NetworkCore::enqueue(std::function<void()> command) {
    bool wakes = false;
    bool idle = false;
    {
        std::lock_guard lock(mutex_);
        commands_.push_back(Command{nullptr, std::move(command)});
        // The thread takes every waiting command at once: one wake-up is enough.
        wakes = commands_.size() == 1;
        idle = idle_;
    }
    if (wakes) wake(idle);
}

void NetworkCore::start(std::shared_ptr<TransferOrder> order) {
    bool wakes = false;
    bool idle = false;
    {
        std::lock_guard lock(mutex_);
        if (!stopping_) {
            commands_.push_back(Command{std::move(order), nullptr});
            wakes = commands_.size() == 1;
            idle = idle_;
            order = nullptr;
        }
    }
    if (!order) {
        if (wakes) wake(idle);
        return;
    }
    postCancelled(*order->channel, order->generation, kStoppedMessage);
}

void NetworkCore::cancel(std::shared_ptr<RequestChannel> channel, uint64_t generation, bool report) {
    {
        std::lock_guard lock(mutex_);
        if (!stopped_) {
            commands_.push_back(Command{nullptr, [this, channel, generation, report] {
                // What the transfer wrote goes first, then the report, then the count.
                CURL* running = channel->runningEasy;
                bool waited = std::exchange(channel->waitsInGroup, false);
                bool ran = running != nullptr;
                if (ran) endTransfer(running, /*counted=*/false);
                if (report) postCancelled(*channel, generation, "The request was cancelled");
                if (ran || waited) ++endedUnposted_;
            }});
            if (commands_.size() == 1) wake(idle_);
            return;
        }
    }
    // The thread is gone and with it every transfer: only the report is left.
    if (report) postCancelled(*channel, generation, "The request was cancelled");
}

void NetworkCore::deleteCookiesForURL(std::string url) {
    enqueue([this, url = std::move(url)] { removeCookiesFor(url); });
}

void NetworkCore::setCertificateAuthorityFile(std::filesystem::path file) {
    enqueue([this, file = std::move(file)] {
        caFile_ = file.string();
        ++caGeneration_;
        // Handles set up for the authorities before get a reset.
        for (std::vector<CURL*>* plain : {&plainEasies_, &plainCookieEasies_}) {
            usedEasies_.insert(usedEasies_.end(), plain->begin(), plain->end());
            plain->clear();
        }
    });
}

void NetworkCore::stop() {
    std::lock_guard joining(joinMutex_);
    thread_.stop();
}

void NetworkCore::run() {
    mailbox_->setBatchingThread(std::this_thread::get_id());
    for (;;) {
        bool stopping = false;
        {
            std::lock_guard lock(mutex_);
            running_.swap(commands_);
            stopping = stopping_;
        }
        roundTime_ = clock_.nowNanos();
        runCommands();
        if (stopping) break;
        // Transfers that started (or redirected) as others ended send their
        // requests at once, not after the poll; a last one ending leaves at once.
        int running = 0;
        for (int pass = 0; pass < kPerformPasses; ++pass) {
            curl_multi_perform(multi_, &running);
            if (!readCompletions()) break;
        }
        timeOutStalled();
        int wait = pollMilliseconds();
        if (auto since = mailbox_->waitingSince()) {
            auto waited = std::chrono::steady_clock::now() - *since;
            if (transfers_.empty() || waited >= Mailbox::kDeliveryWindow) {
                mailbox_->flush();
            } else {
                auto left = std::chrono::ceil<std::chrono::milliseconds>(Mailbox::kDeliveryWindow - waited);
                wait = std::min(wait, static_cast<int>(left.count()));
            }
        }
        // Transfers count as ended once their messages are on the main loop.
        if (!mailbox_->waitingSince()) publishEnded();
        // After the messages have gone: no request waits for this.
        resetUsedEasies();
        if (wait >= 0) {
            curl_multi_poll(multi_, nullptr, 0, wait, nullptr);
        } else {
            std::unique_lock lock(mutex_);
            idle_ = true;
            commandArrived_.wait(lock, [this] { return !commands_.empty() || stopping_; });
            idle_ = false;
        }
    }
    shutDown();
    mailbox_->setBatchingThread({});
    mailbox_->flush();
    publishEnded();
}

void NetworkCore::publishEnded() {
    if (endedUnposted_ != 0) endedTransfers_.fetch_add(std::exchange(endedUnposted_, 0), std::memory_order_release);
}

void NetworkCore::runCommands() {
    for (Command& command : running_) {
        if (command.start) {
            launch(command.start);
        } else {
            command.other();
        }
    }
    running_.clear();  // keeps its storage for the next round
}

void NetworkCore::shutDown() {
    shuttingDown_ = true;
    // Run what came in meanwhile (cancels report, starts fail), end every transfer,
    // and only then refuse commands: from there on no transfer exists.
    for (;;) {
        {
            std::lock_guard lock(mutex_);
            running_.swap(commands_);
        }
        runCommands();
        failWaiting();
        while (!transfers_.empty()) {
            CURL* easy = transfers_.begin()->first;
            transfers_.begin()->second->fail(httpError(HttpErrorCode::Cancelled, kStoppedMessage));
            endTransfer(easy);
        }
        std::lock_guard lock(mutex_);
        if (commands_.empty()) {
            stopped_ = true;
            return;
        }
    }
}

CURL* NetworkCore::takeEasy(bool plainGet, bool usesCookies, EasyState& state) {
    // A plain GET sets least on a handle a plain GET used; anything else, on a
    // clean one.
    std::vector<CURL*>* same = usesCookies ? &plainCookieEasies_ : &plainEasies_;
    std::vector<CURL*>* other = usesCookies ? &plainEasies_ : &plainCookieEasies_;
    std::vector<CURL*>* pools[] = {plainGet ? same : &idleEasies_, plainGet ? other : same,
                                   plainGet ? &idleEasies_ : other, &usedEasies_};
    for (std::vector<CURL*>* pool : pools) {
        if (pool->empty()) continue;
        CURL* easy = pool->back();
        pool->pop_back();
        state = pool == &idleEasies_         ? EasyState::Clean
                : pool == &plainEasies_       ? EasyState::PlainGet
                : pool == &plainCookieEasies_ ? EasyState::PlainGetWithCookies
                                              : EasyState::Used;
        return easy;
    }
    state = EasyState::Clean;
    return curl_easy_init();
}

void NetworkCore::launch(const std::shared_ptr<TransferOrder>& order) {
    RequestChannel* channel = order->channel.get();
    if (channel->runningEasy || channel->waitsInGroup) return;  // already there
    if (shuttingDown_) {
        postCancelled(*order->channel, order->generation, kStoppedMessage);
        ++endedUnposted_;
        return;
    }
    if (order->group) {
        Group& group = groups_[order->group];
        group.limit = std::max<size_t>(order->groupLimit, 1);
        if (group.running >= group.limit) {
            group.waiting.push_back(order);
            channel->waitsInGroup = true;
            return;
        }
        ++group.running;
    }
    if (!startTransfer(order)) {
        if (order->groupStopsOnFailure) {
            cancelGroup(order->group);
        } else {
            releaseSlot(order->group);
        }
    }
}

bool NetworkCore::startTransfer(const std::shared_ptr<TransferOrder>& order) {
    const RequestSpec& spec = order->spec;
    bool plainGet = (spec.method.empty() || spec.method == "GET") && !spec.body && spec.bodyFile.empty() &&
                    spec.username.empty() && spec.password.empty();
    EasyState state = EasyState::Clean;
    CURL* easy = takeEasy(plainGet, spec.usesCookies, state);
    auto transfer = std::make_unique<Transfer>(order, *this, easy, state);
    if (platform::Result<void> begun = transfer->begin(); !begun) {
        transfer->fail(std::move(begun).error());
        state = transfer->easyState();
        transfer.reset();
        recycle(easy, state);
        ++endedUnposted_;
        return false;
    }
    Event started;
    started.kind = Event::Kind::Started;
    order->channel->post(order->generation, std::move(started));
    transfers_.emplace(easy, std::move(transfer));
    order->channel->runningEasy = easy;
    curl_multi_add_handle(multi_, easy);
    ++handlesAdded_;
    return true;
}

void NetworkCore::releaseSlot(uint64_t groupId) {
    if (groupId == 0) return;
    auto found = groups_.find(groupId);
    if (found == groups_.end()) return;
    Group& group = found->second;
    if (group.running > 0) --group.running;
    while (group.running < group.limit && !group.waiting.empty()) {
        std::shared_ptr<TransferOrder> next = std::move(group.waiting.front());
        group.waiting.pop_front();
        if (!std::exchange(next->channel->waitsInGroup, false)) continue;  // cancelled while it waited
        ++group.running;
        if (!startTransfer(next)) {
            if (next->groupStopsOnFailure) {
                cancelGroup(groupId);  // the group is gone after this
                return;
            }
            --group.running;
        }
    }
    if (group.running == 0 && group.waiting.empty()) groups_.erase(found);
}

void NetworkCore::cancelGroup(uint64_t groupId) {
    auto found = groups_.find(groupId);
    if (found == groups_.end()) return;
    // Taken out first: ending the running ones must not start the waiting ones.
    std::deque<std::shared_ptr<TransferOrder>> waiting = std::move(found->second.waiting);
    groups_.erase(found);
    for (const std::shared_ptr<TransferOrder>& order : waiting) {
        if (!std::exchange(order->channel->waitsInGroup, false)) continue;
        postCancelled(*order->channel, order->generation, "The request was cancelled: another of its queue failed");
        ++endedUnposted_;
    }
    std::vector<CURL*> running;
    for (const auto& [easy, transfer] : transfers_) {
        if (transfer->order().group == groupId) running.push_back(easy);
    }
    for (CURL* easy : running) {
        transfers_.at(easy)->fail(
            httpError(HttpErrorCode::Cancelled, "The request was cancelled: another of its queue failed"));
        endTransfer(easy);
    }
}

void NetworkCore::failWaiting() {
    for (auto& [id, group] : groups_) {
        for (const std::shared_ptr<TransferOrder>& order : group.waiting) {
            if (!std::exchange(order->channel->waitsInGroup, false)) continue;
            postCancelled(*order->channel, order->generation, kStoppedMessage);
            ++endedUnposted_;
        }
        group.waiting.clear();
    }
}

void NetworkCore::endTransfer(CURL* easy, bool counted) {
    auto found = transfers_.find(easy);
    if (found == transfers_.end()) return;
    curl_multi_remove_handle(multi_, easy);
    retire(found, counted);
}

void NetworkCore::retire(std::map<CURL*, std::unique_ptr<Transfer>>::iterator transfer, bool counted) {
    CURL* easy = transfer->first;
    const TransferOrder& order = transfer->second->order();
    uint64_t group = order.group;
    bool stopsGroup = order.groupStopsOnFailure && transfer->second->failed();
    EasyState state = transfer->second->easyState();
    transfer->second->channel().runningEasy = nullptr;
    transfers_.erase(transfer);  // removes a part-written download, drops a cache entry in the making
    recycle(easy, state);
    if (counted) ++endedUnposted_;
    if (stopsGroup) {
        cancelGroup(group);
    } else {
        releaseSlot(group);  // the next of its group starts at once
    }
}

void NetworkCore::recycle(CURL* easy, EasyState state) {
    if (idleEasies_.size() + plainEasies_.size() + plainCookieEasies_.size() + usedEasies_.size() >=
        kIdleEasyHandles) {
        resetEasy(easy);
        curl_easy_cleanup(easy);
        return;
    }
    // The handle is out of the multi handle: libcurl calls none of its callbacks
    // until the next transfer sets them again. It names no buffer or list of the
    // transfer that has gone.
    curl_easy_setopt(easy, CURLOPT_ERRORBUFFER, static_cast<char*>(nullptr));
    curl_easy_setopt(easy, CURLOPT_HTTPHEADER, static_cast<curl_slist*>(nullptr));
    switch (state) {
        case EasyState::Clean:
            idleEasies_.push_back(easy);
            break;
        case EasyState::PlainGet:
            plainEasies_.push_back(easy);
            break;
        case EasyState::PlainGetWithCookies:
            plainCookieEasies_.push_back(easy);
            break;
        case EasyState::Used:
            // Reset by resetUsedEasies (or the next transfer that takes it).
            usedEasies_.push_back(easy);
            break;
    }
}

void NetworkCore::resetUsedEasies() {
    for (CURL* easy : usedEasies_) {
        resetEasy(easy);
        idleEasies_.push_back(easy);
    }
    usedEasies_.clear();
}

bool NetworkCore::readCompletions() {
    uint64_t addedBefore = handlesAdded_;
    int left = 0;
    while (CURLMsg* message = curl_multi_info_read(multi_, &left)) {
        if (message->msg != CURLMSG_DONE) continue;
        CURL* easy = message->easy_handle;
        CURLcode result = message->data.result;
        auto found = transfers_.find(easy);
        if (found == transfers_.end()) continue;
        curl_multi_remove_handle(multi_, easy);
        if (found->second->complete(result) == Transfer::Next::FollowRedirect) {
            curl_multi_add_handle(multi_, easy);
            ++handlesAdded_;
        } else {
            retire(found);
        }
    }
    return handlesAdded_ != addedBefore;
}

void NetworkCore::timeOutStalled() {
    uint64_t now = roundTime_;
    std::vector<std::pair<CURL*, platform::Error>> stalled;
    for (const auto& [easy, transfer] : transfers_) {
        if (now < transfer->nextCheck()) continue;
        if (std::optional<platform::Error> error = transfer->passedLimit(now)) stalled.emplace_back(easy, std::move(*error));
    }
    for (auto& [easy, error] : stalled) {
        transfers_.at(easy)->fail(std::move(error));
        endTransfer(easy);
    }
}

int NetworkCore::pollMilliseconds() const {
    long curlWait = -1;
    curl_multi_timeout(multi_, &curlWait);
    if (transfers_.empty() && curlWait < 0) return -1;
    int wait = curlWait < 0 ? kLongestPollMilliseconds
                            : static_cast<int>(std::min<long>(curlWait, kLongestPollMilliseconds));
    if (transfers_.empty()) return wait;
    if (!systemClock_) return std::min(wait, kForeignClockPollMilliseconds);
    uint64_t now = clock_.nowNanos();
    uint64_t nearest = UINT64_MAX;
    for (const auto& [easy, transfer] : transfers_) nearest = std::min(nearest, transfer->nextCheck());
    uint64_t untilDeadline = nearest > now ? nearest - now : 0;
    uint64_t milliseconds = (untilDeadline + platform::kNanosPerMillisecond - 1) / platform::kNanosPerMillisecond;
    return static_cast<int>(std::min<uint64_t>(milliseconds, static_cast<uint64_t>(wait)));
}

void NetworkCore::removeCookiesFor(const std::string& url) {
    std::string host = hostOf(url);
    if (host.empty()) return;
    curl_slist* cookies = nullptr;
    if (curl_easy_getinfo(cookieEasy_, CURLINFO_COOKIELIST, &cookies) != CURLE_OK) return;
    std::vector<std::string> kept;
    bool removed = false;
    for (curl_slist* item = cookies; item; item = item->next) {
        if (cookieBelongsTo(item->data, host)) {
            removed = true;
        } else {
            kept.emplace_back(item->data);
        }
    }
    curl_slist_free_all(cookies);
    if (!removed) return;
    curl_easy_setopt(cookieEasy_, CURLOPT_COOKIELIST, "ALL");
    for (const std::string& line : kept) curl_easy_setopt(cookieEasy_, CURLOPT_COOKIELIST, line.c_str());
}

}  // namespace detail

NetworkThread::NetworkThread(platform::MainLoop& loop) : core_(std::make_shared<detail::NetworkCore>(loop)) {}

NetworkThread::~NetworkThread() { stop(); }

namespace {
std::atomic<bool> sharedThreadMade{false};
}  // namespace

NetworkThread& NetworkThread::shared() {
    static NetworkThread thread(platform::MainLoop::shared());
    sharedThreadMade.store(true);
    return thread;
}

void NetworkThread::stopShared() {
    if (sharedThreadMade.load()) shared().stop();
}

platform::MainLoop& NetworkThread::mainLoop() const { return core_->loop(); }

void NetworkThread::setCertificateAuthorityFile(std::filesystem::path file) {
    core_->setCertificateAuthorityFile(std::move(file));
}

void NetworkThread::deleteCookiesForURL(std::string url) { core_->deleteCookiesForURL(std::move(url)); }

void NetworkThread::stop() { core_->stop(); }

uint64_t NetworkThread::endedTransferCount() const { return core_->endedTransferCount(); }

}  // namespace strombel::http
