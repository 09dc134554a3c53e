# vela_pure_library(<name> [DEPENDS <lib>...]): the static library vela_<name>
# of every .cpp in the calling folder, included as <name>/<header>.h from the
# folder above, with the common warnings and the alias vela::<name>.
function(vela_pure_library name)
  cmake_parse_arguments(ARG "" "" "DEPENDS" ${ARGN})
  file(GLOB sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp)
  add_library(vela_${name} STATIC ${sources})
  target_include_directories(vela_${name} PUBLIC ${CMAKE_CURRENT_SOURCE_DIR}/..)
  if(ARG_DEPENDS)
    target_link_libraries(vela_${name} PUBLIC ${ARG_DEPENDS})
  endif()
  vela_warnings(vela_${name})
  add_library(vela::${name} ALIAS vela_${name})
endfunction()
