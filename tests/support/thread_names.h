#pragma once

// The names a running program's threads carry, as /proc shows them.

#include <sys/types.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace strombel::testing {

/// The threads of process `pid` other than its main thread that carry the
/// program's own name ("strombel"), so no name of their own, each as its id.
inline std::vector<std::string> threadsWithoutANameOfTheirOwn(pid_t pid) {
    std::vector<std::string> unnamed;
    std::error_code gone;
    for (const auto& task : std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/task", gone)) {
        if (task.path().filename() == std::to_string(pid)) continue;
        std::string name;
        std::getline(std::ifstream(task.path() / "comm"), name);
        if (name == "strombel") unnamed.push_back(task.path().filename().string());
    }
    return unnamed;
}

}  // namespace strombel::testing
