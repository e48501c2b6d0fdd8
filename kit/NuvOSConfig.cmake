# find_package(NuvOS): builds and tests NUV-OS command images from an ordinary
# CMake project, with the kit's compiler drivers and nuvemu.
#
#   find_package(NuvOS REQUIRED)
#   enable_testing()
#   nuvos_add_command(calc SOURCES calc.c DESCRIPTION "Add numbers." PACKAGE tools)
#   target_compile_definitions(calc PRIVATE CALC_MAX=100)
#   add_test(NAME calc-usage COMMAND calc)
#   nuvos_add_test(NAME calc-sum COMMAND calc INPUT numbers.txt EXPECT_OUTPUT "6\n")
#
# nuvos_add_command(NAME SOURCES src...
#                   DESCRIPTION text         the command record's description
#                   [PACKAGE name]           the package record's name (default: NAME)
#                   [VERSION text]           the package record's second text (default: 1)
#                   [COMPILE_OPTIONS opt...] (default: -O2)
#                   [INCLUDE_DIRECTORIES dir...] [COMPILE_DEFINITIONS def...]
#                   [LINK_OPTIONS opt...]    (archives and -l options too)
#                   [OUTPUT_DIRECTORY dir])  (default: images/ in the current binary directory)
#
# makes the executable target NAME, whose file is the image OUTPUT_DIRECTORY/NAME
# carrying the command and package records (the sources must not define their
# own). The target_* commands work on it as on any executable, and add_test
# runs it under nuvemu. The image's path is also the target property NUVOS_IMAGE.
#
# A sanitized command: -fsanitize=address (or =undefined) in both COMPILE_OPTIONS
# and LINK_OPTIONS, as with the drivers (see nuvos-cc --help).
#
# nuvos_use_kit(TARGET) makes another target of a host project (an executable,
# or a static library of helpers to link into commands) compile and link with
# the drivers too. nuvos_add_command does this for its own target.
#
# nuvos_add_test(NAME name COMMAND command [arg...]
#                [ROOT dir]                the guest's root (default: NUVOS_TEST_ROOT, or
#                                          where the test runs when that is empty)
#                [INPUT file]              standard input (default: empty)
#                [EXPECT_OUTPUT text | EXPECT_OUTPUT FILE file]
#                [EXPECT_STATUS n])        (default: 0)
#
# runs command (a target of nuvos_add_command, or the path of an image) under
# nuvemu and passes when its standard output is exactly the text or the file's
# content (not compared without EXPECT_OUTPUT) and its status is n. Relative
# INPUT and FILE paths are taken from the current source directory. The test
# runs in the current binary directory, or with ROOT in dir, where the guest
# then starts at "/".
#
# Tests: every command target runs under nuvemu as by hand: its root is the
# directory the test runs in (its WORKING_DIRECTORY), which the guest sees as
# "/", unless the cache variable NUVOS_TEST_ROOT (default empty) names another
# ("/" lets host paths name the same files in the guest). The guest starts in
# the test's working directory when that lies in the root. With the toolchain file, CMAKE_CROSSCOMPILING_EMULATOR is set to
# that; in a host project only the command targets get it (the variable would
# also wrap the project's host programs).
#
# Coverage: with NUVOS_COVERAGE on (a cache variable, default off), every
# command target (and every target of nuvos_use_kit) is compiled and linked
# with --coverage: each run under nuvemu, its tests' too, adds its counts to
# the .gcda files beside the objects, which gcov, gcovr and lcov read.
#
# Variables: NuvOS_VERSION, NUVOS_PREFIX, NUVOS_CC, NUVOS_CXX, NUVOS_EMU
# (nuvemu), NUVOS_META (nuvmeta), NUVOS_EMULATOR (nuvemu with the tests' root,
# as a list), NUVOS_INCLUDE_DIR, NUVOS_TOOLCHAIN_FILE, NUVOS_TEST_ROOT.
# With NuvOSToolchain.cmake as CMAKE_TOOLCHAIN_FILE the whole project is built
# for NUV-OS, and add_executable makes images as well.

