# strombel_add_library(NAME folder SOURCES ... DEPS ...)
# One static library per subsystem folder, named strombel_<folder with / as _>.
function(strombel_add_library name)
  cmake_parse_arguments(ARG "" "" "SOURCES;DEPS;PRIVATE_DEPS" ${ARGN})
  add_library(${name} STATIC ${ARG_SOURCES})
  target_include_directories(${name} PUBLIC "${PROJECT_SOURCE_DIR}/src")
  target_link_libraries(${name} PUBLIC ${ARG_DEPS} PRIVATE ${ARG_PRIVATE_DEPS})
  # Batched once the folder is read, so that flags given to single files after
  # this call are seen (such files are compiled on their own).
  if(STROMBEL_UNITY_LIBS)
    # (a deferred call reads its arguments when it runs: the name goes in as text)
    cmake_language(EVAL CODE "cmake_language(DEFER CALL strombel_batch_library [[${name}]])")
  endif()
endfunction()

# strombel_batch_library(TARGET): compiles a library's C++ files in batches of
# sixteen, as the test programs' are, except files with flags of their own, files
# marked SKIP_UNITY_BUILD_INCLUSION and files the build generates.
function(strombel_batch_library target)
  get_target_property(sources ${target} SOURCES)
  set(kept "")
  set(batchable "")
  foreach(source IN LISTS sources)
    get_filename_component(path "${source}" ABSOLUTE BASE_DIR "${CMAKE_CURRENT_SOURCE_DIR}")
    get_source_file_property(options "${path}" COMPILE_OPTIONS)
    get_source_file_property(definitions "${path}" COMPILE_DEFINITIONS)
    get_source_file_property(flags "${path}" COMPILE_FLAGS)
    get_source_file_property(alone "${path}" SKIP_UNITY_BUILD_INCLUSION)
    cmake_path(IS_PREFIX PROJECT_BINARY_DIR "${path}" NORMALIZE generated)
    if(path MATCHES "\\.cpp$" AND NOT options AND NOT definitions AND NOT flags AND NOT alone AND NOT generated)
      list(APPEND batchable "${path}")
    else()
      list(APPEND kept "${source}")
    endif()
  endforeach()
  list(LENGTH batchable count)
  if(count LESS 2)
    return()
  endif()
  strombel_batch_sources(${target} batchable)
  set_property(TARGET ${target} PROPERTY SOURCES ${kept} ${batchable})
endfunction()

# strombel_batch_sources(TARGET SOURCES_VARIABLE): replaces the C++ files in
# the list by batch files of sixteen, each including its files by a path relative
# to itself. A batch file reads the same in every clone of the repository, so
# the compiler cache serves a clone in another folder (CMake's own unity build
# writes absolute paths, which made every batch a miss there). A program of one
# file is left as it is (its file may carry flags of its own).
function(strombel_batch_sources target variable)
  set(files ${${variable}})
  list(FILTER files INCLUDE REGEX "\\.cpp$")
  set(batched "")
  set(batch "")
  set(count 0)
  set(size 16)
  set(folder "${CMAKE_CURRENT_BINARY_DIR}/${target}_batches")
  list(LENGTH files files)
  if(files LESS 2)
    return()
  endif()
  foreach(source IN LISTS ${variable})
    get_filename_component(path "${source}" ABSOLUTE BASE_DIR "${CMAKE_CURRENT_SOURCE_DIR}")
    if(NOT path MATCHES "\\.cpp$")
      list(APPEND batched "${source}")
      continue()
    endif()
    file(RELATIVE_PATH relative "${folder}" "${path}")
    string(APPEND batch "#include \"${relative}\"\n")
    math(EXPR count "${count} + 1")
    math(EXPR remainder "${count} % ${size}")
    if(remainder EQUAL 0)
      math(EXPR number "${count} / ${size}")
      file(CONFIGURE OUTPUT "${folder}/batch_${number}.cpp" CONTENT "${batch}")
      list(APPEND batched "${folder}/batch_${number}.cpp")
      set(batch "")
    endif()
  endforeach()
  if(NOT batch STREQUAL "")
    math(EXPR number "${count} / ${size} + 1")
    file(CONFIGURE OUTPUT "${folder}/batch_${number}.cpp" CONTENT "${batch}")
    list(APPEND batched "${folder}/batch_${number}.cpp")
  endif()
  set(${variable} "${batched}" PARENT_SCOPE)
