# Shared build settings: warnings, sanitizers, and helpers that keep every
# directory's CMakeLists to a few lines.

add_compile_options(-Wall -Wextra)
# Everywhere, so GIO's and GTK's -pthread does not make a target's flags differ
# from the precompiled headers it reuses.
add_compile_options(-pthread)
if(ORVANE_WERROR)
  add_compile_options(-Werror)
  # GCC 12 at -O2 reports std::string built from literals as out of bounds,
  # depending on the lengths of paths baked into tests (GCC bug 105329): such
  # reports stay warnings. AddressSanitizer checks the real thing.
  if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
    add_compile_options(-Wno-error=array-bounds -Wno-error=stringop-overflow)
  endif()
endif()

# Line tables are enough for backtraces and sanitizer reports, and full debug
# information of Beast and GStreamer code is most of the build's time and size.
if(ORVANE_LINE_TABLES_ONLY)
  add_compile_options(-g1)
endif()

if(ORVANE_SANITIZE)
  add_compile_options(-fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined)
  add_link_options(-fsanitize=address,undefined)
endif()

# ThreadSanitizer, for the parts where threads meet: the executors and tasks,
# the peer manager, the WebSocket transport, the hub and server, the capture
# hand-off. Only their tests are built here (the tsan_tests target); GLib and
# GStreamer are not instrumented, so tests of the engine would report their
# internals rather than ours.
option(ORVANE_TSAN "Build the threaded parts' tests with ThreadSanitizer" OFF)
set(ORVANE_TSAN_TESTS runtime_tests peer_manager_tests websocket_tests server_tests mac_capture_tests cluster_redis_tests
    cluster_tests)
if(ORVANE_TSAN)
  if(ORVANE_SANITIZE)
    message(FATAL_ERROR "ORVANE_TSAN and ORVANE_SANITIZE exclude each other")
  endif()
  # Asio's fenced blocks use std::atomic_thread_fence, which TSan does not
  # model (GCC warns); its scheduler hands work over under mutexes TSan sees.
  add_compile_options(-fsanitize=thread -fno-omit-frame-pointer -Wno-tsan)
  add_link_options(-fsanitize=thread)
  cmake_language(DEFER DIRECTORY ${CMAKE_SOURCE_DIR} CALL add_custom_target tsan_tests DEPENDS ${ORVANE_TSAN_TESTS})
  # One name a line, for scripts/test to run them.
  list(JOIN ORVANE_TSAN_TESTS "\n" _orvane_tsan_tests)
  file(WRITE ${CMAKE_BINARY_DIR}/tsan_tests.txt "${_orvane_tsan_tests}\n")
endif()

# Threads' rules (ORVANE_ASSERT_ON) are checked in the sanitizer builds.
if(ORVANE_SANITIZE OR ORVANE_TSAN)
  add_compile_definitions(ORVANE_CHECK_THREADS)
endif()

if(ORVANE_FUZZ)
  # Instrument every library so the fuzzer sees coverage inside them.
  add_compile_options(-fsanitize=fuzzer-no-link,address,undefined -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined)
endif()

# orvane_library(name SOURCES ... DEPS ...): one static library per directory,
# includes rooted at the repository so headers read "OrvaneCore/x/Y.h".
function(orvane_library name)
  cmake_parse_arguments(ARG "" "" "SOURCES;DEPS" ${ARGN})
  add_library(${name} STATIC ${ARG_SOURCES})
  target_include_directories(${name} PUBLIC ${PROJECT_SOURCE_DIR})
  target_link_libraries(${name} PUBLIC ${ARG_DEPS})
endfunction()

# scripts/test runs the GoogleTest binaries in the sanitizer build, where they
# check more; its optimized build leaves them out and builds the programs, the
# whole-program tests and the binaries marked MAIN_BUILD: figures the
# sanitizers would distort, or programs only that build makes (the
# benchmarks'). Compiling every test twice was a third of CI's time.
option(ORVANE_UNIT_TESTS "Build every GoogleTest binary, not only those marked MAIN_BUILD" ON)

# orvane_test(name [MAIN_BUILD] SOURCES ... DEPS ...): one GoogleTest binary, each test a ctest entry.
# All of them reuse one precompiled GoogleTest/GoogleMock header.
function(orvane_test name)
  cmake_parse_arguments(ARG "MAIN_BUILD" "" "SOURCES;DEPS" ${ARGN})
  if(NOT TARGET orvane_gtest_pch)
    add_library(orvane_gtest_pch OBJECT EXCLUDE_FROM_ALL ${PROJECT_SOURCE_DIR}/cmake/empty.cpp)
    target_link_libraries(orvane_gtest_pch PRIVATE GTest::gmock GTest::gtest)
    target_precompile_headers(orvane_gtest_pch PRIVATE <gtest/gtest.h> <gmock/gmock.h>)
  endif()
  set(built ON)
  if(NOT ORVANE_UNIT_TESTS AND NOT ARG_MAIN_BUILD)
    set(built OFF)
  endif()
  if(built)
    add_executable(${name} ${ARG_SOURCES})
  else()
    # Still a target, so what a directory adds to it after this call holds.
    add_executable(${name} EXCLUDE_FROM_ALL ${ARG_SOURCES})
  endif()
  target_precompile_headers(${name} REUSE_FROM orvane_gtest_pch)
  set_target_properties(${name} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/tests)
  target_link_libraries(${name} PRIVATE ${ARG_DEPS} GTest::gmock GTest::gtest_main)
  if(built)
    gtest_discover_tests(${name} DISCOVERY_MODE PRE_TEST)
  endif()
endfunction()

# orvane_asan_only(file...): under the sanitizers these files get
# AddressSanitizer alone. They instantiate Beast's HTTP and WebSocket
# templates, which UBSan makes take minutes per file to compile, for checks
# of Beast's own code; without their precompiled headers, whose flags differ.
function(orvane_asan_only)
  if(ORVANE_SANITIZE)
    set_property(SOURCE ${ARGN} APPEND PROPERTY COMPILE_OPTIONS -fno-sanitize=undefined)
    set_property(SOURCE ${ARGN} PROPERTY SKIP_PRECOMPILE_HEADERS ON)
  endif()
endfunction()
