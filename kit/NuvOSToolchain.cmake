# A toolchain file for projects built entirely for NUV-OS:
#   cmake -DCMAKE_TOOLCHAIN_FILE=P/lib/cmake/NuvOS/NuvOSToolchain.cmake ...
# Every executable is then a NUV-OS command image (add_executable works as
# usual; find_package(NuvOS) adds nuvos_add_command for the records), and
# add_test runs images under nuvemu as by hand: the root is the test's working
# directory unless NUVOS_TEST_ROOT (default empty) names another ("/" lets host
# paths name the same files in the guest).
set(CMAKE_SYSTEM_NAME Generic)
set(CMAKE_SYSTEM_PROCESSOR i686)

get_filename_component(_nuvos_prefix "${CMAKE_CURRENT_LIST_DIR}/../../.." ABSOLUTE)
set(CMAKE_C_COMPILER "${_nuvos_prefix}/bin/nuvos-cc")
set(CMAKE_CXX_COMPILER "${_nuvos_prefix}/bin/nuvos-c++")
set(NUVOS_TOOLCHAIN TRUE)
set(_nuvos_emu "${_nuvos_prefix}/bin/nuvemu")
include("${CMAKE_CURRENT_LIST_DIR}/NuvOSTestRoot.cmake")
set(CMAKE_CROSSCOMPILING_EMULATOR "${_nuvos_test_emulator}")

# -DNUVOS_COVERAGE=ON builds every target with --coverage (see NuvOSConfig.cmake).
if(NUVOS_COVERAGE)
  foreach(_nuvos_flags CMAKE_C_FLAGS_INIT CMAKE_CXX_FLAGS_INIT CMAKE_EXE_LINKER_FLAGS_INIT)
    string(APPEND ${_nuvos_flags} " --coverage")
  endforeach()
endif()

# Look for libraries and headers only in the kit, programs only on the host.
set(CMAKE_FIND_ROOT_PATH "${_nuvos_prefix}")
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE BOTH)
