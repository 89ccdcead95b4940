# Each folder under src/ is one static library holding every .cpp in it,
# except files ending in _main.cpp, which are program entry points.
function(caskel_subsystem name)
  cmake_parse_arguments(ARG "" "" "DEPS" ${ARGN})
  file(GLOB sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/${name}/*.cpp)
  list(FILTER sources EXCLUDE REGEX "_main\\.cpp$")
  if(NOT sources)
    # A subsystem that has only headers so far still links as a library.
    set(sources ${PROJECT_BINARY_DIR}/generated/empty_${name}.cpp)
    file(WRITE ${sources} "// intentionally empty\n")
  endif()
  add_library(caskel_${name} STATIC ${sources})
  target_include_directories(caskel_${name} PUBLIC ${PROJECT_SOURCE_DIR}/src ${PROJECT_BINARY_DIR}/generated)
  target_link_libraries(caskel_${name} PUBLIC ${ARG_DEPS})
endfunction()

# Each folder under tests/ is one GoogleTest executable registered with CTest.
function(caskel_test_folder name)
  cmake_parse_arguments(ARG "" "" "DEPS" ${ARGN})
  file(GLOB sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/${name}/*.cpp)
  if(NOT sources)
    return()
  endif()
  add_executable(test_${name} ${sources})
  target_include_directories(test_${name} PRIVATE ${CMAKE_CURRENT_SOURCE_DIR})
  target_link_libraries(test_${name} PRIVATE ${ARG_DEPS} caskel_test_support GTest::gtest GTest::gmock GTest::gtest_main)
  gtest_discover_tests(test_${name} DISCOVERY_TIMEOUT 60 PROPERTIES ENVIRONMENT
    "CASKEL_TEST_BIN_DIR=${PROJECT_BINARY_DIR}")
endfunction()
