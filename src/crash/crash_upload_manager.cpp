#include "crash/crash_upload_manager.h"

#include <utility>

namespace strombel::crash {

CrashUploadManager& CrashUploadManager::sharedCrashUploadManager() {
    static CrashUploadManager manager;
    return manager;
}

void CrashUploadManager::setSubmissionURL(std::string url) {
    std::lock_guard lock(mutex_);
    submissionURL_ = std::move(url);
}

std::string CrashUploadManager::submissionURL() const {
    std::lock_guard lock(mutex_);
    return submissionURL_;
}

}  // namespace strombel::crash