endfunction()

# strombel_build_paths(TARGET [PUBLIC] NAME value ...): paths of the build or
# the checkout the code names as NAME (a `const char*`). The values live in one
# small generated file of the target; the other files see only a name, so they
# compile the same in every clone and the compiler cache serves a clone in
# another folder. Values may hold generator expressions.
function(strombel_build_paths target)
  set(scope PRIVATE)
  set(pairs ${ARGN})
  if(pairs AND "${pairs}" MATCHES "^PUBLIC;")
    set(scope PUBLIC)
    list(REMOVE_AT pairs 0)
  endif()
  set(declarations "#pragma once\n")
  set(definitions "")
  list(LENGTH pairs length)
  math(EXPR last "${length} - 1")
  foreach(index RANGE 0 ${last} 2)
    math(EXPR next "${index} + 1")
    list(GET pairs ${index} name)
    list(GET pairs ${next} value)
    string(APPEND declarations "extern \"C\" const char* const strombel_path_${name};\n")
    # A C string: a folder's name may hold a quote or a backslash.
    string(REPLACE "\\" "\\\\" value "${value}")
    string(REPLACE "\"" "\\\"" value "${value}")
    # Weak: two targets of one program may name the same path.
    string(APPEND definitions
      "extern \"C\" __attribute__((weak)) const char* const strombel_path_${name} = \"${value}\";\n")
    target_compile_definitions(${target} ${scope} "${name}=strombel_path_${name}")
  endforeach()
  set(header "${CMAKE_CURRENT_BINARY_DIR}/${target}_paths.h")
  file(CONFIGURE OUTPUT "${header}" CONTENT "${declarations}")
  file(GENERATE OUTPUT "${CMAKE_CURRENT_BINARY_DIR}/${target}_paths.cpp"
    CONTENT "#include \"${target}_paths.h\"\n${definitions}")
  target_sources(${target} PRIVATE "${CMAKE_CURRENT_BINARY_DIR}/${target}_paths.cpp")
  # Quoted for the option's own splitting: the checkout's path may hold spaces.
  target_compile_options(${target} ${scope} "SHELL:-include \"${header}\"")
endfunction()

