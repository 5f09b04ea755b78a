# Empty dependencies file for tarn_log_test.
# This may be replaced when dependencies are built.
