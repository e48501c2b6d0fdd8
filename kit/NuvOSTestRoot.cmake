# The root of command tests under nuvemu, for NuvOSConfig.cmake and
# NuvOSToolchain.cmake: NUVOS_TEST_ROOT (a cache variable, default empty: each
# test's own working directory, as when nuvemu is run by hand there) and
# _nuvos_test_emulator, the command line that runs an image for a test.
#   include(NuvOSTestRoot.cmake) with _nuvos_emu set to nuvemu's path.
set(_nuvos_root_help
    "The host directory that command tests see as / under nuvemu (empty: the test's own directory)")
# A build tree first configured when the default was "/" keeps that value in
# its cache, under the old help text: said once, with the way to the new one.
get_property(_nuvos_old_help CACHE NUVOS_TEST_ROOT PROPERTY HELPSTRING)
if(NUVOS_TEST_ROOT STREQUAL "/" AND
   _nuvos_old_help STREQUAL "The host directory that command tests see as / under nuvemu")
  message(WARNING "NUVOS_TEST_ROOT is \"/\", the kit's former default kept in this build "
                  "tree's cache: command tests see the host's whole tree as their root. "
                  "-DNUVOS_TEST_ROOT= gives each test its own directory as root, as nuvemu "
                  "does by hand; leave it to keep the host's tree (this is said once).")
  set_property(CACHE NUVOS_TEST_ROOT PROPERTY HELPSTRING "${_nuvos_root_help}")
endif()
set(NUVOS_TEST_ROOT "" CACHE PATH "${_nuvos_root_help}")
set(_nuvos_test_emulator "${_nuvos_emu}")
if(NOT NUVOS_TEST_ROOT STREQUAL "")
  list(APPEND _nuvos_test_emulator --root "${NUVOS_TEST_ROOT}")
endif()
