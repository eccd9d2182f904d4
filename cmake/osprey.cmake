# Helpers shared by every folder's CMakeLists.txt.

# osprey_shared_library(<target> <output name> SOURCES ... [LIBS ...])
# Builds web/<output name>.so with no "lib" prefix and RUNPATH $ORIGIN, so the
# libraries in web/ find one another (one VOKTBasic, one ravlink per process).
#
# The folder's library: the same objects, compiled once, also make the static
# library <target>_lib, with the include paths and libraries of the .so. The
# folder's tests, its fuzz harnesses and the build tools that need its code
# link that library (taking only the objects they use, so a test may stand in
# for the rest); no other build file compiles the folder's sources. It is
# built only for those that link it.
function(osprey_shared_library target output)
  cmake_parse_arguments(ARG "" "" "SOURCES;LIBS" ${ARGN})
  add_library(${target} SHARED ${ARG_SOURCES})
  set_target_properties(${target} PROPERTIES
    PREFIX ""
    OUTPUT_NAME ${output}
    LIBRARY_OUTPUT_DIRECTORY ${OSPREY_WEB}
    BUILD_RPATH "$ORIGIN"
    INSTALL_RPATH "$ORIGIN")
  target_link_options(${target} PRIVATE -Wl,--no-undefined -Wl,--enable-new-dtags)
  if(ARG_LIBS)
    target_link_libraries(${target} PRIVATE ${ARG_LIBS})
  endif()
  add_library(${target}_lib STATIC EXCLUDE_FROM_ALL $<TARGET_OBJECTS:${target}>)
  target_include_directories(${target}_lib INTERFACE $<TARGET_PROPERTY:${target},INCLUDE_DIRECTORIES>)
  target_link_libraries(${target}_lib INTERFACE $<TARGET_PROPERTY:${target},LINK_LIBRARIES>)
endfunction()

# osprey_embed_text(<target> <file> NAMESPACE <ns> TEXT <name> LENGTH <name> [JSON])
# Compiles <file> into <target> as the constant text <ns>::<name> (without a
# final line end) and its length, made again whenever the file changes. With
# JSON, a file that is not a JSON document of ASCII text fails the build.
function(osprey_embed_text target file)
  cmake_parse_arguments(ARG "JSON" "NAMESPACE;TEXT;LENGTH" "" ${ARGN})
  get_filename_component(base ${file} NAME_WE)
  set(output ${CMAKE_CURRENT_BINARY_DIR}/${base}_embedded.cpp)
  add_custom_command(OUTPUT ${output}
    COMMAND ${CMAKE_COMMAND} -DINPUT=${file} -DOUTPUT=${output} -DNAMESPACE=${ARG_NAMESPACE}
            -DTEXT=${ARG_TEXT} -DLENGTH=${ARG_LENGTH} -DJSON=${ARG_JSON}
            -P ${CMAKE_SOURCE_DIR}/cmake/embed_text.cmake
    DEPENDS ${file} ${CMAKE_SOURCE_DIR}/cmake/embed_text.cmake
    COMMENT "Embedding ${base}"
    VERBATIM)
  target_sources(${target} PRIVATE ${output})
endfunction()

# osprey_gtest(<target> SOURCES ... [LIBS ...])
# A GoogleTest program whose cases CTest runs one by one.
function(osprey_gtest target)
  cmake_parse_arguments(ARG "" "" "SOURCES;LIBS" ${ARGN})
  add_executable(${target} ${ARG_SOURCES})
  target_link_libraries(${target} PRIVATE GTest::gtest GTest::gtest_main Threads::Threads ${ARG_LIBS})
  set_target_properties(${target} PROPERTIES BUILD_RPATH "${OSPREY_WEB}")
  # Where the sources and the runnable tree are. Test discovery flattens lists,
  # so the environment carries one variable and the build gives both.
  target_compile_definitions(${target} PRIVATE
    OSPREY_SOURCE_DIR="${CMAKE_SOURCE_DIR}" OSPREY_DIST_DIR="${OSPREY_DIST}")
  gtest_discover_tests(${target} DISCOVERY_MODE PRE_TEST
    PROPERTIES ENVIRONMENT "OSPREY_DIST=${OSPREY_DIST}")
endfunction()