get_filename_component(NUVOS_PREFIX "${CMAKE_CURRENT_LIST_DIR}/../../.." ABSOLUTE)
set(NUVOS_CC "${NUVOS_PREFIX}/bin/nuvos-cc")
set(NUVOS_CXX "${NUVOS_PREFIX}/bin/nuvos-c++")
set(NUVOS_EMU "${NUVOS_PREFIX}/bin/nuvemu")
set(NUVOS_META "${NUVOS_PREFIX}/bin/nuvmeta")
set(NUVOS_INCLUDE_DIR "${NUVOS_PREFIX}/include")
set(NUVOS_TOOLCHAIN_FILE "${CMAKE_CURRENT_LIST_DIR}/NuvOSToolchain.cmake")
set(_NUVOS_RUN_TEST "${CMAKE_CURRENT_LIST_DIR}/NuvOSRunTest.cmake")

foreach(_nuvos_file "${NUVOS_CC}" "${NUVOS_CXX}" "${NUVOS_EMU}" "${NUVOS_INCLUDE_DIR}/nuvos/meta.h"
                    "${NUVOS_PREFIX}/lib/libc.a" "${_NUVOS_RUN_TEST}"
                    "${CMAKE_CURRENT_LIST_DIR}/NuvOSTestRoot.cmake")
  if(NOT EXISTS "${_nuvos_file}")
    set(NuvOS_FOUND FALSE)
    set(NuvOS_NOT_FOUND_MESSAGE "the NUV-OS kit at ${NUVOS_PREFIX} lacks ${_nuvos_file}")
    return()
  endif()
endforeach()
if(NOT NUVOS_TOOLCHAIN AND CMAKE_VERSION VERSION_LESS 3.21)
  set(NuvOS_FOUND FALSE)
  set(NuvOS_NOT_FOUND_MESSAGE "a host project needs CMake 3.21 or later for NUV-OS commands")
  return()
endif()

set(_nuvos_emu "${NUVOS_EMU}")
include("${CMAKE_CURRENT_LIST_DIR}/NuvOSTestRoot.cmake")
set(NUVOS_EMULATOR "${_nuvos_test_emulator}")
if(NUVOS_TOOLCHAIN AND NOT CMAKE_CROSSCOMPILING_EMULATOR)
  set(CMAKE_CROSSCOMPILING_EMULATOR "${NUVOS_EMULATOR}")
endif()

# A record text as a C string literal: printable ASCII only, quotes and
# backslashes escaped.
function(_nuvos_c_string out what text)
  if(NOT text MATCHES "^[ -~]*$")
    message(FATAL_ERROR "nuvos_add_command: the ${what} must be printable ASCII: ${text}")
  endif()
  string(REPLACE "\\" "\\\\" text "${text}")
  string(REPLACE "\"" "\\\"" text "${text}")
  set(${out} "\"${text}\"" PARENT_SCOPE)
endfunction()

option(NUVOS_COVERAGE "Build NUV-OS commands with --coverage (counts for gcov under nuvemu)" OFF)

function(nuvos_use_kit target)
  set(kit_files "${NUVOS_PREFIX}/lib/libc.a" "${NUVOS_PREFIX}/lib/crt0.o"
                "${NUVOS_PREFIX}/lib/nuvos.ld")
  set_property(TARGET ${target} APPEND PROPERTY LINK_DEPENDS ${kit_files})
  if(NUVOS_TOOLCHAIN)
    return()  # the project's compilers are the drivers, and the toolchain file set their flags
  endif()
  if(NUVOS_COVERAGE)
    target_compile_options(${target} PRIVATE --coverage)
    target_link_options(${target} PRIVATE --coverage)
  endif()
  # The host compiler's command lines, run by the drivers instead.
  set_target_properties(${target} PROPERTIES
    C_COMPILER_LAUNCHER "${NUVOS_CC};--instead-of"
    CXX_COMPILER_LAUNCHER "${NUVOS_CXX};--instead-of"
    C_LINKER_LAUNCHER "${NUVOS_CC};--instead-of"
    CXX_LINKER_LAUNCHER "${NUVOS_CXX};--instead-of")
  get_target_property(type ${target} TYPE)
  if(type STREQUAL "EXECUTABLE")
    # From CMake 3.29 on (policy CMP0158) the emulator runs tests only when
    # cross-compiling; the test launcher takes its place.
    set(launcher_property CROSSCOMPILING_EMULATOR)
    if(POLICY CMP0158)
      cmake_policy(GET CMP0158 emulator_policy)
      if(emulator_policy STREQUAL "NEW")
        set(launcher_property TEST_LAUNCHER)
      endif()
    endif()
    set_target_properties(${target} PROPERTIES ${launcher_property} "${NUVOS_EMULATOR}")
  endif()
