# quorvane_library(<name> [EXCLUDE <subdir>...] [DEPS <targets>...])
# Builds every .cpp/.c below the calling folder into the static library quorvane_<name>,
# leaving out the listed sub-folders (they are targets of their own).
function(quorvane_library name)
  cmake_parse_arguments(ARG "" "" "EXCLUDE;DEPS" ${ARGN})
  file(GLOB_RECURSE sources CONFIGURE_DEPENDS
       "${CMAKE_CURRENT_SOURCE_DIR}/*.cpp" "${CMAKE_CURRENT_SOURCE_DIR}/*.c")
  foreach(ex ${ARG_EXCLUDE})
    list(FILTER sources EXCLUDE REGEX "^${CMAKE_CURRENT_SOURCE_DIR}/${ex}/")
  endforeach()
  if(NOT sources)
    return()  # nothing to build yet
  endif()
  add_library(quorvane_${name} STATIC ${sources})
  target_include_directories(quorvane_${name} PUBLIC "${PROJECT_SOURCE_DIR}")
  target_link_libraries(quorvane_${name} PUBLIC ${ARG_DEPS})
endfunction()
