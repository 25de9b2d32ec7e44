pkg_check_modules(RTMIDI REQUIRED IMPORTED_TARGET rtmidi)
pkg_check_modules(JACK REQUIRED IMPORTED_TARGET jack)

strombel_add_library(strombel_platform_midi
  SOURCES
    midi_backend.cpp
    midi_send_scheduler.cpp
    loopback_midi_backend.cpp
    rtmidi_backend.cpp
  DEPS strombel_platform strombel_logging fmt::fmt
  PRIVATE_DEPS PkgConfig::RTMIDI PkgConfig::JACK)
