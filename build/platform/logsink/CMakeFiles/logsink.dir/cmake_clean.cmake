file(REMOVE_RECURSE
  "../../lib/liblogsink.pdb"
  "../../lib/liblogsink.so"
  "CMakeFiles/logsink.dir/src/logsink.c.o"
  "CMakeFiles/logsink.dir/src/logsink.c.o.d"
)

# Per-language clean rules from dependency scanning.
foreach(lang C)
  include(CMakeFiles/logsink.dir/cmake_clean_${lang}.cmake OPTIONAL)
endforeach()
