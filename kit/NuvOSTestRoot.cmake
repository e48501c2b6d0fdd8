# The root of command tests under nuvemu, for NuvOSConfig.cmake and
# NuvOSToolchain.cmake: NUVOS_TEST_ROOT (a cache variable, default empty: each
# test's own working directory, as when nuvemu is run by hand there) and
# _nuvos_test_emulator, the command line that runs an image for a test.
#   include(NuvOSTestRoot.cmake) with _nuvos_emu set to nuvemu's path.
set(NUVOS_TEST_ROOT "" CACHE PATH
    "The host directory that command tests see as / under nuvemu (empty: the test's own directory)")
set(_nuvos_test_emulator "${_nuvos_emu}")
if(NOT NUVOS_TEST_ROOT STREQUAL "")
  list(APPEND _nuvos_test_emulator --root "${NUVOS_TEST_ROOT}")
endif()
