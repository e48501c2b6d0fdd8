# The kit for command authors: the build tree mirrors the installed layout
# (bin/, include/, lib/), so the compiler drivers and the CMake package work
# from either.

# The version string every tool reports (`--version`): link nuv_version.
configure_file(${CMAKE_CURRENT_LIST_DIR}/nuv_version.h.in
               ${CMAKE_BINARY_DIR}/generated/nuv_version.h @ONLY)
add_library(nuv_version INTERFACE)
target_include_directories(nuv_version INTERFACE ${CMAKE_BINARY_DIR}/generated)

set(NUV_KIT_DIR ${CMAKE_BINARY_DIR})
set(NUV_VERSION ${PROJECT_VERSION})

# The target flags of the drivers and of nuvos.pc: for every compilation, for
# C++ only, and for linking (besides the linker script, crt0.o, the library
# and libgcc).
set(NUV_KIT_TARGET_FLAGS "-m32 -march=i686 -mno-mmx -mno-sse -mno-sse2 -mfpmath=387 \
-ffreestanding -fno-pic -fno-pie -fno-asynchronous-unwind-tables -fno-unwind-tables \
-fno-stack-protector -fno-common -ffunction-sections -fdata-sections")
set(NUV_KIT_CXX_FLAGS "-fno-exceptions -fno-rtti -fno-threadsafe-statics")
set(NUV_KIT_LINK_FLAGS "-nostdlib -static -no-pie -Wl,--gc-sections -Wl,--build-id=none \
-Wl,-z,noexecstack -Wl,-z,max-page-size=4096 -Wl,-z,norelro")

# Compiler drivers, one script under two names.
foreach(NUV_DRIVER nuvos-cc nuvos-c++)
  configure_file(${PROJECT_SOURCE_DIR}/kit/nuvos-cc.in ${NUV_KIT_DIR}/bin/${NUV_DRIVER} @ONLY
                 FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
                                  WORLD_READ WORLD_EXECUTE)
  install(PROGRAMS ${NUV_KIT_DIR}/bin/${NUV_DRIVER} DESTINATION bin)
endforeach()

# Headers, linker script and entry point where the drivers look for them
# (the library itself is built into lib/, see libc/).
file(CREATE_LINK ${PROJECT_SOURCE_DIR}/libc/include ${NUV_KIT_DIR}/include SYMBOLIC)
configure_file(${NUV_LINKER_SCRIPT} ${NUV_KIT_DIR}/lib/nuvos.ld COPYONLY)
add_custom_command(OUTPUT ${NUV_KIT_DIR}/lib/crt0.o
                   COMMAND ${CMAKE_COMMAND} -E copy $<TARGET_OBJECTS:nuvcrt0> ${NUV_KIT_DIR}/lib/crt0.o
                   DEPENDS nuvcrt0 $<TARGET_OBJECTS:nuvcrt0> COMMAND_EXPAND_LISTS)
# The sanitizer runtime's pieces (san/): its entry point and linker script.
configure_file(${NUV_SAN_LINKER_SCRIPT} ${NUV_KIT_DIR}/lib/nuvos-san.ld COPYONLY)
add_custom_command(OUTPUT ${NUV_KIT_DIR}/lib/crt0-san.o
                   COMMAND ${CMAKE_COMMAND} -E copy $<TARGET_OBJECTS:nuvsan_crt0>
                           ${NUV_KIT_DIR}/lib/crt0-san.o
                   DEPENDS nuvsan_crt0 $<TARGET_OBJECTS:nuvsan_crt0> COMMAND_EXPAND_LISTS)
add_custom_target(nuv_kit ALL DEPENDS ${NUV_KIT_DIR}/lib/crt0.o ${NUV_KIT_DIR}/lib/crt0-san.o
                                      nuvc nuvsan nuvgcov)

# pkg-config: the same flags for builds that do not use the drivers, with the
# host compiler's own freestanding headers as found now.
execute_process(COMMAND gcc -print-file-name=include OUTPUT_VARIABLE NUV_HOST_CC_INCLUDE
                OUTPUT_STRIP_TRAILING_WHITESPACE)
