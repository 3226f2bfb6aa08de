# SPDX-License-Identifier: Apache-2.0
# The libraries are always built static: the programs, the Python module and
# the tests link them so, and reach routines that are not public.  With
# BUILD_SHARED_LIBS each one is also linked, from the same objects, as a
# versioned shared object that exports only what its public header declares
# (hidden visibility by default; the headers mark their declarations), and
# binds its own calls inside itself (bound_names.h, -Bsymbolic-functions).
#
#   kov_library(<static target> [PUBLIC <targets>...] [PRIVATE <targets>...])
#
# <target>_shared is the shared twin; a dependency on a library of this
# project is linked to the twin of the same kind.  Both variants install
# under the same export names (kov::core, ...), in the export sets kov-static
# and kov-shared, which kovConfig.cmake chooses between.
function(kov_library target)
  cmake_parse_arguments(arg "" "" "PUBLIC;PRIVATE" ${ARGN})
  set_target_properties(${target} PROPERTIES
    POSITION_INDEPENDENT_CODE ON
    C_VISIBILITY_PRESET hidden
    CXX_VISIBILITY_PRESET hidden
    VISIBILITY_INLINES_HIDDEN ON)
  # The libraries call the core's routines by internal names, so that a
  # program's own routine of a public name never replaces ours for us.
  target_compile_options(${target} PRIVATE
    "SHELL:-include ${PROJECT_SOURCE_DIR}/lib/corelibs/kov/bound_names.h")
  target_link_libraries(${target} PUBLIC ${arg_PUBLIC} PRIVATE ${arg_PRIVATE})
  install(TARGETS ${target} EXPORT kov-static ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT dev)
  if(NOT BUILD_SHARED_LIBS)
    return()
  endif()

  set(shared ${target}_shared)
  add_library(${shared} SHARED $<TARGET_OBJECTS:${target}>)
  foreach(property OUTPUT_NAME EXPORT_NAME INTERFACE_INCLUDE_DIRECTORIES INTERFACE_COMPILE_FEATURES)
    get_target_property(value ${target} ${property})
    if(value)
      set_target_properties(${shared} PROPERTIES ${property} "${value}")
    endif()
  endforeach()
  get_target_property(output_name ${shared} OUTPUT_NAME)
  if(NOT output_name)
    set_target_properties(${shared} PROPERTIES OUTPUT_NAME ${target})
  endif()
  set_target_properties(${shared} PROPERTIES
    VERSION ${PROJECT_VERSION}
    SOVERSION ${PROJECT_VERSION_MAJOR}
    LINKER_LANGUAGE CXX)
  foreach(scope PUBLIC PRIVATE)
    set(libraries)
    foreach(library IN LISTS arg_${scope})
      if(TARGET ${library}_shared)
        list(APPEND libraries ${library}_shared)
      else()
        list(APPEND libraries ${library})
      endif()
    endforeach()
    target_link_libraries(${shared} ${scope} ${libraries})
  endforeach()
  # A library's calls to its own routines stay inside it.
  target_link_options(${shared} PRIVATE LINKER:-Bsymbolic-functions)
  # Every undefined symbol must be resolved by the libraries named here.
  if(NOT KOV_SANITIZE AND NOT KOV_FUZZ)
    target_link_options(${shared} PRIVATE LINKER:--no-undefined)
  endif()
  install(TARGETS ${shared} EXPORT kov-shared
    LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT runtime NAMELINK_COMPONENT dev)
endfunction()
