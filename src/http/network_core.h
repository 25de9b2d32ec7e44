#pragma once

// Inside the HTTP client: the network thread's loop over libcurl's multi handle.
// Not for use outside src/http.

#include <curl/curl.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "platform/clock.h"
#include "platform/main_loop.h"
#include "platform/worker.h"

namespace strombel::http::detail {

class Mailbox;
class RequestChannel;
class Transfer;
struct TransferOrder;
enum class EasyState;

class NetworkCore {
public:
    explicit NetworkCore(platform::MainLoop& loop);
    ~NetworkCore();
    NetworkCore(const NetworkCore&) = delete;
    NetworkCore& operator=(const NetworkCore&) = delete;

    // Any thread. Commands run on the network thread in the order given.
    void start(std::shared_ptr<TransferOrder> order);
    /// Ends the channel's transfer, if it runs, removing what it wrote. With
    /// `report`, the request then hears the cancelled error under `generation`.
    void cancel(std::shared_ptr<RequestChannel> channel, uint64_t generation, bool report);
    void deleteCookiesForURL(std::string url);
    void setCertificateAuthorityFile(std::filesystem::path file);
    void stop();

    platform::MainLoop& loop() const { return loop_; }
    /// Where every message to this thread's requests goes.
    const std::shared_ptr<Mailbox>& mailbox() const { return mailbox_; }
    /// Transfers ended so far whose messages (the last one among them) are all
    /// on the main loop, delivered or not.
    uint64_t endedTransferCount() const { return endedTransfers_.load(std::memory_order_acquire); }
    platform::Clock& clock() const { return clock_; }

    // Network thread only, for transfers.
    CURLSH* share(bool withCookies) const { return withCookies ? cookieShare_ : plainShare_; }
    /// The clock's time when the current round of the loop began: what a transfer
    /// notes as its last activity (reading the clock for every piece costs more
    /// than the precision is worth).
    uint64_t roundTime() const { return roundTime_; }
    const std::string& certificateAuthorityFile() const { return caFile_; }
    /// The header lines of a request that adds none of its own, for every such
    /// request (libcurl only reads the list).
    curl_slist* defaultHeaderList() const { return defaultHeaders_; }
    /// Changes whenever the certificate authorities do.
    uint64_t certificateAuthorityGeneration() const { return caGeneration_; }

private:
    void run();
    void enqueue(std::function<void()> command);
    void launch(const std::shared_ptr<TransferOrder>& order);
    bool startTransfer(const std::shared_ptr<TransferOrder>& order);
    void releaseSlot(uint64_t group);
    void cancelGroup(uint64_t group);
    void failWaiting();
    // Removes a transfer; `counted` adds it to the ended transfers.
    void endTransfer(CURL* easy, bool counted = true);
    void retire(std::map<CURL*, std::unique_ptr<Transfer>>::iterator transfer, bool counted = true);
    void recycle(CURL* easy, EasyState state);
    void resetUsedEasies();
    /// Ends or redirects every transfer libcurl has finished; true if that added a
    /// handle to the multi handle (a redirect, or the next of a group).
    bool readCompletions();
    void timeOutStalled();
    /// How long curl_multi_poll may wait; -1 when nothing but a command can give
    /// the thread work (no transfer, no timer of libcurl's).
    int pollMilliseconds() const;
    /// Wakes the thread for a command; `idle` is idle_ as read under mutex_.
    void wake(bool idle);
    void removeCookiesFor(const std::string& url);
    void shutDown();
    /// A handle for a new transfer, for a plain GET one that a plain GET left (with
    /// the same cookie setting if there is one); `state` tells what it carries.
    CURL* takeEasy(bool plainGet, bool usesCookies, EasyState& state);

    platform::MainLoop& loop_;
    platform::Clock& clock_;
    const bool systemClock_;
    std::shared_ptr<Mailbox> mailbox_;
    CURLM* multi_ = nullptr;
    CURLSH* cookieShare_ = nullptr;
    CURLSH* plainShare_ = nullptr;
    CURL* cookieEasy_ = nullptr;
    curl_slist* defaultHeaders_ = nullptr;
    std::string caFile_;
    uint64_t caGeneration_ = 0;

    std::mutex joinMutex_;
    std::mutex mutex_;
    // A start carries only its order (no callable to allocate per request); any
    // other command is a callable. Both run in the order given.
    struct Command {
        std::shared_ptr<TransferOrder> start;
        std::function<void()> other;
    };
    void runCommands();
    std::vector<Command> commands_;
    // With nothing to watch the thread waits here rather than in curl_multi_poll:
    // waking it is then one futex call, not a socket write and two reads.
    std::condition_variable commandArrived_;
    bool idle_ = false;  // waiting on commandArrived_
    bool stopping_ = false;
    bool stopped_ = false;
    std::atomic<uint64_t> endedTransfers_{0};

    // Network thread only.
    /// Transfers that ended while their messages may still wait in the
    /// mailbox's batch: counted once the batch has gone to the main loop.
    uint64_t endedUnposted_ = 0;
    void publishEnded();
    uint64_t roundTime_ = 0;
    uint64_t handlesAdded_ = 0;  // counts curl_multi_add_handle calls
    std::vector<Command> running_;  // the commands of this round
    bool shuttingDown_ = false;
    std::map<CURL*, std::unique_ptr<Transfer>> transfers_;
    // Groups with requests running or waiting for a free place.
    struct Group {
        size_t limit = 1;
        size_t running = 0;
        std::deque<std::shared_ptr<TransferOrder>> waiting;
    };
    std::unordered_map<uint64_t, Group> groups_;
    // Handles kept for the next transfers: reset ones, ones set up for a plain GET,
    // and ones that still carry other options until the thread is about to wait.
    std::vector<CURL*> idleEasies_;
    std::vector<CURL*> plainEasies_;        // without cookies
    std::vector<CURL*> plainCookieEasies_;  // with cookies
    std::vector<CURL*> usedEasies_;
    platform::Worker thread_;
};

}  // namespace strombel::http::detail
