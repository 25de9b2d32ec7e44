# Property lists over the shared Value: a library of its own, because it needs
# src/json, which stands on the platform core.
strombel_add_library(strombel_platform_plist
  SOURCES property_list.cpp
  DEPS strombel_platform strombel_json
  PRIVATE_DEPS PkgConfig::PLIST)
