#pragma once

// What an object needs handed in by whoever makes it. A missing one is a
// mistake in the code that made the object: it is told in one line, naming
// what was missing, and the program aborts, rather than the object quietly
// taking the program's own instance.

namespace strombel::platform {

/// Prints "<what> was not handed in" and aborts.
[[noreturn]] void missingDependency(const char* what);

/// `*given`; aborts through missingDependency(what) when `given` is null.
template <class T>
T& required(T* given, const char* what) {
    if (given == nullptr) missingDependency(what);
    return *given;
}

}  // namespace strombel::platform
