# The Windows build's own tests: the unit tests that need no loopback kit,
# cross-built with GoogleTest from Debian's googletest sources and run under
# wine by CTest (the toolchain's emulator). The relay's sockets, keys and
# output on Windows are proven by the end-to-end suite, which the Linux build
# runs against veltor.exe (VELTOR_WINDOWS_RELAY).
set(VELTOR_GTEST_SOURCE_DIR /usr/src/googletest CACHE PATH "GoogleTest sources to cross-build")
set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
add_subdirectory(${VELTOR_GTEST_SOURCE_DIR} ${PROJECT_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)

include(GoogleTest)
set(VELTOR_TEST_TZ "VLT-5:30")

add_library(veltor_windows_test_support STATIC support/TempDir.cpp)
target_include_directories(veltor_windows_test_support PUBLIC ${PROJECT_SOURCE_DIR})
target_link_libraries(veltor_windows_test_support PRIVATE veltor_warnings)

add_executable(windows_unit_tests
  unit/AdmissionJudgeTest.cpp
  unit/CommandLineTest.cpp
  unit/ConfigLoaderTest.cpp
  unit/ControlAnswersTest.cpp
  unit/EventTextTest.cpp
  unit/GreetingFrameTest.cpp
  unit/RelayLoopTest.cpp
  unit/ReplayBufferTest.cpp)
target_link_libraries(windows_unit_tests PRIVATE veltor_relay veltor_windows_test_support gtest_main veltor_warnings)
gtest_discover_tests(windows_unit_tests DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 60
  PROPERTIES TIMEOUT 60 LABELS "unit;windows" ENVIRONMENT "TZ=${VELTOR_TEST_TZ}")
