#include "platform/file_move.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include <unistd.h>

#include "support/temp_dir.h"

namespace strombel::platform {
namespace {

std::string contentsOf(const std::filesystem::path& file) {
    std::ifstream in(file, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

void write(const std::filesystem::path& file, const std::string& text) {
    std::ofstream(file, std::ios::binary) << text;
}

TEST(FileMove, MovesIntoAFreeNameAndNeverReplacesAFile) {
    strombel::testing::TempDir temp;
    write(temp / "pasted.wav", "new audio");
    write(temp / "taken.wav", "the user's sample");

    EXPECT_FALSE(moveFileWithoutReplacing(temp / "pasted.wav", temp / "taken.wav").ok());
    EXPECT_EQ(contentsOf(temp / "taken.wav"), "the user's sample");
    EXPECT_EQ(contentsOf(temp / "pasted.wav"), "new audio") << "the file stays where it was";

    EXPECT_TRUE(moveFileWithoutReplacing(temp / "pasted.wav", temp / "free.wav").ok());
    EXPECT_EQ(contentsOf(temp / "free.wav"), "new audio");
    EXPECT_FALSE(std::filesystem::exists(temp / "pasted.wav"));

    EXPECT_FALSE(moveFileWithoutReplacing(temp / "gone.wav", temp / "other.wav").ok());
    EXPECT_FALSE(moveFileWithoutReplacing(temp / "free.wav", temp / "no folder" / "x.wav").ok());
    EXPECT_TRUE(std::filesystem::exists(temp / "free.wav"));
}

TEST(FileMove, AcrossFileSystemsTheFileIsCopiedWhole) {
    // /dev/shm is another file system than the test's temporary folder on most machines.
    if (!std::filesystem::is_directory("/dev/shm")) GTEST_SKIP() << "no /dev/shm";
    strombel::testing::TempDir temp;
    const std::filesystem::path elsewhere = std::filesystem::path("/dev/shm") / ("strombel-move-" + std::to_string(::getpid()));
    const std::string audio(200000, 'a');
    write(elsewhere, audio);
    EXPECT_TRUE(moveFileWithoutReplacing(elsewhere, temp / "moved.wav").ok());
    EXPECT_EQ(contentsOf(temp / "moved.wav"), audio);
    EXPECT_FALSE(std::filesystem::exists(elsewhere));

    write(elsewhere, "second");
    EXPECT_FALSE(moveFileWithoutReplacing(elsewhere, temp / "moved.wav").ok());
    EXPECT_EQ(contentsOf(temp / "moved.wav"), audio);
    std::filesystem::remove(elsewhere);
}

}  // namespace
}  // namespace strombel::platform
