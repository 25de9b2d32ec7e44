#pragma once

namespace strombel::platform {

/// The version of the tablet platform this program behaves as. It is 8.0: the
/// local message-port transport of the hub protocol exists only at 7 or below,
/// which tests set to exercise it.
class PlatformVersion {
public:
    static double current();
    /// The integer part of `current()`.
    static int major();
    /// For tests: behave as another version (any thread may read it meanwhile).
    static void setCurrent(double version);
};

}  // namespace strombel::platform
