#include "analytics/usage_data_sender.h"

#include <fmt/format.h>

#include <algorithm>
#include <mutex>
#include <set>

#include "analytics/usage_global_variable_storage.h"
#include "analytics/usage_impl.h"
#include "analytics/usage_network_util.h"
#include "analytics/usage_protocol_data.h"
#include "analytics/usage_util.h"
#include "platform/application.h"
#include "platform/serial_queue.h"

namespace strombel::analytics {

namespace {

std::mutex instanceMutex;
std::shared_ptr<UsageDataSender>& instanceSlot() {
    static std::shared_ptr<UsageDataSender> sender;
    return sender;
}

// Only a UUID names a block file: anything else in an index never reaches the
// file system.
bool isBlockIdentifier(const std::string& text) {
    if (text.size() != 36) return false;
    for (size_t i = 0; i < text.size(); ++i) {
        bool dash = i == 8 || i == 13 || i == 18 || i == 23;
        if (dash ? text[i] != '-' : !std::isxdigit(static_cast<unsigned char>(text[i]))) return false;
    }
    return true;
}

std::filesystem::path blockPath(const std::string& identifier) { return UsageUtil::filePathDirectory() / identifier; }

void deleteBlockFile(const std::string& identifier) {
    if (!isBlockIdentifier(identifier)) return;
    std::error_code ignored;
    std::filesystem::remove(blockPath(identifier), ignored);
}

}  // namespace

std::string UsageDataSenderBlockInfo::description() const {
    return fmt::format("Block [{}, {}]", identifier, describeDate(creationDate));
}

// ---- The index ----

ArchiveValue UsageDataSenderIndex::archived() const {
    ArchiveValue::Dictionary keys;
    for (const auto& [dataKey, blocks] : indexMap) {
        ArchiveValue::Array items;
        for (const UsageDataSenderBlockInfo& block : blocks) {
            ArchiveValue::Object object{"UsageDataSenderBlockInfo", {}};
            object.fields.emplace("identifier", ArchiveValue(block.identifier));
            object.fields.emplace("dataSize", ArchiveValue(block.dataSize));
            object.fields.emplace("creationDate", ArchiveValue(ArchiveDate{block.creationDate}));
            items.emplace_back(std::move(object));
        }
        keys.emplace(dataKey, ArchiveValue(std::move(items)));
    }
    ArchiveValue::Object object{"UsageDataSenderIndex", {}};
    object.fields.emplace("index", ArchiveValue(std::move(keys)));
    object.fields.emplace("UsageSentReportSuccessfulKey", ArchiveValue(sentReportSuccessfully));
    return ArchiveValue(std::move(object));
}

std::optional<UsageDataSenderIndex> UsageDataSenderIndex::fromArchive(const ArchiveValue& value) {
    const auto* object = value.get<ArchiveValue::Object>();
    if (!object || object->className != "UsageDataSenderIndex") return std::nullopt;
    UsageDataSenderIndex index;
    index.sentReportSuccessfully = value.flag("UsageSentReportSuccessfulKey");
    const ArchiveValue* keys = value.field("index");
    const auto* entries = keys ? keys->get<ArchiveValue::Dictionary>() : nullptr;
    if (!entries) return index;
    for (const auto& [dataKey, list] : *entries) {
        const auto* items = list.get<ArchiveValue::Array>();
        if (!items) continue;
        std::vector<UsageDataSenderBlockInfo>& blocks = index.indexMap[dataKey];
        for (const ArchiveValue& item : *items) {
            UsageDataSenderBlockInfo block;
            block.identifier = item.text("identifier");
            if (!isBlockIdentifier(block.identifier)) continue;
            block.dataSize = static_cast<uint64_t>(item.integer("dataSize"));
            block.creationDate = item.date("creationDate").value_or(0);
            blocks.push_back(std::move(block));
        }
    }
    return index;
}

// ---- UsageDataSenderBase ----

UsageDataSenderBase::UsageDataSenderBase(platform::SerialQueue& queue) : queue_(queue) {}

UsageDataSenderBase::~UsageDataSenderBase() {
    if (networkObserver_ && networkCenter_) networkCenter_->removeObserver(networkObserver_);
    cancelTasks();
    if (backgroundTask_) {
        if (platform::Application* application = UsageEnvironment::current().application) {
            application->endBackgroundTask(backgroundTask_);
        }
    }
}

void UsageDataSenderBase::observeNetworkChanges() {
    platform::NotificationCenter* center = UsageEnvironment::current().notificationCenter;
    if (!center) return;
    std::weak_ptr<UsageDataSenderBase> weak = shared_from_this();
    networkCenter_ = center;
    networkObserver_ = center->addObserver(kUsageNetworkStatusChangedNotification, nullptr,
                                           [weak](const platform::Notification&) {
        bool reachable = UsageNetworkUtil::isNetworkReachable();
        UsageUtil::log(2, "UsageSession: networkStatusChanged to {} reachable", reachable ? "" : "not");
        if (!reachable) return;
        std::shared_ptr<UsageDataSenderBase> sender = weak.lock();
        if (!sender) return;
        sender->queue_.async([weak] {
            if (std::shared_ptr<UsageDataSenderBase> alive = weak.lock()) alive->performRetransmitNotSentBlocks();
        });
    });
}

void UsageDataSenderBase::registerNewTask(const std::shared_ptr<UsageHttpAsyncTask>& task) {
    platform::Application* application = UsageEnvironment::current().application;
    if (!backgroundTask_ && application && UsageImpl::isBackgroundSupported()) {
        UsageUtil::log(2, "Usage: start background task");
        backgroundTask_ = application->beginBackgroundTask([] { UsageUtil::log(2, "Usage: expiration handler reached"); });
    }
    runningTasks_.push_back(task);
}

void UsageDataSenderBase::unregisterTask(const std::shared_ptr<UsageHttpAsyncTask>& task, bool completedSuccessfuly) {
    std::erase(runningTasks_, task);
    if (completedSuccessfuly) performRetransmitNotSentBlocks();
    if (runningTasks_.empty()) {
        didCompleteAllTasks();
        if (backgroundTask_) {
            UsageUtil::log(2, "Usage: stop background task");
            if (platform::Application* application = UsageEnvironment::current().application) {
                application->endBackgroundTask(backgroundTask_);
            }
            backgroundTask_ = 0;
        }
    }
}

void UsageDataSenderBase::cancelTasks() {
    std::vector<std::shared_ptr<UsageHttpAsyncTask>> tasks = std::move(runningTasks_);
    runningTasks_.clear();
    for (const auto& task : tasks) task->cancelTask();
}

void UsageDataSenderBase::performRetransmitNotSentBlocks() {
    platform::Application* application = UsageEnvironment::current().application;
    if (application && application->applicationState() == platform::Application::kBackground) {
        UsageUtil::log(2, "Usage: application is in background, skipping sending data.");
        return;
    }
    retransmitNotSentBlocks();
}

// ---- UsageDataSender ----

void UsageDataSender::setupInstanceWithQueue(platform::SerialQueue& queue) {
    std::shared_ptr<UsageDataSender> former;
    {
        std::lock_guard lock(instanceMutex);
        if (instanceSlot() && &instanceSlot()->queue() == &queue) return;
        former = std::move(instanceSlot());
    }
    // A sender of an earlier analytics queue goes before this one reads the index.
    former.reset();
    auto sender = std::make_shared<UsageDataSender>(queue);
    sender->dataIndex_ = instantiatedIndex();
    sender->setupForCurrentDataKey(currentDataKey());
    sender->observeNetworkChanges();
    {
        std::lock_guard lock(instanceMutex);
        if (instanceSlot()) return;
        instanceSlot() = sender;
    }
    sender->retransmitNotSentBlocks();
}

std::shared_ptr<UsageDataSender> UsageDataSender::instance() {
    std::lock_guard lock(instanceMutex);
    return instanceSlot();
}

void UsageDataSender::cleanup() {
    std::shared_ptr<UsageDataSender> sender;
    {
        std::lock_guard lock(instanceMutex);
        sender = std::move(instanceSlot());
    }
}

void UsageDataSender::cleanupForQueue(const platform::SerialQueue& queue) {
    std::shared_ptr<UsageDataSender> sender;
    {
        std::lock_guard lock(instanceMutex);
        if (!instanceSlot() || &instanceSlot()->queue() != &queue) return;
        sender = std::move(instanceSlot());
    }
}

UsageDataSender::UsageDataSender(platform::SerialQueue& queue) : UsageDataSenderBase(queue) {}

std::string UsageDataSender::currentDataKey() {
    auto storage = UsageGlobalVariableStorage::sharedInstance();
    return fmt::format("Data_{}_{}", usageKeyHash(storage->apiKey().value_or("")), kUsageAgentVersion);
}

std::filesystem::path UsageDataSender::indexFilePath() { return UsageUtil::filePathDirectory() / "UsageSenderIndex.info"; }

UsageDataSenderIndex UsageDataSender::instantiatedIndex() {
    std::optional<ArchiveValue> archived = UsageUtil::safeUnarchiveObjectWithFile(indexFilePath());
    if (archived) {
        if (std::optional<UsageDataSenderIndex> index = UsageDataSenderIndex::fromArchive(*archived)) return *index;
    }
    return UsageDataSenderIndex{};
}

void UsageDataSender::writeIndex() {
    std::filesystem::path path = indexFilePath();
    if (UsageUtil::archiveObjectToFile(dataIndex_.archived(), path)) UsageUtil::addSkipBackupAttributeToItemAtURL(path);
}

void UsageDataSender::setupForCurrentDataKey(const std::string& dataKey) {
    bool removed = false;
    // Entries whose block file is gone are forgotten (their names were checked
    // when the index was read).
    for (auto& [key, blocks] : dataIndex_.indexMap) {
        size_t before = blocks.size();
        std::erase_if(blocks, [](const UsageDataSenderBlockInfo& block) {
            std::error_code error;
            return !std::filesystem::is_regular_file(blockPath(block.identifier), error);
        });
        removed = removed || blocks.size() != before;
    }
    for (auto it = dataIndex_.indexMap.begin(); it != dataIndex_.indexMap.end();) {
        if (it->first == dataKey) {
            ++it;
            continue;
        }
        for (const UsageDataSenderBlockInfo& block : it->second) deleteBlockFile(block.identifier);
        it = dataIndex_.indexMap.erase(it);
        removed = true;
    }
    // Block files no entry names (a run that stopped between writing a block and
    // the index) are removed.
    std::set<std::string> named;
    for (const auto& [key, blocks] : dataIndex_.indexMap) {
        for (const UsageDataSenderBlockInfo& block : blocks) named.insert(block.identifier);
    }
    std::error_code error;
    for (std::filesystem::directory_iterator it(UsageUtil::filePathDirectory(), error), end; !error && it != end;
         it.increment(error)) {
        std::string name = it->path().filename().string();
        if (isBlockIdentifier(name) && !named.count(name)) deleteBlockFile(name);
    }
    bool written = removed && removeOldBlocks(dataKey);
    if (removed && !written) writeIndex();
}

std::vector<UsageDataSenderBlockInfo> UsageDataSender::notSentBlocksForDataKey(const std::string& dataKey) const {
    auto found = dataIndex_.indexMap.find(dataKey);
    return found == dataIndex_.indexMap.end() ? std::vector<UsageDataSenderBlockInfo>{} : found->second;
}

std::optional<std::string> UsageDataSender::storeData(const Bytes& data) {
    std::string dataKey = currentDataKey();
    UsageDataSenderBlockInfo block;
    block.identifier = UsageUtil::generateCFUUID();
    // The block reaches the disk before the index names it.
    if (!UsageUtil::writeFileWhole(blockPath(block.identifier), data)) {
        UsageUtil::log(2, "Failed to create UsageDataSenderBlockInfo for data size {}", data.size());
        return std::nullopt;
    }
    UsageUtil::addSkipBackupAttributeToItemAtURL(blockPath(block.identifier));
    block.dataSize = data.size();
    block.creationDate = UsageEnvironment::current().now();
    dataIndex_.indexMap[dataKey].push_back(block);
    writeIndex();
    return block.identifier;
}

bool UsageDataSender::setData(const Bytes& data, const std::string& identifier) {
    if (!isBlockIdentifier(identifier) || !UsageUtil::writeFileWhole(blockPath(identifier), data)) {
        UsageUtil::log(2, "Usage: Failed store block with id [{}]", identifier);
        return false;
    }
    return true;
}

void UsageDataSender::removeStoredDataWithIdentifier(const std::string& identifier) {
    if (identifier.empty()) return;
    bool found = false;
    for (auto& [key, blocks] : dataIndex_.indexMap) {
        size_t before = blocks.size();
        std::erase_if(blocks, [&](const UsageDataSenderBlockInfo& block) { return block.identifier == identifier; });
        found = found || blocks.size() != before;
    }
    deleteBlockFile(identifier);
    if (found) writeIndex();
}

bool UsageDataSender::sendSessionsData(const Bytes& data) {
    bool stored = false;
    UsageUtil::fenced([&] {
        std::optional<std::string> identifier = storeData(data);
        stored = identifier.has_value();
        if (runningTasks_.size() < kMaximumRunningTasks) sendData(data, identifier.value_or(""));
    });
    return stored;
}

void UsageDataSender::sendData(const Bytes& data, const std::string& identifier) {
    std::map<std::string, std::string> headers{{"content-type", "application/octet-stream"}};
    std::weak_ptr<UsageHttpAsyncTaskDelegate> delegate =
        std::static_pointer_cast<UsageDataSender>(shared_from_this());
    auto task = UsageHttpAsyncTask::sendMethod("POST", UsageNetworkUtil::serverURL(), data, headers, delegate, false);
    task->tag = identifier;
    registerNewTask(task);
    task->startInRunLoop();
}

void UsageDataSender::retransmitNotSentBlocks() {
    UsageUtil::fenced([&] {
        if (runningTasks_.size() >= kMaximumRunningTasks) return;
        std::set<std::string> running;
        for (const auto& task : runningTasks_) running.insert(task->tag);
        for (const UsageDataSenderBlockInfo& block : notSentBlocksForDataKey(currentDataKey())) {
            if (runningTasks_.size() >= kMaximumRunningTasks) break;
            if (running.count(block.identifier)) continue;
            std::optional<Bytes> data = UsageUtil::readFile(blockPath(block.identifier));
            if (!data) continue;
            sendData(*data, block.identifier);
        }
    });
}

bool UsageDataSender::removeOldBlocks(const std::string& dataKey) {
    auto found = dataIndex_.indexMap.find(dataKey);
    if (found == dataIndex_.indexMap.end() || found->second.size() <= kMaximumStoredBlocks) return false;
    std::vector<UsageDataSenderBlockInfo>& blocks = found->second;
    size_t excess = blocks.size() - kMaximumStoredBlocks;
    for (size_t i = 0; i < excess; ++i) deleteBlockFile(blocks[i].identifier);
    blocks.erase(blocks.begin(), blocks.begin() + static_cast<std::ptrdiff_t>(excess));
    writeIndex();
    return true;
}

void UsageDataSender::didCompleteAllTasks() { removeOldBlocks(currentDataKey()); }

void UsageDataSender::requestSuccessful(const std::shared_ptr<UsageHttpAsyncTask>& task, const UsageHTTPResponse& response) {
    std::weak_ptr<UsageDataSender> weak = std::static_pointer_cast<UsageDataSender>(shared_from_this());
    queue_.async([weak, task, response] {
        if (std::shared_ptr<UsageDataSender> sender = weak.lock()) sender->requestSuccessComplete(task, response);
    });
}

void UsageDataSender::requestSuccessComplete(const std::shared_ptr<UsageHttpAsyncTask>& task,
                                             const UsageHTTPResponse& response) {
    UsageUtil::log(2, "UsageSession: async http response code: {}, id [{}]", response.statusCode, task->tag);
    dataIndex_.sentReportSuccessfully = true;
    removeStoredDataWithIdentifier(task->tag);
    writeIndex();
    try {
        parseResponse(response.body);
    } catch (const std::exception& exception) {
        // The reason only (a UsageException's text is its reason).
        UsageUtil::log(2, "Failed to parse response with exception {}", exception.what());
    }
    unregisterTask(task, true);
}

void UsageDataSender::requestDidFail(const std::shared_ptr<UsageHttpAsyncTask>& task, const UsageHTTPResponse& response) {
    std::weak_ptr<UsageDataSender> weak = std::static_pointer_cast<UsageDataSender>(shared_from_this());
    queue_.async([weak, task, response] {
        std::shared_ptr<UsageDataSender> sender = weak.lock();
        if (!sender) return;
        UsageUtil::log(2, "UsageSession: Could not connect to server: {}",
                       response.error ? response.error->description() : "(null)");
        sender->unregisterTask(task, false);
    });
}

void UsageDataSender::requestDidCancel(const std::shared_ptr<UsageHttpAsyncTask>& task, const UsageHTTPResponse&) {
    std::weak_ptr<UsageDataSender> weak = std::static_pointer_cast<UsageDataSender>(shared_from_this());
    queue_.async([weak, task] {
        if (std::shared_ptr<UsageDataSender> sender = weak.lock()) sender->unregisterTask(task, false);
    });
}

// ---- The response ----

size_t UsageDataSender::parseCookies(const Bytes& body, size_t offset, int32_t count) {
    if (count < 1) return offset;
    int32_t read = 0;
    while (read < count && offset < body.size()) {
        int16_t keyLength = UsageProtocolData::getInt16FromData(body, static_cast<int64_t>(offset));
        if (keyLength < 0) throw UsageException("Malformed data", "a cookie key has a negative length");
        offset += 2;
        if (body.size() - offset < static_cast<size_t>(keyLength)) {
            throw UsageException("Malformed data", fmt::format("+[UsageDataSender parseCookies:]: data len={}, ix={}",
                                                               body.size(), offset));
        }
        std::string key(body.begin() + static_cast<std::ptrdiff_t>(offset),
                        body.begin() + static_cast<std::ptrdiff_t>(offset + static_cast<size_t>(keyLength)));
        offset += static_cast<size_t>(keyLength);
        int16_t valueLength = UsageProtocolData::getInt16FromData(body, static_cast<int64_t>(offset));
        if (valueLength < 0) throw UsageException("Malformed data", "a cookie value has a negative length");
        offset += 2;
        if (body.size() - offset < static_cast<size_t>(valueLength)) {
            throw UsageException("Malformed data", fmt::format("+[UsageDataSender parseCookies:]: data len={}, ix={}",
                                                               body.size(), offset));
        }
        Bytes value(body.begin() + static_cast<std::ptrdiff_t>(offset),
                    body.begin() + static_cast<std::ptrdiff_t>(offset + static_cast<size_t>(valueLength)));
        offset += static_cast<size_t>(valueLength);
        UsageUtil::updateIfChangedCookieValue(value, key);
        ++read;
    }
    if (read < count) {
        UsageUtil::log(2, "{}: Unable to read all cookies from response, number read {}", "+[UsageDataSender parseCookies:]",
                       read + 1);
    }
    return offset;
}

void UsageDataSender::parseResponse(const Bytes& body) {
    auto storage = UsageGlobalVariableStorage::sharedInstance();
    if (body.empty()) {
        storage->clearCookies();
        return;
    }
    int16_t chunkType = UsageProtocolData::getInt16FromData(body, 0);
    if (chunkType != 0x011E) {
        UsageUtil::log(2, "{}: Got unexpected chunk typd {:x}", "+[UsageDataSender parseResponse:]",
                       static_cast<uint16_t>(chunkType));
        throw UsageException("Malformed data", fmt::format("+[UsageDataSender parseResponse:]: chunk type {:x}",
                                                           static_cast<uint16_t>(chunkType)));
    }
    (void)UsageProtocolData::getInt32FromData(body, 2);
    (void)UsageProtocolData::getInt16FromData(body, 6);
    int16_t count = UsageProtocolData::getInt16FromData(body, 8);
    size_t offset = parseCookies(body, 10, count);
    (void)UsageProtocolData::getInt16FromData(body, static_cast<int64_t>(offset));
    storage->savePersistentGlobalsToDisk();
}

}  // namespace strombel::analytics