configure_file(${PROJECT_SOURCE_DIR}/kit/nuvos.pc.in ${NUV_KIT_DIR}/lib/pkgconfig/nuvos.pc @ONLY)
install(FILES ${NUV_KIT_DIR}/lib/pkgconfig/nuvos.pc DESTINATION lib/pkgconfig)

# The CMake package: find_package(NuvOS) and the toolchain file.
include(CMakePackageConfigHelpers)
set(NUV_PACKAGE_DIR ${NUV_KIT_DIR}/lib/cmake/NuvOS)
foreach(f NuvOSConfig.cmake NuvOSToolchain.cmake NuvOSRunTest.cmake NuvOSTestRoot.cmake)
  configure_file(${PROJECT_SOURCE_DIR}/kit/${f} ${NUV_PACKAGE_DIR}/${f} COPYONLY)
endforeach()
write_basic_package_version_file(${NUV_PACKAGE_DIR}/NuvOSConfigVersion.cmake
                                 VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion
                                 ARCH_INDEPENDENT)
install(FILES ${NUV_PACKAGE_DIR}/NuvOSConfig.cmake ${NUV_PACKAGE_DIR}/NuvOSToolchain.cmake
              ${NUV_PACKAGE_DIR}/NuvOSRunTest.cmake ${NUV_PACKAGE_DIR}/NuvOSTestRoot.cmake
              ${NUV_PACKAGE_DIR}/NuvOSConfigVersion.cmake
        DESTINATION lib/cmake/NuvOS)

# Documentation for command authors.
install(FILES ${PROJECT_SOURCE_DIR}/docs/kernel-calls.md ${PROJECT_SOURCE_DIR}/docs/library-guide.md
        DESTINATION share/doc/nuvos)

# Manual pages, written by nuvman from what they document: the tools' --help
# texts and the library guide. `man -M P/share/man nuvemu` reads them.
set(NUV_MAN_DIR ${NUV_KIT_DIR}/share/man)
set(NUV_MAN_PAGES)
# nuv_man_page(NAME SECTION SUMMARY SEE_ALSO help PROGRAM DEPENDS...)
# nuv_man_page(NAME SECTION SUMMARY SEE_ALSO guide FILE)
function(nuv_man_page name section summary see_also kind source)
  set(page ${NUV_MAN_DIR}/man${section}/${name}.${section})
  add_custom_command(OUTPUT ${page}
                     COMMAND ${CMAKE_COMMAND} -E make_directory ${NUV_MAN_DIR}/man${section}
                     COMMAND nuvman ${kind} ${page} ${name} ${section} ${summary} ${see_also}
                             ${source}
                     DEPENDS nuvman ${source} ${ARGN}
                     COMMENT "Writing the manual page ${name}(${section})" VERBATIM)
  install(FILES ${page} DESTINATION share/man/man${section})
  set(NUV_MAN_PAGES ${NUV_MAN_PAGES} ${page} PARENT_SCOPE)
endfunction()
nuv_man_page(nuvemu 1 "run NUV-OS command images" "nuvmeta(1), nuvos-cc(1), nuvos(7)"
             help $<TARGET_FILE:nuvemu> nuvemu)
nuv_man_page(nuvmeta 1 "show the records of NUV-OS command images" "nuvemu(1), nuvos-cc(1)"
             help $<TARGET_FILE:nuvmeta> nuvmeta)
nuv_man_page(nuvos-cc 1 "compile and link NUV-OS command images" "nuvemu(1), nuvmeta(1), nuvos(7)"
             help ${NUV_KIT_DIR}/bin/nuvos-cc)
nuv_man_page(nuvos 7 "the C dialect of the NUV-OS runtime library" "nuvos-cc(1), nuvemu(1)"
             guide ${PROJECT_SOURCE_DIR}/docs/library-guide.md)
# nuvos-c++ is the same driver.
file(WRITE ${NUV_MAN_DIR}/man1/nuvos-c++.1 ".so man1/nuvos-cc.1\n")
install(FILES ${NUV_MAN_DIR}/man1/nuvos-c++.1 DESTINATION share/man/man1)
add_custom_target(nuv_man ALL DEPENDS ${NUV_MAN_PAGES})
