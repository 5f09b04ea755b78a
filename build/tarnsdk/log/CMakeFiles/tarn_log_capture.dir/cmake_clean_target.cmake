file(REMOVE_RECURSE
  "../../lib/static/libtarn_log_capture.a"
)
