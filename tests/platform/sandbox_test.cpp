#include "platform/sandbox.h"

#include <gtest/gtest.h>

#include "support/temp_dir.h"

namespace strombel::platform {
namespace {

TEST(Sandbox, CreatesItsFoldersUnderTheRoot) {
    testing::TempDir temp;
    Sandbox sandbox(temp / "root", temp / "bundle");
    ASSERT_TRUE(sandbox.createFolders());
    EXPECT_TRUE(std::filesystem::is_directory(temp / "root/Documents"));
    EXPECT_TRUE(std::filesystem::is_directory(temp / "root/Library/Caches"));
    EXPECT_TRUE(std::filesystem::is_directory(temp / "root/Library/Preferences"));
}

TEST(Sandbox, ResolvesStoredRelativePaths) {
    Sandbox sandbox("/r", "/b/Tumblecraft.app");
    struct Case {
        const char* relative;
        const char* absolute;
    } cases[] = {
        {"Documents/kick.wav", "/r/Documents/kick.wav"},
        {"Library/Caches/downloads/snare.wav", "/r/Library/Caches/downloads/snare.wav"},
        {"Tumblecraft.app/kick.wav", "/b/Tumblecraft.app/kick.wav"},
        {"Other.app/sub/folder/kick.wav", "/b/Tumblecraft.app/kick.wav"},
        {"Documents/my.app.wav", "/r/Documents/my.app.wav"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(sandbox.absolutePath(c.relative), std::filesystem::path(c.absolute)) << c.relative;
    }
}

TEST(Sandbox, RootFromArguments) {
    const char* separate[] = {"strombel", "--gui", "1", "--root", "/tmp/x"};
    const char* joined[] = {"strombel", "--root=/tmp/y"};
    const char* none[] = {"strombel", "--root"};
    EXPECT_EQ(Sandbox::rootFromArguments(5, separate), std::filesystem::path("/tmp/x"));
    EXPECT_EQ(Sandbox::rootFromArguments(2, joined), std::filesystem::path("/tmp/y"));
    EXPECT_FALSE(Sandbox::rootFromArguments(2, none).has_value());
}

TEST(Sandbox, EnvironmentChoosesTheDefaultRoot) {
    setenv("STROMBEL_ROOT", "/tmp/strombel-env-root", 1);
    EXPECT_EQ(Sandbox::defaultRoot(), std::filesystem::path("/tmp/strombel-env-root"));
    unsetenv("STROMBEL_ROOT");
    setenv("XDG_DATA_HOME", "/tmp/xdg", 1);
    EXPECT_EQ(Sandbox::defaultRoot(), std::filesystem::path("/tmp/xdg/strombel"));
}

}  // namespace
}  // namespace strombel::platform
