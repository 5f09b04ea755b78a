file(REMOVE_RECURSE
  "../../tests/tarn_core_test"
  "../../tests/tarn_core_test.pdb"
  "CMakeFiles/tarn_core_test.dir/test/exceptions_test.cpp.o"
  "CMakeFiles/tarn_core_test.dir/test/exceptions_test.cpp.o.d"
)

# Per-language clean rules from dependency scanning.
foreach(lang CXX)
  include(CMakeFiles/tarn_core_test.dir/cmake_clean_${lang}.cmake OPTIONAL)
endforeach()
