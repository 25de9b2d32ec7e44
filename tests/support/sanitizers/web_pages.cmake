# AddressSanitizer's options for a test process that shows a web page (the
# social network's dialogs), added to what every test process has.
#
# Qt's web engine (not built with the sanitizer) frees objects of its own
# through a base of a smaller size when a page goes: inside
# ~WebContentsAdapter an object of 88 bytes is freed as one of 24. Both the
# operator new and the sized operator delete are called from
# libQt6WebEngineCore, and a program on Qt alone that shows a page and deletes
# it gets the same report. AddressSanitizer suppresses that check by no stack
# or library, only by its switch: the switch is off in the cases that show a
# page (strombel_add_test's WEB_PAGE_CASES), and every other case keeps it.
set(STROMBEL_WEB_PAGE_ASAN_OPTIONS "new_delete_type_mismatch=0")
