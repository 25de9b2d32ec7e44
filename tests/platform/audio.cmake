pkg_check_modules(PLATFORM_TEST_SNDFILE REQUIRED IMPORTED_TARGET sndfile)

strombel_add_test(platform_audio_tests
  SOURCES
    audio_device_test.cpp
    audio_file_test.cpp
  DEPS strombel_platform_audio PkgConfig::PLATFORM_TEST_SNDFILE)
