# CMake generated Testfile for 
# Source directory: /work/main/platform/logsink
# Build directory: /work/main/build/platform/logsink
# 
# This file includes the relevant testing commands required for 
# testing this directory and lists subdirectories to be tested as well.
add_test([=[logsink_exports]=] "/work/main/scripts/check-exports.sh" "/work/main/build/lib/liblogsink.so" "LogWrite")
set_tests_properties([=[logsink_exports]=] PROPERTIES  _BACKTRACE_TRIPLES "/work/main/platform/logsink/CMakeLists.txt;9;add_test;/work/main/platform/logsink/CMakeLists.txt;0;")