# strombel_add_test(NAME [JACK] [NO_WHOLE_RUN] SOURCES ... DEPS ... [LABELS ...]
#                   [RESOURCE_LOCK ...] [ENVIRONMENT NAME=value ...] [TIMEOUT seconds]
#                   [WEB_PAGE_CASES regex])
# A GoogleTest executable whose cases ctest runs one by one. Each test case
# gets its own process, so tests never share a sandbox root by accident; the
# program also runs once whole (NAME.whole), unless it has a single case.
# JACK: the cases need the build's JACK server (dummy driver); they run one at a
# time with JACK_DEFAULT_SERVER naming it.
# WEB_PAGE_CASES: a regular expression of the cases whose process shows a web
# page; under the sanitizers they get the options of web_pages.cmake.
include("${PROJECT_SOURCE_DIR}/tests/support/sanitizers/web_pages.cmake")
function(strombel_add_test name)
  cmake_parse_arguments(ARG "JACK;NO_WHOLE_RUN" "TIMEOUT;WEB_PAGE_CASES" "SOURCES;DEPS;LABELS;RESOURCE_LOCK;FIXTURES;ENVIRONMENT" ${ARGN})
  # A few test files compiled as one: the test framework's and Qt's headers are
  # read once per batch instead of once per file (most of a test file's build).
  if(STROMBEL_UNITY_TESTS)
    strombel_batch_sources(${name} ARG_SOURCES)
  endif()
  add_executable(${name} ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE ${ARG_DEPS} GTest::gmock GTest::gtest_main Threads::Threads)
  # A program on our libraries puts their process-wide state back after each case.
  if(ARG_DEPS MATCHES "(^|;)strombel_")
    target_link_libraries(${name} PRIVATE strombel_test_global_resets)
  endif()
  # In the usual and the sanitizer builds (optimised, with debug information)
  # the test code itself is built unoptimised with line tables
  # (STROMBEL_TEST_FLAGS): what it tests keeps the build's own flags.
  target_compile_options(${name} PRIVATE "$<$<CONFIG:RelWithDebInfo>:${STROMBEL_TEST_FLAGS}>")
  target_include_directories(${name} PRIVATE "${PROJECT_SOURCE_DIR}/src" "${PROJECT_SOURCE_DIR}/tests")
  # No test reaches the user's own data folder (the trash among it).
  set(environment "QT_QPA_PLATFORM=offscreen" "XDG_DATA_HOME=${CMAKE_BINARY_DIR}/test-data-home")
  if(STROMBEL_SANITIZE)
    # Third-party libraries' own reports are suppressed; ours stop the test.
    set(suppressions "${PROJECT_SOURCE_DIR}/tests/support/sanitizers")
    list(APPEND environment
      "LSAN_OPTIONS=suppressions=${suppressions}/lsan.supp:print_suppressions=0"
      "TSAN_OPTIONS=suppressions=${suppressions}/tsan.supp:halt_on_error=1:second_deadlock_stack=1"
      "UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1")
  endif()
  list(APPEND environment ${ARG_ENVIRONMENT})
  if(ARG_JACK)
    list(APPEND environment "JACK_DEFAULT_SERVER=${STROMBEL_JACK_SERVER}" "JACK_NO_START_SERVER=1")
    list(APPEND ARG_FIXTURES jack_server)
    list(APPEND ARG_RESOURCE_LOCK jack)
  endif()
  # The cases that show a web page (and the whole run, which holds them).
  set(web_page_environment ${environment})
  if(STROMBEL_SANITIZE MATCHES "address" AND ARG_WEB_PAGE_CASES)
    list(APPEND web_page_environment "ASAN_OPTIONS=${STROMBEL_WEB_PAGE_ASAN_OPTIONS}")
  endif()
  # The environment is a list, which gtest_discover_tests would split into
  # separate properties: it is set by a script run after the cases are listed.
  if(NOT ARG_TIMEOUT)
    set(ARG_TIMEOUT 120)
  endif()
  set(properties TIMEOUT ${ARG_TIMEOUT})
  # Each case carries its program's name as a label too (ctest -L NAME).
  set(labels ${ARG_LABELS} ${name})
  list(APPEND properties LABELS "${labels}")
  if(ARG_RESOURCE_LOCK)
    list(APPEND properties RESOURCE_LOCK "${ARG_RESOURCE_LOCK}")
  endif()
  if(ARG_FIXTURES)
    list(APPEND properties FIXTURES_REQUIRED "${ARG_FIXTURES}")
  endif()
  # Parameterised cases are named by their own short suffixes, not by their
  # whole parameter printed after the name.
  gtest_discover_tests(${name} DISCOVERY_MODE PRE_TEST NO_PRETTY_VALUES PROPERTIES ${properties})
  # The program once more as a whole, its cases in one process in a shuffled
  # order: a case that leans on what an earlier one left (a global not reset)
  # fails here, where each case's own process would hide it. Labelled "whole".
  if(NOT ARG_NO_WHOLE_RUN)
    add_test(NAME ${name}.whole COMMAND ${name} --gtest_shuffle)
    set(whole_labels ${ARG_LABELS} whole)
    set_tests_properties(${name}.whole PROPERTIES ${properties} LABELS "${whole_labels}"
      ENVIRONMENT "${web_page_environment}")
  endif()
  set(environment_script "${CMAKE_CURRENT_BINARY_DIR}/${name}_environment.cmake")
  if(NOT ARG_WEB_PAGE_CASES)
    set(ARG_WEB_PAGE_CASES "^$")
  endif()
  file(WRITE "${environment_script}"
    "foreach(test IN LISTS ${name}_TESTS)\n"
    "  if(test MATCHES [=[${ARG_WEB_PAGE_CASES}]=])\n"
    "    set_tests_properties(\"\${test}\" PROPERTIES ENVIRONMENT \"${web_page_environment}\")\n"
    "  else()\n"
    "    set_tests_properties(\"\${test}\" PROPERTIES ENVIRONMENT \"${environment}\")\n"
    "  endif()\n"
    "endforeach()\n")
  set_property(DIRECTORY APPEND PROPERTY TEST_INCLUDE_FILES "${environment_script}")
