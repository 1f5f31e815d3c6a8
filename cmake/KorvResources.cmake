# korv_add_resources(<target> [RC <file.rc>] [MC <file.mc>])
#
# Gives a program its resources from one source each: a resource script (string tables, dialogs)
# and a message file (message table). The header of message symbols, <mc name>.h, is put in a
# directory added to the target's include path in both builds.
#
# windows build: windmc (-U -C 65001) and windres compile them into COFF objects linked into the
#   program. host build: tools/resgen turns them into C++ tables that the Win32 stand-in serves.
# For a static or object library the resources go to the programs that link it, as resources of
# a static library would otherwise never reach an image. Call this in the directory that defines
# the target.

function(korv_add_resources target)
  cmake_parse_arguments(PARSE_ARGV 1 arg "" "RC;MC" "")
  if(arg_UNPARSED_ARGUMENTS OR (NOT arg_RC AND NOT arg_MC))
    message(FATAL_ERROR "korv_add_resources(<target> [RC <file.rc>] [MC <file.mc>])")
  endif()
  set(dir ${CMAKE_CURRENT_BINARY_DIR}/${target}_resources)
  file(MAKE_DIRECTORY ${dir})
  foreach(kind RC MC)
    if(arg_${kind})
      get_filename_component(${kind}_file ${arg_${kind}} ABSOLUTE)
      get_filename_component(${kind}_dir ${${kind}_file} DIRECTORY)
      get_filename_component(${kind}_name ${${kind}_file} NAME_WE)
    endif()
  endforeach()
  if(arg_MC)
    set(header ${dir}/${MC_name}.h)
  endif()

  if(KORV_WINDOWS)
    _korv_windows_resources()
  else()
    _korv_host_resources()
  endif()

  get_target_property(type ${target} TYPE)
  if(type STREQUAL "STATIC_LIBRARY" OR type STREQUAL "OBJECT_LIBRARY")
    target_include_directories(${target} PUBLIC ${dir})
    set(scope INTERFACE)
  else()
    target_include_directories(${target} PRIVATE ${dir})
    set(scope PRIVATE)
  endif()
  add_custom_target(${target}_resources DEPENDS ${outputs})
  add_dependencies(${target} ${target}_resources)
  target_sources(${target} ${scope} ${linked})
endfunction()

# Sets `outputs` (everything made) and `linked` (what the program links) in the caller.
macro(_korv_windows_resources)
  find_program(KORV_WINDMC NAMES ${KORV_MINGW_TRIPLE}-windmc REQUIRED)
  set(outputs)
  set(linked)
  if(arg_MC)
    add_custom_command(OUTPUT ${header} ${dir}/${MC_name}.rc
      COMMAND ${KORV_WINDMC} -U -C 65001 -h ${dir} -r ${dir} ${MC_file}
      DEPENDS ${MC_file}
      COMMENT "windmc ${MC_name}.mc")
    add_custom_command(OUTPUT ${dir}/${MC_name}_mc.o
      COMMAND ${CMAKE_RC_COMPILER} ${MC_name}.rc -O coff -o ${MC_name}_mc.o
      WORKING_DIRECTORY ${dir}
      DEPENDS ${dir}/${MC_name}.rc
      COMMENT "windres ${MC_name}.rc (messages)")
    list(APPEND outputs ${header} ${dir}/${MC_name}_mc.o)
    list(APPEND linked ${dir}/${MC_name}_mc.o)
  endif()
  if(arg_RC)
    file(GLOB rc_headers CONFIGURE_DEPENDS ${RC_dir}/*.h)
    add_custom_command(OUTPUT ${dir}/${RC_name}_rc.o
      COMMAND ${CMAKE_RC_COMPILER} -I ${RC_dir} -I ${dir} ${RC_file} -O coff -o ${dir}/${RC_name}_rc.o
      WORKING_DIRECTORY ${RC_dir}
      DEPENDS ${RC_file} ${rc_headers}
      COMMENT "windres ${RC_name}.rc")
    list(APPEND outputs ${dir}/${RC_name}_rc.o)
    list(APPEND linked ${dir}/${RC_name}_rc.o)
  endif()
endmacro()

macro(_korv_host_resources)
  set(tables ${dir}/resources.cpp)
  set(args --out ${tables} --depfile ${dir}/resources.d)
  set(inputs)
  set(outputs ${tables})
  if(arg_RC)
    list(APPEND args --rc ${RC_file} -I ${RC_dir})
    list(APPEND inputs ${RC_file})
  endif()
  if(arg_MC)
    list(APPEND args --mc ${MC_file} --header ${header})
    list(APPEND inputs ${MC_file})
    list(APPEND outputs ${header})
  endif()
  add_custom_command(OUTPUT ${outputs}
    COMMAND $<TARGET_FILE:resgen> ${args}
    DEPENDS resgen ${inputs}
    DEPFILE ${dir}/resources.d
    COMMENT "resgen ${RC_name} ${MC_name}")
  set(linked ${tables})
  get_target_property(type ${target} TYPE)
  if(type STREQUAL "STATIC_LIBRARY" OR type STREQUAL "OBJECT_LIBRARY")
    # Compiled here, where the rule that makes the tables lives, and linked as objects into each
    # program, so the linker keeps the tables' registration.
    add_library(${target}_resource_tables OBJECT ${tables})
    set(linked $<TARGET_OBJECTS:${target}_resource_tables>)
  endif()
endmacro()
