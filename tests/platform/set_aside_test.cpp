#include "platform/set_aside.h"

#include <gtest/gtest.h>

#include <fstream>

#include "support/temp_dir.h"

namespace strombel::platform {
namespace {

void writeText(const std::filesystem::path& path, const std::string& text) { std::ofstream(path) << text; }

std::string asideText(const std::filesystem::path& path) {
    std::ifstream in(path);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

TEST(SetFileAside, KeepsTheFileAndItsCompanionsUnderNewNames) {
    testing::TempDir dir;
    const auto store = dir / "store.sqlite";
    writeText(store, "main");
    writeText(dir / "store.sqlite-wal", "log");
    auto aside = setFileAside(store, "damaged");
    ASSERT_TRUE(aside);
    EXPECT_FALSE(std::filesystem::exists(store));
    EXPECT_FALSE(std::filesystem::exists(dir / "store.sqlite-wal"));
    EXPECT_EQ(asideText(*aside), "main");
    EXPECT_EQ(asideText(aside->string() + "-wal"), "log");
    EXPECT_EQ(aside->filename().string().rfind("store.sqlite.damaged-", 0), 0u);
}

TEST(SetFileAside, TwoInOneSecondNeverOverwriteEachOther) {
    testing::TempDir dir;
    const auto file = dir / "map";
    writeText(file, "first");
    auto first = setFileAside(file, "unreadable");
    writeText(file, "second");
    auto second = setFileAside(file, "unreadable");
    ASSERT_TRUE(first && second);
    EXPECT_NE(*first, *second);
    EXPECT_EQ(asideText(*first), "first");
    EXPECT_EQ(asideText(*second), "second");
}

TEST(SetFileAside, AMissingFileIsReportedAndNothingIsMade) {
    testing::TempDir dir;
    EXPECT_FALSE(setFileAside(dir / "absent", "damaged"));
    EXPECT_TRUE(std::filesystem::is_empty(dir.path()));
}

}  // namespace
}  // namespace strombel::platform
