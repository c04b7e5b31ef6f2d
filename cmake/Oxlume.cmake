# Shared build helpers.

# oxlume_add_library(<name> [EXCLUDE <files>...] [DEPS <targets>...])
# A static library from every source in the calling folder (and its sub-folders; the entry
# points, *main.cpp, excepted), so that
# adding a file never means editing a build file. A sub-folder with a CMakeLists.txt of its
# own is a library of its own and is left out, and so are the files named after EXCLUDE
# (relative to the folder), which another library of the same folder builds.
function(oxlume_add_library name)
  cmake_parse_arguments(ARG "" "" "EXCLUDE;DEPS" ${ARGN})
  file(GLOB_RECURSE sources CONFIGURE_DEPENDS
       "${CMAKE_CURRENT_SOURCE_DIR}/*.cpp" "${CMAKE_CURRENT_SOURCE_DIR}/*.h"
       "${CMAKE_CURRENT_SOURCE_DIR}/*.qrc")
  list(FILTER sources EXCLUDE REGEX "/[a-z_]*main\\.cpp$")
  foreach(excluded IN LISTS ARG_EXCLUDE)
    list(REMOVE_ITEM sources "${CMAKE_CURRENT_SOURCE_DIR}/${excluded}")
  endforeach()
  file(GLOB_RECURSE own_lists CONFIGURE_DEPENDS "${CMAKE_CURRENT_SOURCE_DIR}/*/CMakeLists.txt")
  foreach(list_file IN LISTS own_lists)
    get_filename_component(own_dir "${list_file}" DIRECTORY)
    string(LENGTH "${own_dir}/" prefix_length)
    foreach(source IN LISTS sources)
      string(SUBSTRING "${source}" 0 ${prefix_length} source_prefix)
      if(source_prefix STREQUAL "${own_dir}/")
        list(REMOVE_ITEM sources "${source}")
      endif()
    endforeach()
  endforeach()
  list(APPEND sources "${CMAKE_SOURCE_DIR}/cmake/empty.cpp")
  add_library(${name} STATIC ${sources})
  target_include_directories(${name} PUBLIC "${CMAKE_SOURCE_DIR}/src")
  target_link_libraries(${name} PUBLIC ${ARG_DEPS})
endfunction()

# oxlume_add_qtest(<file> LIBS <targets>... [LABELS <labels>...])
# One QtTest executable per tst_*.cpp, registered with CTest as <folder>.<name>.
function(oxlume_add_qtest file)
  cmake_parse_arguments(ARG "" "" "LIBS;LABELS" ${ARGN})
  get_filename_component(stem "${file}" NAME_WE)
  get_filename_component(dir "${file}" DIRECTORY)
  get_filename_component(folder "${dir}" NAME)
  string(REGEX REPLACE "^tst_" "" short "${stem}")
  set(target "tst_${folder}_${short}")
  add_executable(${target} "${file}")
  target_link_libraries(${target} PRIVATE ${ARG_LIBS} Qt6::Test)
  # Shared test helpers live in tests/common/.
  target_include_directories(${target} PRIVATE "${CMAKE_SOURCE_DIR}/tests")
  target_compile_definitions(${target} PRIVATE
      OXLUME_SHARED_DIR="${OXLUME_SHARED_DIR}"
      OXLUME_SOURCE_DIR="${CMAKE_SOURCE_DIR}"
      OXLUME_BINARY_DIR="${CMAKE_BINARY_DIR}")
  add_test(NAME "${folder}.${short}" COMMAND ${target})
  set_tests_properties("${folder}.${short}" PROPERTIES
      ENVIRONMENT "QT_QPA_PLATFORM=offscreen;QT_ASSUME_STDERR_HAS_CONSOLE=1"
      LABELS "${folder};${ARG_LABELS}"
      TIMEOUT 600)
endfunction()
