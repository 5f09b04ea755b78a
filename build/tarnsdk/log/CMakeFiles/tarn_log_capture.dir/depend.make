# Empty dependencies file for tarn_log_capture.
# This may be replaced when dependencies are built.
