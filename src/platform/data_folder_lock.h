#pragma once

#include <filesystem>
#include <string>

namespace strombel::platform {

/// Which program owns a data folder: the one holding an exclusive lock (flock)
/// on the file ".running" at the folder's top, from its start to its end. The
/// settings, the library store, the caches and the address socket are the
/// owner's alone; nothing is ever written into the file. The lock goes with the
/// process however it ends, so a program that was killed leaves the folder free,
/// and child processes never inherit it.
///
/// A folder the user may not write that has no such file yet is locked as a
/// whole instead (an flock on the folder itself). A link in the file's place is
/// never followed: the folder is then refused, the link named.
class DataFolderLock {
public:
    static constexpr const char* kFileName = ".running";
    enum class State {
        owned,           // this program holds the folder
        ownedElsewhere,  // another program holds it
        refused,         // it cannot be locked at all; `problem()` says why
    };

    /// Makes the folder `root` when it is missing and tries once, without
    /// waiting, to take it.
    explicit DataFolderLock(const std::filesystem::path& root);
    /// Leaves the folder (the file stays).
    ~DataFolderLock();
    DataFolderLock(const DataFolderLock&) = delete;
    DataFolderLock& operator=(const DataFolderLock&) = delete;

    State state() const { return state_; }
    bool owned() const { return state_ == State::owned; }
    bool ownedElsewhere() const { return state_ == State::ownedElsewhere; }
    /// Why the folder cannot be locked (state `refused`); empty otherwise.
    const std::string& problem() const { return problem_; }
    /// Tries again, without waiting, to take a folder held elsewhere (its owner
    /// may have ended); answers whether this program owns it now.
    bool tryAgain();

private:
    void take();
    int fd_ = -1;
    State state_ = State::refused;
    std::string problem_;
    std::filesystem::path root_;
};

}  // namespace strombel::platform
