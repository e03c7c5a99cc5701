# vg_library(NAME DIR [DEPS ...]): one static library from every .cpp of a folder (not its subfolders).
function(vg_library name)
  cmake_parse_arguments(ARG "" "" "DEPS" ${ARGN})
  file(GLOB srcs CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp)
  list(FILTER srcs EXCLUDE REGEX "/main\\.cpp$")
  if(srcs)
    add_library(${name} STATIC ${srcs})
  else()
    add_library(${name} INTERFACE)
  endif()
  get_target_property(type ${name} TYPE)
  if(type STREQUAL "INTERFACE_LIBRARY")
    target_include_directories(${name} INTERFACE ${CMAKE_SOURCE_DIR})
    target_link_libraries(${name} INTERFACE ${ARG_DEPS})
  else()
    target_include_directories(${name} PUBLIC ${CMAKE_SOURCE_DIR})
    target_link_libraries(${name} PUBLIC ${ARG_DEPS})
  endif()
endfunction()

# vg_test_suite(NAME [LABELS ...] [DEPS ...] [THREAD_SUITES ...]): one GoogleTest program from every
# .cpp of a test folder; each of its tests is one CTest test with the LABELS. The tests of the
# GoogleTest suites whose names begin with one of THREAD_SUITES get the label "threads" as well: the
# ThreadSanitizer run of scripts/test picks its tests by that label (ctest -L threads).
function(vg_test_suite name)
  cmake_parse_arguments(ARG "" "" "DEPS;LABELS;THREAD_SUITES" ${ARGN})
  file(GLOB srcs CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp)
  if(NOT srcs)
    return()
  endif()
  add_executable(${name} ${srcs})
  set_target_properties(${name} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/tests)
  target_link_libraries(${name} PRIVATE ${ARG_DEPS} vg_test_support GTest::gtest GTest::gmock GTest::gtest_main)
  target_compile_definitions(${name} PRIVATE VG_TREE_DIR="${VG_TREE}" VG_SOURCE_DIR="${CMAKE_SOURCE_DIR}")
  gtest_discover_tests(${name} DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 30 TEST_LIST ${name}_TESTS
                       PROPERTIES LABELS "${ARG_LABELS}" TIMEOUT 300)
  if(ARG_THREAD_SUITES)
    # The tests are known only when ctest runs the discovery, so their labels are added by a script
    # that ctest reads after the discovered list (a list-valued LABELS does not pass through the
    # discovery's own scripts).
    list(JOIN ARG_THREAD_SUITES "|" suites)
    set(labels ${ARG_LABELS} threads)
    set(script "${CMAKE_CURRENT_BINARY_DIR}/${name}_thread_labels.cmake")
    file(WRITE "${script}"
         "foreach(test IN LISTS ${name}_TESTS)\n"
         "  if(test MATCHES \"^(${suites})\")\n"
         "    set_tests_properties(\"\${test}\" PROPERTIES LABELS \"${labels}\")\n"
         "  endif()\n"
         "endforeach()\n")
    set_property(DIRECTORY APPEND PROPERTY TEST_INCLUDE_FILES "${script}")
  endif()
endfunction()
