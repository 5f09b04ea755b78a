"""Python binding of libkavo-vnx.so: download recorded VMS video into MP4 files.

The library is found through $KAVO_VNX_LIBRARY, else build/lib/ of the source
tree, else the dynamic loader's search path.
"""

from .pool import KavoAbandoned, KavoCancelled, KavoError, Pool, VideoInfo

__all__ = ["Pool", "VideoInfo", "KavoError", "KavoCancelled", "KavoAbandoned"]
