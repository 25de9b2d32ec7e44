pkg_check_modules(RTAUDIO REQUIRED IMPORTED_TARGET rtaudio)
pkg_check_modules(ALSA REQUIRED IMPORTED_TARGET alsa)
pkg_check_modules(SNDFILE REQUIRED IMPORTED_TARGET sndfile)
pkg_check_modules(SAMPLERATE REQUIRED IMPORTED_TARGET samplerate)

strombel_add_library(strombel_platform_audio
  SOURCES
    audio_device.cpp
    audio_file.cpp
    manual_audio_device.cpp
    null_audio_device.cpp
    rtaudio_device.cpp
  DEPS strombel_platform strombel_logging
  PRIVATE_DEPS PkgConfig::RTAUDIO PkgConfig::ALSA PkgConfig::SNDFILE PkgConfig::SAMPLERATE)
# The sample conversions of reading and writing are worth vectorising at every build type.
set_source_files_properties(audio_file.cpp PROPERTIES COMPILE_OPTIONS "-O3")
