# Empty dependencies file for tarn_core_test.
# This may be replaced when dependencies are built.
