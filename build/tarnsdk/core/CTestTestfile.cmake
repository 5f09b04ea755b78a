# CMake generated Testfile for 
# Source directory: /work/main/tarnsdk/core
# Build directory: /work/main/build/tarnsdk/core
# 
# This file includes the relevant testing commands required for 
# testing this directory and lists subdirectories to be tested as well.
add_test([=[tarn_core_test]=] "/work/main/build/tests/tarn_core_test")
set_tests_properties([=[tarn_core_test]=] PROPERTIES  TIMEOUT "300" _BACKTRACE_TRIPLES "/work/main/cmake/tarn.cmake;37;add_test;/work/main/tarnsdk/core/CMakeLists.txt;4;tarn_add_test;/work/main/tarnsdk/core/CMakeLists.txt;0;")
