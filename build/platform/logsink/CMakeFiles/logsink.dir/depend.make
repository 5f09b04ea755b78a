# Empty dependencies file for logsink.
# This may be replaced when dependencies are built.
