# Tests of the Windows cross-build, run by ctest through wine. googletest is built from the
# Debian source package; only tests that need no pseudo-terminal, fork or /proc are listed.
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
set(BUILD_GMOCK ON CACHE BOOL "" FORCE)
set(ZORBENT_GTEST_SOURCE /usr/src/googletest CACHE PATH "googletest sources for the cross-build")
add_subdirectory(${ZORBENT_GTEST_SOURCE} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
foreach(lib gtest gtest_main gmock)
  if(NOT TARGET GTest::${lib})
    add_library(GTest::${lib} ALIAS ${lib})
  endif()
endforeach()

function(zorbent_add_test name)
  cmake_parse_arguments(ARG "" "" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE zorbent_thread_starts ${ARG_LIBS} GTest::gtest GTest::gmock
                                        GTest::gtest_main)
  target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR})
  set_target_properties(${name} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/tests)
  # One ctest entry per binary: every entry costs a start of wine, so cases are not split.
  # Each binary needs seconds; the test preset runs one again when wine fails to end it.
  add_test(NAME ${name} COMMAND ${name} --gtest_brief=1)
  set_tests_properties(${name} PROPERTIES TIMEOUT 60)
endfunction()

set(zorbent_tests ${PROJECT_SOURCE_DIR}/tests)
# Thread starts a test can make fail, in every test binary in place of the program's.
add_library(zorbent_thread_starts OBJECT ${zorbent_tests}/support/thread_starts.cpp)
target_include_directories(zorbent_thread_starts PRIVATE ${PROJECT_SOURCE_DIR})
zorbent_add_test(platform_clock_test SOURCES ${zorbent_tests}/platform/clock_test.cpp
                 LIBS zorbent_platform)
zorbent_add_test(platform_digest_test SOURCES ${zorbent_tests}/platform/digest_test.cpp
                 LIBS zorbent_platform)
zorbent_add_test(platform_signature_test SOURCES ${zorbent_tests}/platform/signature_test.cpp
                 LIBS zorbent_platform)
# The download tests: the loopback server runs on this machine and starts the test under wine,
# since a program under wine cannot start one of this machine.
find_package(Python3 COMPONENTS Interpreter)
add_executable(platform_http_test ${zorbent_tests}/platform/http_test.cpp)
target_link_libraries(platform_http_test PRIVATE zorbent_tuf GTest::gtest GTest::gtest_main)
target_include_directories(platform_http_test PRIVATE ${PROJECT_SOURCE_DIR})
set_target_properties(platform_http_test PROPERTIES RUNTIME_OUTPUT_DIRECTORY
                                                    ${CMAKE_BINARY_DIR}/tests)
if(Python3_Interpreter_FOUND AND ZORBENT_WINE)
  add_test(NAME platform_http_test
           COMMAND ${Python3_EXECUTABLE} ${zorbent_tests}/support/http_server.py --then
                   ${ZORBENT_WINE} $<TARGET_FILE:platform_http_test> --gtest_brief=1)
  set_tests_properties(platform_http_test PROPERTIES TIMEOUT 120)
endif()
zorbent_add_test(port_port_config_test SOURCES ${zorbent_tests}/port/port_config_test.cpp
                 LIBS zorbent_port)
zorbent_add_test(firmware_history_test SOURCES ${zorbent_tests}/firmware/history_test.cpp
                 LIBS zorbent_firmware)
zorbent_add_test(engine_image_format_test SOURCES ${zorbent_tests}/engine/image_format_test.cpp
                 LIBS zorbent_engine zorbent_image_builder)

# Windows-only cases: COM port names and the registry list, the serial device's refusals,
# sockets, TcpPort and the command exchange over loopback TCP, an in-memory adapter.
file(GLOB zorbent_win_tests CONFIGURE_DEPENDS ${zorbent_tests}/win/*_test.cpp)
foreach(source ${zorbent_win_tests})
  get_filename_component(stem ${source} NAME_WE)
  zorbent_add_test(win_${stem} SOURCES ${source} LIBS zorbent_engine)
endforeach()

# The native window's tests and the simulator's Windows tests keep their own lists.
include(${PROJECT_SOURCE_DIR}/cmake/windows-ui-tests.cmake OPTIONAL)
include(${PROJECT_SOURCE_DIR}/cmake/windows-sim-tests.cmake OPTIONAL)
