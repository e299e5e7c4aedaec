# The engines: the library calls of each module on owned, checked memory, compiled without
# Python's and NumPy's headers. Nothing in an engine can run Python code or touch a Python
# object, so the reasoning about threads and callbacks stays in the faces. An engine file that
# includes Python.h, or a face header that does, does not compile; every engine header is also
# compiled alone, so that a header only the faces include is held to the same rule.
#
#   tarnix_engine(<target> FOLDER <dir under src/tarnix> [SOURCES <files...>] [LIBS <packages...>])
#
# makes <target>, a static library of the sources and of one check per header <dir>/*.hpp.

function(tarnix_engine target)
  cmake_parse_arguments(ARG "" "FOLDER" "SOURCES;LIBS" ${ARGN})
  file(GLOB headers CONFIGURE_DEPENDS "${PROJECT_SOURCE_DIR}/src/tarnix/${ARG_FOLDER}/*.hpp")
  set(checks "")
  foreach(header IN LISTS headers)
    file(RELATIVE_PATH rel "${PROJECT_SOURCE_DIR}/src/tarnix" "${header}")
    string(MAKE_C_IDENTIFIER "${rel}" id)
    set(check "${CMAKE_CURRENT_BINARY_DIR}/engine_checks/${id}.cpp")
    file(CONFIGURE OUTPUT "${check}" CONTENT "#include \"${rel}\"\n")
    list(APPEND checks "${check}")
  endforeach()
  add_library(${target} STATIC ${ARG_SOURCES} ${checks})
  target_include_directories(${target} PUBLIC "${PROJECT_SOURCE_DIR}/src/tarnix")
  target_compile_definitions(${target} PUBLIC $<$<BOOL:${TARNIX_TESTING}>:TARNIX_TESTING>)
  foreach(pkg IN LISTS ARG_LIBS)
    tarnix_suitesparse_target(tgt ${pkg})
    target_link_libraries(${target} PUBLIC ${tgt})
  endforeach()
endfunction()
