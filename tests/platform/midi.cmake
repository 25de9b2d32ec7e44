strombel_add_test(platform_midi_tests
  SOURCES
    midi_send_scheduler_test.cpp
    loopback_midi_backend_test.cpp
    rtmidi_backend_test.cpp
  DEPS strombel_platform strombel_platform_midi)
