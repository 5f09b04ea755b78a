
# Consider dependencies only in project.
set(CMAKE_DEPENDS_IN_PROJECT_ONLY OFF)

# The set of languages for which implicit dependencies are needed:
set(CMAKE_DEPENDS_LANGUAGES
  )

# The set of dependency files which are needed:
set(CMAKE_DEPENDS_DEPENDENCY_FILES
  "/work/main/tarnsdk/core/test/exceptions_test.cpp" "tarnsdk/core/CMakeFiles/tarn_core_test.dir/test/exceptions_test.cpp.o" "gcc" "tarnsdk/core/CMakeFiles/tarn_core_test.dir/test/exceptions_test.cpp.o.d"
  )

# Targets to which this target links.
set(CMAKE_TARGET_LINKED_INFO_FILES
  "/work/main/build/tarnsdk/log/CMakeFiles/tarn_log_capture.dir/DependInfo.cmake"
  )

# Fortran module output directory.
set(CMAKE_Fortran_TARGET_MODULE_DIR "")
