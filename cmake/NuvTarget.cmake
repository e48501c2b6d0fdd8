# Target code: freestanding 32-bit i386 C++ compiled by the system g++ and
# linked by GNU ld with our linker script into static ELF images.

set(NUV_LINKER_SCRIPT ${CMAKE_CURRENT_LIST_DIR}/nuvos.ld)
# Sanitized images (-fsanitize=address): shadow segments and constructors.
set(NUV_SAN_LINKER_SCRIPT ${CMAKE_CURRENT_LIST_DIR}/nuvos-san.ld)
execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=include
                OUTPUT_VARIABLE NUV_GCC_INCLUDE OUTPUT_STRIP_TRAILING_WHITESPACE)

set(NUV_TARGET_FLAGS
  -m32 -march=i686 -mno-mmx -mno-sse -mno-sse2 -mfpmath=387
  -ffreestanding -fno-pic -fno-pie -fno-exceptions
  $<$<COMPILE_LANGUAGE:CXX>:-fno-rtti -fno-threadsafe-statics>
  -fno-asynchronous-unwind-tables -fno-unwind-tables -fno-stack-protector
  -fno-tree-loop-distribute-patterns -fno-common
  -ffunction-sections -fdata-sections
  -nostdinc -isystem ${NUV_GCC_INCLUDE}
  -O2 -falign-jumps=1 -falign-labels=1 -g0 -Wall -Wextra -Werror)

# The library and the entry point carry frame information and line tables, so
# that every backtrace (fault reports, time-limit reports, cores, gdb) unwinds
# through them. -g1 puts them in non-allocated sections only (.debug_frame,
# .debug_line, ...): the loaded image is the same as with -g0.
set(NUV_FRAME_INFO_FLAGS -g1)

# Applies the target compiler flags and the library headers to a target.
function(nuv_target_code target)
  get_target_property(type ${target} TYPE)
  target_compile_options(${target} PRIVATE ${NUV_TARGET_FLAGS})
  target_include_directories(${target} PRIVATE ${PROJECT_SOURCE_DIR}/libc/include)
endfunction()

# nuv_add_image(NAME SOURCES src... [WHOLE_LIBRARY])
# Links a command image from its sources, the entry point and the library.
# WHOLE_LIBRARY keeps every library function (test images call them by name);
# otherwise unused sections are dropped.
function(nuv_add_image name)
  cmake_parse_arguments(ARG "WHOLE_LIBRARY" "" "SOURCES" ${ARGN})
  add_executable(${name} ${ARG_SOURCES} $<TARGET_OBJECTS:nuvcrt0>)
  nuv_target_code(${name})
  set_target_properties(${name} PROPERTIES
    RUNTIME_OUTPUT_DIRECTORY ${NUV_IMAGE_DIR}
    LINK_DEPENDS ${NUV_LINKER_SCRIPT})
  target_link_options(${name} PRIVATE
    -m32 -nostdlib -static -no-pie
    -Wl,-T,${NUV_LINKER_SCRIPT} -Wl,--build-id=none -Wl,-z,noexecstack
    -Wl,-z,max-page-size=4096 -Wl,-z,norelro -Wl,--fatal-warnings)
  if(ARG_WHOLE_LIBRARY)
    target_link_options(${name} PRIVATE -Wl,--no-gc-sections)
    target_link_libraries(${name} PRIVATE -Wl,--whole-archive nuvc -Wl,--no-whole-archive gcc)
  else()
    target_link_options(${name} PRIVATE -Wl,--gc-sections)
    target_link_libraries(${name} PRIVATE nuvc gcc)
  endif()
endfunction()
