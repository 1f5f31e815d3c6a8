# korv_add_driver(<name> SOURCES <file>... [WINDOWS_ENTRY <file>] [USBD])
#
# windows build: <name>.sys, a kernel-mode image for the native subsystem, compiled without
#   exceptions, RTTI or a hosted runtime and linked against ntoskrnl and hal only (plus usbd with
#   USBD). A ctest test `driver_pe.<name>` checks the image with scripts/check_driver_pe.sh.
# host build: static library <name> over the stand-in kernel, for tests and the simulator.

if(KORV_WINDOWS)
  # The DDK headers sit in ddk/ under the toolchain's own include directory.
  set(_korv_ddk_hints)
  foreach(dir IN LISTS CMAKE_CXX_IMPLICIT_INCLUDE_DIRECTORIES)
    list(APPEND _korv_ddk_hints "${dir}/ddk")
  endforeach()
  find_path(KORV_DDK_INCLUDE_DIR ntddk.h
    HINTS ${_korv_ddk_hints}
    PATHS /usr/share/mingw-w64/include/ddk
    NO_DEFAULT_PATH NO_CMAKE_FIND_ROOT_PATH)
  if(NOT KORV_DDK_INCLUDE_DIR)
    message(FATAL_ERROR "ntddk.h not found; install mingw-w64-x86-64-dev (bash scripts/setup.sh)")
  endif()

  if(NOT CMAKE_OBJDUMP)
    message(FATAL_ERROR "no objdump for the cross toolchain; install binutils-mingw-w64-x86-64")
  endif()

  # How kernel-mode code is compiled; drivers and anything checked against the DDK link this.
  add_library(korv_kernel_mode INTERFACE)
  target_include_directories(korv_kernel_mode SYSTEM INTERFACE ${KORV_DDK_INCLUDE_DIR})
  target_compile_options(korv_kernel_mode INTERFACE -fno-exceptions -fno-rtti -ffreestanding)
endif()

# Builds the .sys without registering its check; the checker's own tests use it for images that
# must fail.
function(korv_driver_module name)
  cmake_parse_arguments(PARSE_ARGV 1 arg "USBD" "" "SOURCES")
  add_library(${name} MODULE ${arg_SOURCES})
  set_target_properties(${name} PROPERTIES PREFIX "" SUFFIX ".sys")
  # --fatal-warnings: a DriverEntry that is not extern "C" is only a linker warning, and the image
  # would get no entry point. --exclude-all-symbols: a driver exports nothing it does not mark.
  target_link_options(${name} PRIVATE
    -nostdlib -nostartfiles
    -Wl,--subsystem,native -Wl,--entry,DriverEntry
    -Wl,--exclude-all-symbols -Wl,--fatal-warnings)
  target_link_libraries(${name} PRIVATE korv_kernel_mode ntoskrnl hal)
  if(arg_USBD)
    target_link_libraries(${name} PRIVATE usbd)
  endif()
endfunction()

# korv_check_driver_pe(<test> <target> <allowed import>...): ctest test running the checker.
function(korv_check_driver_pe test target)
  add_test(NAME ${test}
    COMMAND bash ${PROJECT_SOURCE_DIR}/scripts/check_driver_pe.sh $<TARGET_FILE:${target}> ${ARGN})
  set_tests_properties(${test} PROPERTIES ENVIRONMENT "OBJDUMP=${CMAKE_OBJDUMP}" LABELS pe)
endfunction()

function(korv_add_driver name)
  cmake_parse_arguments(PARSE_ARGV 1 arg "USBD" "WINDOWS_ENTRY" "SOURCES")
  if(arg_UNPARSED_ARGUMENTS OR NOT arg_SOURCES)
    message(FATAL_ERROR
      "usage: korv_add_driver(<name> SOURCES <file>... [WINDOWS_ENTRY <file>] [USBD])")
  endif()
  # The image's extern "C" DriverEntry exists only in the windows build: on the host both drivers
  # share one binary and are loaded through their namespaced entry points.
  if(KORV_WINDOWS AND arg_WINDOWS_ENTRY)
    list(APPEND arg_SOURCES ${arg_WINDOWS_ENTRY})
  endif()

  if(KORV_WINDOWS)
    set(allowed ntoskrnl.exe HAL.dll)
    if(arg_USBD)
      korv_driver_module(${name} USBD SOURCES ${arg_SOURCES})
      list(APPEND allowed USBD.SYS)
    else()
      korv_driver_module(${name} SOURCES ${arg_SOURCES})
    endif()
    korv_check_driver_pe(driver_pe.${name} ${name} ${allowed})
  else()
    add_library(${name} STATIC ${arg_SOURCES})
    target_link_libraries(${name} PUBLIC winsim_kernel)
    if(TARGET winsim_usb)
      target_link_libraries(${name} PUBLIC winsim_usb)
    endif()
    # Driver code may not reach the stand-in's test-facing headers.
    target_compile_definitions(${name} PRIVATE KORV_DRIVER=1)
  endif()
endfunction()
