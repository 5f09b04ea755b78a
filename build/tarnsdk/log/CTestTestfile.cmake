# CMake generated Testfile for 
# Source directory: /work/main/tarnsdk/log
# Build directory: /work/main/build/tarnsdk/log
# 
# This file includes the relevant testing commands required for 
# testing this directory and lists subdirectories to be tested as well.
add_test([=[tarn_log_test]=] "/work/main/build/tests/tarn_log_test")
set_tests_properties([=[tarn_log_test]=] PROPERTIES  TIMEOUT "300" _BACKTRACE_TRIPLES "/work/main/cmake/tarn.cmake;37;add_test;/work/main/tarnsdk/log/CMakeLists.txt;10;tarn_add_test;/work/main/tarnsdk/log/CMakeLists.txt;0;")
