#pragma once

// File systems a test mounts for itself: a small tmpfs to fill up, a read-only
// view of a folder. Tests run as root in CI, where mode bits alone stop no
// write, so a read-only case needs a read-only mount. Mounting needs the right
// to mount; where it is refused the test skips and says why.

#include <sys/mount.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <system_error>
#include <vector>

#include "support/temp_dir.h"

namespace strombel::testing {

/// A mount made for one test; unmounted (lazily, so an open file cannot keep it)
/// when the object goes.
class TestMount {
public:
    ~TestMount() { ::umount2(at_.c_str(), MNT_DETACH); }
    TestMount(const TestMount&) = delete;
    TestMount& operator=(const TestMount&) = delete;

    /// A tmpfs of `bytes` at `at` (made when missing); null, with `why`, when refused.
    static std::unique_ptr<TestMount> tmpfs(const std::filesystem::path& at, size_t bytes, std::string& why) {
        std::error_code ignored;
        std::filesystem::create_directories(at, ignored);
        const std::string options = "size=" + std::to_string(bytes) + ",mode=0755";
        if (::mount("strombel-test", at.c_str(), "tmpfs", MS_NOSUID | MS_NODEV, options.c_str()) != 0) {
            why = std::strerror(errno);
            return nullptr;
        }
        return std::unique_ptr<TestMount>(new TestMount(at));
    }

    /// `source` seen read-only at `at` (made when missing); null, with `why`, when refused.
    static std::unique_ptr<TestMount> readOnly(const std::filesystem::path& source, const std::filesystem::path& at,
                                               std::string& why) {
        std::error_code ignored;
        std::filesystem::create_directories(at, ignored);
        if (::mount(source.c_str(), at.c_str(), nullptr, MS_BIND, nullptr) != 0) {
            why = std::strerror(errno);
            return nullptr;
        }
        std::unique_ptr<TestMount> mount(new TestMount(at));
        if (::mount(nullptr, at.c_str(), nullptr, MS_BIND | MS_REMOUNT | MS_RDONLY, nullptr) != 0) {
            why = std::strerror(errno);
            return nullptr;
        }
        return mount;
    }

private:
    explicit TestMount(std::filesystem::path at) : at_(std::move(at)) {}
    std::filesystem::path at_;
};

/// Writes `file` until the disk holding it is full; answers how many bytes went in.
inline size_t fillDisk(const std::filesystem::path& file) {
    std::ofstream out(file, std::ios::binary);
    const std::vector<char> block(4096, '\x5a');
    size_t written = 0;
    while (out.write(block.data(), static_cast<std::streamsize>(block.size()))) {
        out.flush();
        if (!out) break;
        written += block.size();
    }
    return written;
}

}  // namespace strombel::testing
