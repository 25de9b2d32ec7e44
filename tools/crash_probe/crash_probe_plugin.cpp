// A library the crash probe opens after its reporter is enabled, as a program
// opens an audio or toolkit plugin, and crashes in. Its code keeps no frame
// pointers, so only its unwind tables lead out of it, and its inner functions
// are local symbols, named only by its own symbol table.

#include <cstdint>

extern "C" {

volatile uintptr_t pluginFaultAddress = 0x20;
volatile int pluginDepth = 0;

static __attribute__((noinline, noclone)) void plugin_crash_inner(int depth) {
    pluginDepth = depth;
    *reinterpret_cast<volatile int*>(pluginFaultAddress) = depth;
}

static __attribute__((noinline, noclone)) void plugin_crash_middle(int depth) {
    plugin_crash_inner(depth + 1);
    pluginDepth = depth;
}

__attribute__((visibility("default"))) void crash_probe_plugin_run() {
    plugin_crash_middle(1);
    pluginDepth = 0;
}

}  // extern "C"
