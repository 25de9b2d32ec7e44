#include <gtest/gtest.h>

#include "logging/log_message.h"

namespace strombel::logging {
namespace {

TEST(LogMessageTest, FileNameIsTheLastComponentWithoutItsExtension) {
    struct Case {
        const char* file;
        const char* name;
    } cases[] = {
        {"lib/Engine.impl", "Engine"},
        {"Makefile", "Makefile"},
        {"dir/name.tar.gz", "name.tar"},
        {"/abs/path/to/sound_box.cpp", "sound_box"},
        {"folder.d/README", "README"},
    };
    for (const Case& c : cases) {
        LogMessage message("text", 3, 1, 0, c.file, "f", 1);
        EXPECT_EQ(message.fileName(), c.name) << c.file;
    }
    LogMessage noFile("text", 3, 1, 0, nullptr, nullptr, 1);
    EXPECT_EQ(noFile.fileName(), std::nullopt);
    EXPECT_EQ(noFile.methodName(), std::nullopt);
}

TEST(LogMessageTest, ThreadIdIsLowerCaseHexadecimal) {
    LogMessage message("text", 3, 1, 0, "a.cpp", "run", 1);
    message.setMachThreadID(4355);
    EXPECT_EQ(message.threadID(), "1103");
    message.setMachThreadID(0xABCDEF);
    EXPECT_EQ(message.threadID(), "abcdef");
}

TEST(LogMessageTest, CopyOptionsOwnFileAndFunctionAcrossMovesAndCopies) {
    std::string file = "src/engine/track.cpp";
    std::string function = "startTrack";
    LogMessage message("text", 3, 1, 0, file.c_str(), function.c_str(), 9, nullptr,
                       LogMessageCopyFile | LogMessageCopyFunction);
    LogMessage moved = std::move(message);
    LogMessage copied = moved;
    file.assign("overwritten, like a caller's buffer");
    function.assign("overwritten too");
    EXPECT_STREQ(moved.file(), "src/engine/track.cpp");
    EXPECT_STREQ(copied.function(), "startTrack");
    EXPECT_EQ(copied.fileName(), "track");
    EXPECT_EQ(copied.methodName(), "startTrack");

    static const char kConstantFile[] = "constant.cpp";
    LogMessage borrowed("text", 3, 1, 0, kConstantFile, "f", 1);
    EXPECT_EQ(borrowed.file(), kConstantFile);  // the very pointer, no copy
}

}  // namespace
}  // namespace strombel::logging
