#include "platform/trash.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>

#include "support/temp_dir.h"
#include "support/test_mounts.h"

namespace strombel::platform {
namespace {

using strombel::testing::fileBytes;

TEST(Trash, ALeftoverWithoutItsInformationIsNeverOverwritten) {
    // Another program may leave a file in "files" without its ".trashinfo"
    // (it died between the two): the name is taken all the same.
    const struct {
        const char* leftover;
        std::function<void(const std::filesystem::path&)> make;
        std::function<bool(const std::filesystem::path&)> untouched;
    } rows[] = {
        {"a file", [](const auto& at) { std::ofstream(at) << "older"; },
         [](const auto& at) { return fileBytes(at) == "older"; }},
        {"a link to nothing", [](const auto& at) { std::filesystem::create_symlink("/nowhere/at/all", at); },
         [](const auto& at) {
             std::error_code error;
             return std::filesystem::read_symlink(at, error) == "/nowhere/at/all";
         }},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.leftover);
        strombel::testing::TempDir temp;
        const Trash trash(temp / "Trash");
        std::filesystem::create_directories(trash.folder() / "files");
        row.make(trash.folder() / "files" / "kick.wav");
        std::ofstream(temp / "kick.wav") << "sample";

        EXPECT_TRUE(trash.moveToTrash(temp / "kick.wav", std::chrono::system_clock::now()).ok());
        EXPECT_TRUE(row.untouched(trash.folder() / "files" / "kick.wav"));
        EXPECT_FALSE(std::filesystem::exists(trash.folder() / "info" / "kick.wav.trashinfo"));
        EXPECT_EQ(fileBytes(trash.folder() / "files" / "kick.2.wav"), "sample");
        EXPECT_NE(fileBytes(trash.folder() / "info" / "kick.2.wav.trashinfo").find("Path=" + (temp / "kick.wav").string()),
                  std::string::npos);
        EXPECT_FALSE(std::filesystem::exists(temp / "kick.wav"));
    }
}

}  // namespace
}  // namespace strombel::platform