endfunction()

function(nuvos_add_command name)
  cmake_parse_arguments(PARSE_ARGV 1 A "" "DESCRIPTION;PACKAGE;VERSION;OUTPUT_DIRECTORY"
                        "SOURCES;COMPILE_OPTIONS;INCLUDE_DIRECTORIES;COMPILE_DEFINITIONS;LINK_OPTIONS")
  if(A_UNPARSED_ARGUMENTS)
    message(FATAL_ERROR "nuvos_add_command(${name}): unknown arguments ${A_UNPARSED_ARGUMENTS}")
  endif()
  if(NOT A_SOURCES)
    message(FATAL_ERROR "nuvos_add_command(${name}): SOURCES is required")
  endif()
  if(NOT DEFINED A_DESCRIPTION)
    message(FATAL_ERROR "nuvos_add_command(${name}): DESCRIPTION is required")
  endif()
  if(NOT DEFINED A_PACKAGE)
    set(A_PACKAGE "${name}")
  endif()
  if(NOT DEFINED A_VERSION)
    set(A_VERSION 1)
  endif()
  if(NOT DEFINED A_COMPILE_OPTIONS)
    set(A_COMPILE_OPTIONS -O2)
  endif()
  if(NOT DEFINED A_OUTPUT_DIRECTORY)
    # Not the binary directory itself: there the image would have the same
    # path as the target's name, which Ninja cannot tell apart.
    set(A_OUTPUT_DIRECTORY "${CMAKE_CURRENT_BINARY_DIR}/images")
  endif()
  if(name STREQUAL "" OR A_PACKAGE STREQUAL "")
    message(FATAL_ERROR "nuvos_add_command(${name}): the command and package need names")
  endif()

  # The records, generated beside the command's objects under a name of their
  # own (a records file named like the command's source would be announced as
  # the same file compiled twice).
  _nuvos_c_string(cmd_name "command name" "${name}")
  _nuvos_c_string(description "description" "${A_DESCRIPTION}")
  _nuvos_c_string(package "package name" "${A_PACKAGE}")
  _nuvos_c_string(version "version" "${A_VERSION}")
  get_property(languages GLOBAL PROPERTY ENABLED_LANGUAGES)
  set(records_ext c)
  if(NOT "C" IN_LIST languages)
    set(records_ext cpp)
  endif()
  set(records "${CMAKE_CURRENT_BINARY_DIR}/nuvos_records/${name}_records.${records_ext}")
  file(CONFIGURE OUTPUT "${records}" @ONLY CONTENT
"/* The command and package records of ${name}. Generated by nuvos_add_command. */
#include <nuvos/meta.h>

NUV_COMMAND_RECORD(0, ${cmd_name}, ${description});
NUV_PACKAGE_RECORD(0, ${package}, ${version});
")

  get_filename_component(A_OUTPUT_DIRECTORY "${A_OUTPUT_DIRECTORY}" ABSOLUTE
                         BASE_DIR "${CMAKE_CURRENT_BINARY_DIR}")
  add_executable(${name} ${A_SOURCES} "${records}")
  target_compile_options(${name} PRIVATE ${A_COMPILE_OPTIONS})
  target_include_directories(${name} PRIVATE ${A_INCLUDE_DIRECTORIES})
  target_compile_definitions(${name} PRIVATE ${A_COMPILE_DEFINITIONS})
  target_link_libraries(${name} PRIVATE ${A_LINK_OPTIONS})
  set_target_properties(${name} PROPERTIES RUNTIME_OUTPUT_DIRECTORY "${A_OUTPUT_DIRECTORY}"
                                           NUVOS_IMAGE "${A_OUTPUT_DIRECTORY}/${name}")
  nuvos_use_kit(${name})
endfunction()

# A list as CMake code: each item a bracket argument, opened by a line break
# (which the bracket drops) so that a line break it begins with is kept.
function(_nuvos_quote out)
  set(code "")
  foreach(item IN LISTS ARGN)
    if(item MATCHES "]==]")
      message(FATAL_ERROR "nuvos_add_test: an argument holds ]==]: ${item}")
    endif()
    string(APPEND code " [==[\n${item}]==]")
  endforeach()
  set(${out} "${code}" PARENT_SCOPE)
endfunction()

function(nuvos_add_test)
  cmake_parse_arguments(PARSE_ARGV 0 A "" "NAME;ROOT;INPUT;EXPECT_STATUS"
                        "COMMAND;EXPECT_OUTPUT")
  if(A_UNPARSED_ARGUMENTS)
    message(FATAL_ERROR "nuvos_add_test(${A_NAME}): unknown arguments ${A_UNPARSED_ARGUMENTS}")
  endif()
  if(NOT A_NAME OR NOT A_COMMAND)
    message(FATAL_ERROR "nuvos_add_test: NAME and COMMAND are required")
  endif()
  if(NOT DEFINED A_EXPECT_STATUS)
    set(A_EXPECT_STATUS 0)
  elseif(NOT A_EXPECT_STATUS MATCHES "^[0-9]+$")
    message(FATAL_ERROR "nuvos_add_test(${A_NAME}): EXPECT_STATUS must be a number")
  endif()

  list(POP_FRONT A_COMMAND command)
  if(TARGET ${command})
    set(command "$<TARGET_FILE:${command}>")
  else()
    get_filename_component(command "${command}" ABSOLUTE BASE_DIR "${CMAKE_CURRENT_BINARY_DIR}")
  endif()
  set(dir "${CMAKE_CURRENT_BINARY_DIR}")
  set(root "${NUVOS_TEST_ROOT}")
  if(root STREQUAL "")
    set(root "${dir}")
  endif()
  if(DEFINED A_ROOT)
    get_filename_component(root "${A_ROOT}" ABSOLUTE BASE_DIR "${CMAKE_CURRENT_BINARY_DIR}")
    set(dir "${root}")
  endif()
  set(input /dev/null)
  if(DEFINED A_INPUT)
    get_filename_component(input "${A_INPUT}" ABSOLUTE BASE_DIR "${CMAKE_CURRENT_SOURCE_DIR}")
  endif()

  set(compare "")
  list(LENGTH A_EXPECT_OUTPUT expect_items)
  if(expect_items EQUAL 2 AND A_EXPECT_OUTPUT MATCHES "^FILE;")
    list(GET A_EXPECT_OUTPUT 1 file)
    get_filename_component(file "${file}" ABSOLUTE BASE_DIR "${CMAKE_CURRENT_SOURCE_DIR}")
    _nuvos_quote(file_code "${file}")
    set(compare "file(READ${file_code} expected)\n")
  elseif(expect_items EQUAL 1)
    _nuvos_quote(text_code "${A_EXPECT_OUTPUT}")
    set(compare "set(expected${text_code})\n")
  elseif(expect_items GREATER 0)
    message(FATAL_ERROR "nuvos_add_test(${A_NAME}): EXPECT_OUTPUT takes one text or FILE and a file")
  endif()

  _nuvos_quote(run "${NUVOS_EMU}" --root "${root}" "${command}" ${A_COMMAND})
  _nuvos_quote(settings "${A_NAME}" "${dir}" "${input}" "${A_EXPECT_STATUS}")
  set(script "${CMAKE_CURRENT_BINARY_DIR}/nuvos_tests/${A_NAME}-$<CONFIG>.cmake")
  file(GENERATE OUTPUT "${script}" CONTENT
"# The test ${A_NAME}. Generated by nuvos_add_test.
set(run${run})
list(APPEND settings${settings})
${compare}include([==[${_NUVOS_RUN_TEST}]==])
")
  add_test(NAME ${A_NAME} COMMAND "${CMAKE_COMMAND}" -P "${script}")
endfunction()
