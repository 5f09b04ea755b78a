"""ctypes declarations of the pool's C interface (tarn/support/kavo/pool.h).

The records keep the header's field order and natural alignment; the enums are
unsigned 32-bit values. Functions are loaded through ctypes.CDLL, so the GIL
is released for every call into the library: a callback on the pool's worker
thread can take the GIL while another thread waits in KavoPoolStop.
"""

import ctypes
import os
import pathlib

KAVO_FAIL = -1
KAVO_CANCELED = -4

KAVO_VIDEO_AVI_H264 = 1
KAVO_VIDEO_MKV_H264 = 2
KAVO_VIDEO_MP4_H264 = 3
KAVO_VIDEO_MPEGTS_H264 = 4
KAVO_VIDEO_MPEGPS_H264 = 5

kavo_video_type = ctypes.c_uint32
kavo_image_type = ctypes.c_uint32


class kavo_video_conf(ctypes.Structure):
    _fields_ = [
        ("min_ts_", ctypes.c_uint64),
        ("max_ts_", ctypes.c_uint64),
        ("quality_", ctypes.c_uint32),
        ("max_width_", ctypes.c_uint16),
        ("max_height_", ctypes.c_uint16),
        ("type_", kavo_video_type),
    ]


class kavo_video_info(ctypes.Structure):
    _fields_ = [
        ("path_", ctypes.c_char_p),
        ("min_ts_", ctypes.c_char_p),
        ("max_ts_", ctypes.c_char_p),
        ("size_", ctypes.c_uint32),
        ("width_", ctypes.c_uint16),
        ("height_", ctypes.c_uint16),
    ]


# void (*)(int aCode, const kavo_video_info* aInfo, void* aHandlerArg)
kavo_video_handler_fn = ctypes.CFUNCTYPE(None, ctypes.c_int, ctypes.POINTER(kavo_video_info), ctypes.c_void_p)

LIBRARY_ENV = "KAVO_VNX_LIBRARY"
LIBRARY_NAME = "libkavo-vnx.so"


def library_path(explicit=None):
    """Where the library is taken from: the argument, then $KAVO_VNX_LIBRARY,
    then build/lib/ of the source tree this package sits in, then the name
    alone (the dynamic loader's search path)."""
    if explicit:
        return os.fspath(explicit)
    if os.environ.get(LIBRARY_ENV):
        return os.environ[LIBRARY_ENV]
    in_tree = pathlib.Path(__file__).resolve().parents[2] / "build" / "lib" / LIBRARY_NAME
    return str(in_tree) if in_tree.exists() else LIBRARY_NAME


_loaded = {}


def load(explicit=None):
    """Loads the library once per path and declares its functions."""
    path = library_path(explicit)
    if path in _loaded:
        return _loaded[path]
    lib = ctypes.CDLL(path)
    vp, cp, u8, u16, u64 = ctypes.c_void_p, ctypes.c_char_p, ctypes.c_uint8, ctypes.c_uint16, ctypes.c_uint64
    P = ctypes.POINTER
    decl = {
        "KavoPoolCreate": (ctypes.c_int, [P(vp), cp, u8]),
        "KavoPoolStart": (ctypes.c_int, [vp]),
        "KavoPoolStop": (ctypes.c_int, [vp]),
        "KavoPoolSearchTsAsc": (ctypes.c_int, [vp, cp, u64, u64, P(u64), P(u16)]),
        "KavoPoolLoadImageExact": (ctypes.c_int, [vp, cp, u64, kavo_image_type, P(u16), P(u16), P(u8),
                                                  P(ctypes.c_uint32)]),
        "KavoPoolLoadImageFuzzy": (ctypes.c_int, [vp, cp, P(u64), kavo_image_type, P(u8), P(ctypes.c_uint32)]),
        "KavoPoolLoadVideo": (ctypes.c_int, [vp, cp, cp, P(kavo_video_conf), P(u64), P(u64)]),
        "KavoPoolLoadVideoAsync": (ctypes.c_int, [vp, cp, cp, P(kavo_video_conf), kavo_video_handler_fn, vp]),
        "KavoPoolDestroy": (None, [vp]),
    }
    for name, (restype, argtypes) in decl.items():
        fn = getattr(lib, name)
        fn.restype = restype
        fn.argtypes = argtypes
    _loaded[path] = lib
    return lib
