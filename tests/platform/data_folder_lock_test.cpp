#include "platform/data_folder_lock.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <optional>
#include <string>

#include "support/temp_dir.h"
#include "support/test_mounts.h"

namespace strombel::platform {
namespace {

using testing::TempDir;

/// Another program's hold on a file: an flock of its own.
struct Holder {
    explicit Holder(const std::filesystem::path& file) : fd(::open(file.c_str(), O_RDONLY | O_CLOEXEC)) {
        locked = fd >= 0 && ::flock(fd, LOCK_EX | LOCK_NB) == 0;
    }
    ~Holder() {
        if (fd >= 0) ::close(fd);
    }
    int fd;
    bool locked = false;
};

TEST(DataFolderLock, ALinkInPlaceOfTheLockFileIsNeverFollowed) {
    struct Case {
        const char* name;
        bool targetExists;  // else a link to nothing
    };
    for (const Case& c : {Case{"a link to nothing", false}, Case{"a link to a file another program holds", true}}) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        const std::filesystem::path root = dir / "root", target = dir / "elsewhere";
        std::filesystem::create_directories(root);
        if (c.targetExists) std::ofstream(target) << "someone else's";
        std::filesystem::create_symlink(target, root / DataFolderLock::kFileName);
        std::optional<Holder> other;
        if (c.targetExists) {
            ASSERT_TRUE(other.emplace(target).locked);
        }

        DataFolderLock lock(root);
        EXPECT_EQ(lock.state(), DataFolderLock::State::refused) << "no other Strombel runs here";
        EXPECT_NE(lock.problem().find("is a symbolic link"), std::string::npos) << lock.problem();
        EXPECT_EQ(std::filesystem::exists(target), c.targetExists) << "nothing made outside the folder";
        if (c.targetExists) {
            std::ifstream in(target);
            EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), "someone else's");
        }
    }
}

TEST(DataFolderLock, AReadOnlyFolderIsHeldByOneStartAtATime) {
    for (bool withFile : {true, false}) {
        SCOPED_TRACE(withFile ? "the lock file there" : "no lock file, none can be made");
        TempDir dir;
        const std::filesystem::path root = dir / "root", readOnly = dir / "read-only";
        std::filesystem::create_directories(root / "Documents");
        if (withFile) std::ofstream(root / DataFolderLock::kFileName);
        std::string why;
        auto mount = testing::TestMount::readOnly(root, readOnly, why);
        if (!mount) GTEST_SKIP() << "mounting is refused here (" << why << "): no read-only folder";

        DataFolderLock first(readOnly);
        EXPECT_TRUE(first.owned()) << first.problem();
        DataFolderLock second(readOnly);
        EXPECT_TRUE(second.ownedElsewhere()) << second.problem();
        EXPECT_EQ(std::filesystem::exists(readOnly / DataFolderLock::kFileName), withFile);
    }
}

}  // namespace
}  // namespace strombel::platform
