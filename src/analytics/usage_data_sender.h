#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "analytics/keyed_archive.h"
#include "analytics/usage_environment.h"
#include "analytics/usage_http_async_task.h"
#include "platform/notification_center.h"

namespace strombel::platform {
class SerialQueue;
}

namespace strombel::analytics {

using Bytes = std::vector<uint8_t>;

/// One stored envelope: its file's name (a UUID), size and creation time.
struct UsageDataSenderBlockInfo {
    std::string identifier;
    uint64_t dataSize = 0;
    UsageDate creationDate = 0;
    std::string description() const;
    bool operator==(const UsageDataSenderBlockInfo&) const = default;
};

/// The stored blocks by data key, oldest first, and whether any upload was ever
/// accepted. Kept in "UsageSenderIndex.info".
struct UsageDataSenderIndex {
    bool sentReportSuccessfully = false;
    std::map<std::string, std::vector<UsageDataSenderBlockInfo>> indexMap;

    ArchiveValue archived() const;
    /// Entries whose identifier is not a UUID are dropped while reading.
    static std::optional<UsageDataSenderIndex> fromArchive(const ArchiveValue& value);
};

/// Running uploads, background time and the reaction to network changes.
/// Everything but the network observer runs on the analytics queue.
class UsageDataSenderBase : public UsageHttpAsyncTaskDelegate,
                            public std::enable_shared_from_this<UsageDataSenderBase> {
public:
    /// At most this many uploads run at once.
    static constexpr size_t kMaximumRunningTasks = 9;

    explicit UsageDataSenderBase(platform::SerialQueue& queue);
    ~UsageDataSenderBase() override;

    void registerNewTask(const std::shared_ptr<UsageHttpAsyncTask>& task);
    void unregisterTask(const std::shared_ptr<UsageHttpAsyncTask>& task, bool completedSuccessfuly);
    void cancelTasks();
    /// Nothing while the application is in the background; else the retransmission.
    void performRetransmitNotSentBlocks();
    virtual void retransmitNotSentBlocks() = 0;
    virtual void didCompleteAllTasks() = 0;
    size_t runningTaskCount() const { return runningTasks_.size(); }
    /// Watches "UsageNetworkStatusChangedNotification" (called once made).
    void observeNetworkChanges();
    /// The analytics queue everything runs on.
    platform::SerialQueue& queue() const { return queue_; }

protected:
    platform::SerialQueue& queue_;
    std::vector<std::shared_ptr<UsageHttpAsyncTask>> runningTasks_;
    uint64_t backgroundTask_ = 0;
    // The center the observer was added to (the environment may change later).
    platform::NotificationCenter* networkCenter_ = nullptr;
    platform::NotificationCenter::ObserverId networkObserver_ = 0;
};

/// The persistent upload queue: every envelope becomes a block file before it is
/// posted, and goes only after a 2xx answer.
class UsageDataSender final : public UsageDataSenderBase {
public:
    /// After all uploads end, at most this many of the newest blocks stay.
    static constexpr size_t kMaximumStoredBlocks = 50;

    /// Makes the one sender for `queue` (on the queue's thread: it reads and tidies
    /// the index). A sender made for another analytics queue is dropped first: a
    /// sender never outlives the queue it posts its work to.
    static void setupInstanceWithQueue(platform::SerialQueue& queue);
    static std::shared_ptr<UsageDataSender> instance();
    static void cleanup();
    /// Drops the sender when it was made for `queue` (before that queue goes).
    static void cleanupForQueue(const platform::SerialQueue& queue);

    explicit UsageDataSender(platform::SerialQueue& queue);

    /// Stores the envelope and posts it when fewer than 9 uploads run. True when
    /// the block reached the disk (false: it may still be posted, but nothing
    /// is kept for a retry).
    bool sendSessionsData(const Bytes& data);
    bool everSentReportSuccessfully() const { return dataIndex_.sentReportSuccessfully; }

    std::optional<std::string> storeData(const Bytes& data);
    void removeStoredDataWithIdentifier(const std::string& identifier);
    void sendData(const Bytes& data, const std::string& identifier);
    bool setData(const Bytes& data, const std::string& identifier);

    void setupForCurrentDataKey(const std::string& dataKey);
    std::vector<UsageDataSenderBlockInfo> notSentBlocksForDataKey(const std::string& dataKey) const;
    /// "Data_%lu_%d" of the running key's hash and the agent version.
    static std::string currentDataKey();
    static UsageDataSenderIndex instantiatedIndex();
    static std::filesystem::path indexFilePath();
    const UsageDataSenderIndex& dataIndex() const { return dataIndex_; }

    /// Reads a response body: its cookies go to the cookie map; then the
    /// persistent globals are saved. Throws "Malformed data" on bad bytes.
    static void parseResponse(const Bytes& body);
    /// Reads `count` cookies from `offset` on; answers the offset reached.
    static size_t parseCookies(const Bytes& body, size_t offset, int32_t count);

    void retransmitNotSentBlocks() override;
    void didCompleteAllTasks() override;

    void requestSuccessful(const std::shared_ptr<UsageHttpAsyncTask>& task, const UsageHTTPResponse& response) override;
    void requestDidFail(const std::shared_ptr<UsageHttpAsyncTask>& task, const UsageHTTPResponse& response) override;
    void requestDidCancel(const std::shared_ptr<UsageHttpAsyncTask>& task, const UsageHTTPResponse& response) override;

private:
    void requestSuccessComplete(const std::shared_ptr<UsageHttpAsyncTask>& task, const UsageHTTPResponse& response);
    /// Keeps the newest blocks of the key; true when the index was written.
    bool removeOldBlocks(const std::string& dataKey);
    void writeIndex();

    UsageDataSenderIndex dataIndex_;
};

}  // namespace strombel::analytics
