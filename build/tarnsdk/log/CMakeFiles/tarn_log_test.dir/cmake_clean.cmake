file(REMOVE_RECURSE
  "../../tests/tarn_log_test"
  "../../tests/tarn_log_test.pdb"
  "CMakeFiles/tarn_log_test.dir/test/log_capture_test.cpp.o"
  "CMakeFiles/tarn_log_test.dir/test/log_capture_test.cpp.o.d"
)

# Per-language clean rules from dependency scanning.
foreach(lang CXX)
  include(CMakeFiles/tarn_log_test.dir/cmake_clean_${lang}.cmake OPTIONAL)
endforeach()
