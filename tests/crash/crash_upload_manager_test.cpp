#include "crash/crash_upload_manager.h"

#include <gtest/gtest.h>

#include <thread>

namespace strombel::crash {
namespace {

TEST(CrashUploadManager, KeepsItsAddressAndIsNeverStarted) {
    CrashUploadManager& shared = CrashUploadManager::sharedCrashUploadManager();
    EXPECT_EQ(&shared, &CrashUploadManager::sharedCrashUploadManager());
    EXPECT_EQ(shared.submissionURL(), "");

    std::thread other([&] { shared.setSubmissionURL("https://crash.example.org/crashes/crash_v200.php"); });
    other.join();
    EXPECT_EQ(shared.submissionURL(), "https://crash.example.org/crashes/crash_v200.php");
    EXPECT_FALSE(shared.isStarted());
}

}  // namespace
}  // namespace strombel::crash
