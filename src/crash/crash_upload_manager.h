#pragma once

#include <mutex>
#include <string>

namespace strombel::crash {

/// The crash upload client: offers pending crash reports to the user and posts
/// them to the crash server. The application gives it its address at launch and
/// never starts it, so nothing is ever sent from here.
class CrashUploadManager {
public:
    CrashUploadManager() = default;
    CrashUploadManager(const CrashUploadManager&) = delete;
    CrashUploadManager& operator=(const CrashUploadManager&) = delete;

    /// The one client, created on first use.
    static CrashUploadManager& sharedCrashUploadManager();

    /// Stores where reports are posted later; sends nothing.
    void setSubmissionURL(std::string url);
    std::string submissionURL() const;

    /// Whether the client was started. Nothing in the application starts it.
    bool isStarted() const { return false; }

private:
    mutable std::mutex mutex_;
    std::string submissionURL_;
};

}  // namespace strombel::crash
