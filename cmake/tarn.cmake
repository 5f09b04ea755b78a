# Helpers shared by every module's CMakeLists.txt.

function(tarn_add_subdirectory_if_present dir)
  if(EXISTS ${CMAKE_CURRENT_SOURCE_DIR}/${dir}/CMakeLists.txt)
    add_subdirectory(${dir})
  endif()
endfunction()

# tarn_add_module(<target> [DEPS <targets>...])
# A static, position-independent library from src/*.cpp with inc/ as its public
# include directory. A module without sources becomes an interface library.
function(tarn_add_module name)
  cmake_parse_arguments(ARG "" "" "DEPS" ${ARGN})
  file(GLOB sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/src/*.cpp)
  if(sources)
    add_library(${name} STATIC ${sources})
    target_include_directories(${name} PUBLIC ${CMAKE_CURRENT_SOURCE_DIR}/inc
                                       PRIVATE ${CMAKE_CURRENT_SOURCE_DIR}/src)
    target_link_libraries(${name} PUBLIC ${ARG_DEPS})
  else()
    add_library(${name} INTERFACE)
    target_include_directories(${name} INTERFACE ${CMAKE_CURRENT_SOURCE_DIR}/inc)
    target_link_libraries(${name} INTERFACE ${ARG_DEPS})
  endif()
endfunction()

# tarn_add_test(<target> SOURCES <files>... [LIBS <targets>...])
# One GoogleTest executable per module, registered with CTest. It links the
# capture log sink, whose LogWrite is exported from the executable so that it
# also takes the place of liblogsink.so for shared libraries the test loads.
function(tarn_add_test name)
  cmake_parse_arguments(ARG "" "" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE ${ARG_LIBS} tarn_log_capture GTest::gtest_main GTest::gmock Threads::Threads)
  set_target_properties(${name} PROPERTIES ENABLE_EXPORTS ON
                        RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/tests)
  add_test(NAME ${name} COMMAND ${name})
  set_tests_properties(${name} PROPERTIES TIMEOUT 300)
endfunction()
