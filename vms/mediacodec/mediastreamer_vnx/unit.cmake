# The streamer unit (included by this module's CMakeLists.txt). It stands on
# the configuration decoder, the host interfaces, the allocator wrappers and
# the GStreamer buffer mapping; until all have landed it is left out.
file(GLOB unit_sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_LIST_DIR}/src/vnx_unit*.cpp)
if(unit_sources AND TARGET tarn_mediastreamer_vnx_conf AND TARGET tarn_mediastreamer_core
   AND TARGET tarn_vnxvideo_core AND TARGET tarn_gst)
  add_library(tarn_mediastreamer_vnx STATIC ${unit_sources})
  target_include_directories(tarn_mediastreamer_vnx PUBLIC ${CMAKE_CURRENT_LIST_DIR}/inc
                                                    PRIVATE ${CMAKE_CURRENT_LIST_DIR}/src)
  target_link_libraries(tarn_mediastreamer_vnx PUBLIC tarn_mediastreamer_core tarn_core tarn_log
                        PRIVATE tarn_mediastreamer_vnx_conf tarn_vnxvideo_core tarn_gst)

  file(GLOB unit_tests CONFIGURE_DEPENDS ${CMAKE_CURRENT_LIST_DIR}/test/vnx_unit*_test.cpp)
  if(unit_tests AND TARGET tarn_vnxvideo_double)
    tarn_add_test(mediastreamer_vnx_unit_test SOURCES ${unit_tests}
                  LIBS tarn_mediastreamer_vnx tarn_gst tarn_vnxvideo_double)
  endif()
endif()