endfunction()

# strombel_lock_test_cases(NAME PATTERN LOCK...): the cases of test program NAME
# whose names match PATTERN hold the given ctest resource locks, so that ctest
# never runs them beside other tests holding one of them. The cases are listed
# only when ctest runs, so a script run after the listing sets the locks.
function(strombel_lock_test_cases name pattern)
  set(script "${CMAKE_CURRENT_BINARY_DIR}/${name}_locks.cmake")
  file(WRITE "${script}"
    "foreach(test IN LISTS ${name}_TESTS)\n"
    "  if(test MATCHES \"${pattern}\")\n"
    "    set_tests_properties(\"\${test}\" PROPERTIES RESOURCE_LOCK \"${ARGN}\")\n"
    "  endif()\n"
    "endforeach()\n")
  set_property(DIRECTORY APPEND PROPERTY TEST_INCLUDE_FILES "${script}")
  # The whole run holds them too, since it runs those cases.
  if(TEST ${name}.whole)
    set_property(TEST ${name}.whole APPEND PROPERTY RESOURCE_LOCK ${ARGN})
  endif()
endfunction()

# strombel_add_benchmark(NAME SOURCES ... DEPS ...)
function(strombel_add_benchmark name)
  cmake_parse_arguments(ARG "" "" "SOURCES;DEPS" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE ${ARG_DEPS} benchmark::benchmark Threads::Threads)
  target_include_directories(${name} PRIVATE "${PROJECT_SOURCE_DIR}/src")
endfunction()

# strombel_add_fuzzer(NAME SOURCES ... DEPS ...): a libFuzzer target, built with clang.
function(strombel_add_fuzzer name)
  cmake_parse_arguments(ARG "" "" "SOURCES;DEPS" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE ${ARG_DEPS})
  target_link_options(${name} PRIVATE -fsanitize=fuzzer)
  target_include_directories(${name} PRIVATE "${PROJECT_SOURCE_DIR}/src")
  set_property(GLOBAL APPEND PROPERTY STROMBEL_FUZZERS ${name})
endfunction()

# Adds every immediate subfolder of DIR, so each subsystem keeps its benchmarks
# and fuzz targets in a folder of its own. A subfolder without a CMakeLists.txt
# stops the configure step rather than dropping out of the build unseen.
function(strombel_add_subfolders dir)
  file(GLOB children LIST_DIRECTORIES true "${PROJECT_SOURCE_DIR}/${dir}/*")
  list(SORT children)
  foreach(child IN LISTS children)
    if(IS_DIRECTORY "${child}")
      if(NOT EXISTS "${child}/CMakeLists.txt")
        message(FATAL_ERROR "${child} has no CMakeLists.txt: every folder of ${dir}/ is built")
      endif()
      add_subdirectory("${child}")
    endif()
  endforeach()
endfunction()

# strombel_add_realtime_guard(TARGET): links the test build's real-time guard
# (tests/support/realtime_guard.cpp) into a test binary: a thread marked
# real-time that allocates, locks, waits, sleeps or writes aborts it.
function(strombel_add_realtime_guard target)
  target_sources(${target} PRIVATE "${PROJECT_SOURCE_DIR}/tests/support/realtime_guard.cpp")
  # It replaces the allocator and the blocking calls: added after the test
  # files' batches are made, it is compiled on its own.
  target_link_libraries(${target} PRIVATE ${CMAKE_DL_LIBS})
endfunction()
