# Helpers shared by the folders' CMakeLists.

# brindle_add_test(NAME SOURCES a.cpp b.cpp LIBS lib1 lib2 [LABELS l] [TIMEOUT seconds])
# A GoogleTest executable in tests/, beside a copy of text_info.ini, each case a CTest test,
# linked with the shared test helpers (testsupport/TestSupport.h).
function(brindle_add_test name)
  cmake_parse_arguments(T "" "TIMEOUT" "SOURCES;LIBS;LABELS" ${ARGN})
  brindle_test_executable(${name} ${T_SOURCES})
  target_link_libraries(${name} PRIVATE ${T_LIBS} brindle_testsupport GTest::gtest
    GTest::gtest_main)
  set_target_properties(${name} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${BRINDLE_TEST_DIR})
  target_compile_definitions(${name} PRIVATE
    BRINDLE_SOURCE_DIR="${PROJECT_SOURCE_DIR}"
    BRINDLE_BIN_DIR="${BRINDLE_BIN_DIR}"
    BRINDLE_TEST_DIR="${BRINDLE_TEST_DIR}")
  add_dependencies(${name} brindle_resources)
  # One variable only: gtest_discover_tests splits a list-valued ENVIRONMENT. LC_ALL outranks
  # every other locale variable, so the tests read the English catalogue wherever they run.
  set(props ENVIRONMENT "LC_ALL=C.UTF-8")
  if(T_LABELS)
    list(APPEND props LABELS "${T_LABELS}")
  endif()
  if(T_TIMEOUT)
    list(APPEND props TIMEOUT ${T_TIMEOUT})
  endif()
  if(BRINDLE_TESTS)
    gtest_discover_tests(${name} DISCOVERY_MODE PRE_TEST PROPERTIES ${props})
  endif()
endfunction()

# A program the build runs (not installed, not a test): built in tools/.
function(brindle_tool_executable name)
  add_executable(${name} ${ARGN})
  set_target_properties(${name} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/tools)
endfunction()

# A test executable or test helper: built with everything else only when BRINDLE_TESTS is on.
function(brindle_test_executable name)
  if(BRINDLE_TESTS)
    add_executable(${name} ${ARGN})
  else()
    add_executable(${name} EXCLUDE_FROM_ALL ${ARGN})
  endif()
endfunction()

# Shared objects export only their C ABI and bind their own symbols to themselves.
function(brindle_shared_library_hardening target)
  set_target_properties(${target} PROPERTIES
    CXX_VISIBILITY_PRESET hidden
    C_VISIBILITY_PRESET hidden
    VISIBILITY_INLINES_HIDDEN ON)
  target_link_options(${target} PRIVATE -Wl,-Bsymbolic)
  if(NOT BRINDLE_SANITIZE)
    target_link_options(${target} PRIVATE -Wl,-z,defs)
  endif()
endfunction()
