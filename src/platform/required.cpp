#include "platform/required.h"

#include <cstdio>
#include <cstdlib>

namespace strombel::platform {

void missingDependency(const char* what) {
    std::fprintf(stderr, "strombel: %s was not handed in\n", what);
    std::abort();
}

}  // namespace strombel::platform
