# The main pad screen (tablet, phone landscape and phone portrait) on the view kit
# and the controls of src/ui. Included by src/ui/CMakeLists.txt:
#   include(pad_screen.cmake)
set(STROMBEL_PAD_SCREEN_DIR "${CMAKE_CURRENT_LIST_DIR}")
strombel_add_library(strombel_ui_pad
  SOURCES
    ${STROMBEL_PAD_SCREEN_DIR}/strombel_view_controller.cpp
    ${STROMBEL_PAD_SCREEN_DIR}/strombel_view_controller_layout.cpp
    ${STROMBEL_PAD_SCREEN_DIR}/strombel_view_controller_pads.cpp
    ${STROMBEL_PAD_SCREEN_DIR}/strombel_view_controller_panels.cpp
  DEPS strombel_ui strombel_ui_info strombel_ui_store strombel_ui_editor strombel_logging strombel_platform)
