#pragma once

#include <unistd.h>

#include <cerrno>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <system_error>

namespace strombel::testing {

namespace detail {

/// True in the child that a death test starts anew (exec) to die in: it never
/// runs its destructors, so what it makes must be left where its parent finds it.
inline bool isDeathTestChild() {
    static const bool child = [] {
        std::ifstream in("/proc/self/cmdline", std::ios::binary);
        const std::string line((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        return line.find("--gtest_internal_run_death_test") != std::string::npos;
    }();
    return child;
}

/// The test process itself: a child forked from it carries its number on.
inline const pid_t testProcess = ::getpid();

/// The folder holding the folders of this process's death-test children.
inline std::filesystem::path childrenFolder(pid_t parent) {
    return std::filesystem::temp_directory_path() / ("strombel-test-children-" + std::to_string(parent));
}

/// Removes, when the test process ends, what its dead children left.
inline void removeChildrenFolders() {
    if (isDeathTestChild()) return;
    std::error_code ignored;
    std::filesystem::remove_all(childrenFolder(::getpid()), ignored);
}
struct ChildrenFolderRemover {
    ~ChildrenFolderRemover() { removeChildrenFolders(); }
};
inline ChildrenFolderRemover childrenFolderRemover;

}  // namespace detail

/// A fresh folder under the system's temporary folder, removed with everything in
/// it when the object goes. Every test that touches files works inside one. In
/// a child process it lies in a folder of the test process's, which that
/// process removes when it ends.
class TempDir {
public:
    TempDir() {
        std::filesystem::path parent = std::filesystem::temp_directory_path();
        // A child (a death test's, forked or started anew) may die before its
        // destructors run: its folders go where the test process removes them.
        const bool execChild = detail::isDeathTestChild();
        if (execChild || ::getpid() != detail::testProcess) {
            parent = detail::childrenFolder(execChild ? ::getppid() : detail::testProcess);
            std::error_code ignored;
            std::filesystem::create_directory(parent, ignored);
        }
        std::string pattern = (parent / "strombel-test-XXXXXX").string();
        char* made = mkdtemp(pattern.data());
        // Never fall back to a shared folder: the destructor removes what it holds.
        if (!made) throw std::filesystem::filesystem_error("cannot make a test folder", pattern,
                                                           std::error_code(errno, std::generic_category()));
        path_ = made;
    }
    ~TempDir() {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::filesystem::path& path() const { return path_; }
    std::filesystem::path operator/(const std::filesystem::path& child) const { return path_ / child; }

private:
    std::filesystem::path path_;
};

/// The bytes of a file, to check later that nothing changed them.
inline std::string fileBytes(const std::filesystem::path& file) {
    std::ifstream in(file, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

}  // namespace strombel::testing
