# Helpers shared by every folder's CMakeLists.txt.

# Warnings for our own code (third-party headers stay quiet because they are SYSTEM includes).
function(vornik_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Wpedantic)
endfunction()

# vornik_library(NAME SOURCES ... DEPS ...): the static library of one source folder.
function(vornik_library name)
  cmake_parse_arguments(ARG "" "" "SOURCES;DEPS" ${ARGN})
  add_library(${name} STATIC ${ARG_SOURCES})
  target_include_directories(${name} PUBLIC ${PROJECT_SOURCE_DIR}/src)
  target_link_libraries(${name} PUBLIC ${ARG_DEPS})
  vornik_warnings(${name})
endfunction()

# vornik_test(NAME SOURCES ... DEPS ... LABEL unit|sim|io): one GoogleTest program, each case a CTest test.
function(vornik_test name)
  cmake_parse_arguments(ARG "" "LABEL;TIMEOUT" "SOURCES;DEPS" ${ARGN})
  if(NOT ARG_LABEL)
    set(ARG_LABEL unit)
  endif()
  if(NOT ARG_TIMEOUT)
    set(ARG_TIMEOUT 120)
  endif()
  add_executable(${name} ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE ${ARG_DEPS} GTest::gmock GTest::gtest_main)
  target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR}/tests)
  set_target_properties(${name} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/tests)
  vornik_warnings(${name})
  # gtest_discover_tests keeps only one ENVIRONMENT entry, so the folders also come in as defines.
  target_compile_definitions(${name} PRIVATE
    VORNIK_DEFAULT_BIN_DIR="${CMAKE_BINARY_DIR}/bin" VORNIK_DEFAULT_SOURCE_DIR="${PROJECT_SOURCE_DIR}")
  gtest_discover_tests(${name}
    DISCOVERY_MODE PRE_TEST
    WORKING_DIRECTORY ${CMAKE_BINARY_DIR}
    PROPERTIES LABELS ${ARG_LABEL} TIMEOUT ${ARG_TIMEOUT}
               ENVIRONMENT "VORNIK_BIN_DIR=${CMAKE_BINARY_DIR}/bin")
endfunction()

# A program that prints the project version includes "VornikVersion.h" (generated at configure time).
function(vornik_uses_version target)
  target_include_directories(${target} PRIVATE ${CMAKE_BINARY_DIR}/generated)
endfunction()
