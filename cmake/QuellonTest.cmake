# quellon_add_test(NAME name SOURCES ... LIBS ... LABELS unit|integration|gui|e2e [SERIAL] [TIMEOUT s])
# Every test runs with its own settings folder, so the operator's real
# registry stand-in, trash and home are never touched.
include(GoogleTest)
function(quellon_add_test)
  cmake_parse_arguments(T "SERIAL" "NAME;TIMEOUT" "SOURCES;LIBS;LABELS" ${ARGN})
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 300)
  endif()
  add_executable(${T_NAME} ${T_SOURCES})
  set_target_properties(${T_NAME} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${QUELLON_TEST_BIN_DIR})
  target_link_libraries(${T_NAME} PRIVATE ${T_LIBS} quellon_testsupport GTest::gtest GTest::gmock)
  target_compile_definitions(${T_NAME} PRIVATE
    QUELLON_BIN_DIR="${CMAKE_BINARY_DIR}"
    QUELLON_SOURCE_DIR="${CMAKE_SOURCE_DIR}")
  # The test environment travels as an `env` prefix of the test command:
  # gtest_discover_tests (CMake 3.25) splits an ENVIRONMENT list into separate
  # properties, which dropped every variable after the first.
  set_target_properties(${T_NAME} PROPERTIES CROSSCOMPILING_EMULATOR
    "env;QT_QPA_PLATFORM=offscreen;XDG_CONFIG_HOME=${CMAKE_BINARY_DIR}/test-home/${T_NAME}/config;XDG_DATA_HOME=${CMAKE_BINARY_DIR}/test-home/${T_NAME}/data;QUELLON_BIN_DIR=${CMAKE_BINARY_DIR}")
  set(props LABELS "${T_LABELS}" TIMEOUT ${T_TIMEOUT})
  if(T_SERIAL)
    list(APPEND props RUN_SERIAL TRUE)
  endif()
  gtest_discover_tests(${T_NAME} DISCOVERY_MODE PRE_TEST
    DISCOVERY_TIMEOUT 60
    PROPERTIES ${props})
endfunction()
