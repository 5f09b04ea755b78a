file(REMOVE_RECURSE
  "../../lib/static/libtarn_log_capture.a"
  "../../lib/static/libtarn_log_capture.pdb"
  "CMakeFiles/tarn_log_capture.dir/testing/src/log_capture.cpp.o"
  "CMakeFiles/tarn_log_capture.dir/testing/src/log_capture.cpp.o.d"
)

# Per-language clean rules from dependency scanning.
foreach(lang CXX)
  include(CMakeFiles/tarn_log_capture.dir/cmake_clean_${lang}.cmake OPTIONAL)
endforeach()
