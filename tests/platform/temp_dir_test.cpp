// The tests' own folders: a child that dies on purpose leaves nothing behind.

#include "support/temp_dir.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>

namespace strombel::testing {
namespace {

std::size_t entries(const std::filesystem::path& folder) {
    std::error_code error;
    std::size_t count = 0;
    for (auto it = std::filesystem::directory_iterator(folder, error); !error && it != std::filesystem::directory_iterator();
         it.increment(error))
        ++count;
    return count;
}

TEST(TempDirDeathTest, FoldersOfChildrenThatDieAreRemovedByTheTestProcess) {
    TempDir own;
    const char* old = std::getenv("TMPDIR");
    const std::string saved = old ? old : "";
    ::setenv("TMPDIR", own.path().c_str(), 1);
    for (const char* style : {"fast", "threadsafe"}) {
        SCOPED_TRACE(style);
        GTEST_FLAG_SET(death_test_style, style);
        EXPECT_DEATH(
            {
                TempDir dying;
                std::ofstream(dying / "take.wav") << "half a take";
                std::abort();
            },
            "");
    }
    GTEST_FLAG_SET(death_test_style, "fast");
    if (old) ::setenv("TMPDIR", saved.c_str(), 1);
    else ::unsetenv("TMPDIR");

    // Only the children's folder stands in the temporary folder, holding both.
    const std::filesystem::path children = own / ("strombel-test-children-" + std::to_string(::getpid()));
    EXPECT_EQ(entries(own.path()), 1u);
    EXPECT_EQ(entries(children), 2u);
    ::setenv("TMPDIR", own.path().c_str(), 1);
    detail::removeChildrenFolders();
    if (old) ::setenv("TMPDIR", saved.c_str(), 1);
    else ::unsetenv("TMPDIR");
    EXPECT_FALSE(std::filesystem::exists(children));
}

}  // namespace
}  // namespace strombel::testing
