# Host tools: C++20, warnings as errors, optional sanitizers.
set(CMAKE_CXX_STANDARD 20)
set(CMAKE_CXX_STANDARD_REQUIRED ON)
set(CMAKE_CXX_EXTENSIONS OFF)

find_package(PkgConfig REQUIRED)
pkg_check_modules(UNICORN REQUIRED IMPORTED_TARGET unicorn)
pkg_check_modules(CAPSTONE REQUIRED IMPORTED_TARGET capstone)
# elfutils: symbols, lines and frame information of images for fault reports.
pkg_check_modules(LIBDW REQUIRED IMPORTED_TARGET libdw libelf)

function(nuv_host_code target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Werror)
  # GCC 12 at -O3 (Release) reports the copies inside its own std::string
  # concatenation ("x" + s) as overlapping (-Wrestrict), a false positive of
  # that compiler; other compilers and build types keep the warning.
  if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU" AND CMAKE_CXX_COMPILER_VERSION VERSION_GREATER_EQUAL 12
     AND CMAKE_CXX_COMPILER_VERSION VERSION_LESS 13)
    target_compile_options(${target} PRIVATE $<$<CONFIG:Release>:-Wno-restrict>)
  endif()
  if(NUV_SANITIZE)
    target_compile_options(${target} PRIVATE -fsanitize=address,undefined -fno-omit-frame-pointer
                                             -fno-sanitize-recover=undefined)
    target_link_options(${target} PRIVATE -fsanitize=address,undefined)
  endif()
endfunction()

# The kernel interface header, shared with the target library, reaches host
# code from a folder of its own (the library's other headers must not).
set(NUV_HOST_INCLUDE ${CMAKE_BINARY_DIR}/host-include)
configure_file(${PROJECT_SOURCE_DIR}/libc/include/nuvos/kernel.h
               ${NUV_HOST_INCLUDE}/nuvos/kernel.h COPYONLY)
