"""A download pool of libkavo-vnx.so as a Python object.

    with Pool(max_sessions=4) as pool:
        future = pool.load_video("http://127.0.0.1:8080/cam1", "out.mp4", begin, end)
        info = future.result()      # VideoInfo, or raises KavoError

Futures are resolved by the library's callback, on the pool's worker thread
(finished downloads), on the thread that calls load_video (a request refused
at once: the future is already failed when load_video returns), or on the
thread that calls stop() or close() (requests still queued: KavoCancelled).
A download that is running when the pool is stopped is abandoned by the
library without a callback; its future stays pending (a later start() may
still finish it) until close(), which fails it with KavoAbandoned. Every
future therefore ends once the pool is closed. Futures are marked running
from the start: a download cannot be cancelled through its future.

Done-callbacks of the futures run on those threads too. They may call
load_video, but not stop(), start() or close() of their own pool: the stop
waits for the worker thread the callback runs on. The pool refuses such a call
with RuntimeError instead of hanging.
"""

import atexit
import concurrent.futures
import ctypes
import dataclasses
import itertools
import operator
import os
import threading
import weakref

from . import _native

UINT64_MAX = 2**64 - 1

# Pools not closed yet. They are closed before the interpreter goes away, so
# the worker thread never calls back into a finalising interpreter.
_open_pools = weakref.WeakSet()


@atexit.register
def _close_open_pools():
    for pool in list(_open_pools):
        pool.close()


class KavoError(Exception):
    """A request failed; code is the library's callback code (-1)."""

    def __init__(self, code, message=None):
        self.code = code
        super().__init__(message or f"download failed (code {code})")


class KavoCancelled(KavoError):
    """The request was still queued when the pool was stopped (code -4)."""

    def __init__(self, code=_native.KAVO_CANCELED, message=None):
        super().__init__(code, message or f"request cancelled at stop (code {code})")


class KavoAbandoned(KavoCancelled):
    """The download was running when the pool was stopped and the pool was
    closed before it finished; the library reports nothing for it, the file
    holds what had arrived."""

    def __init__(self):
        super().__init__(_native.KAVO_CANCELED, "download abandoned: running when the pool was stopped")


@dataclasses.dataclass(frozen=True)
class VideoInfo:
    """One finished download, as the library reports it."""

    path: str      # the file that was written
    min_ts: str    # first timestamp of the video, as the VMS wrote it
    max_ts: str    # last timestamp of the video
    size: int      # the video's length as the VMS gives it
    width: int
    height: int


def _text_arg(value, what, allow_empty):
    """A C string argument: bytes without NUL (str is encoded as UTF-8,
    a path-like as the file system encodes it)."""
    if isinstance(value, str):
        data = value.encode("utf-8")
    elif isinstance(value, bytes):
        data = value
    elif isinstance(value, os.PathLike):
        data = os.fsencode(value)
    else:
        raise TypeError(f"{what} must be str, bytes or a path, not {type(value).__name__}")
    if b"\0" in data:
        raise ValueError(f"{what} holds a NUL character")
    if not data and not allow_empty:
        raise ValueError(f"{what} is empty")
    return data


def _timestamp_arg(value, what):
    try:
        value = operator.index(value)
    except TypeError:
        raise TypeError(f"{what} must be an integer, not {type(value).__name__}") from None
    if not 0 <= value <= UINT64_MAX:
        raise ValueError(f"{what} {value} is outside 0..2**64-1")
    return value


class _Requests:
    """The requests waiting for their callback, keyed by the handler argument
    handed to the library. Holds no reference to the pool, so a forgotten pool
    is still collected (and closed)."""

    def __init__(self):
        self.lock = threading.Lock()
        self.table = {}
        self.keys = itertools.count(1)
        self.local = threading.local()  # depth of this pool's callbacks on a thread

    def add(self, future):
        with self.lock:
            key = next(self.keys)
            self.table[key] = future
        return key

    def take(self, key):
        with self.lock:
            return self.table.pop(key, None)

    def drain(self):
        with self.lock:
            futures, self.table = list(self.table.values()), {}
        return futures

    def in_callback(self):
        return getattr(self.local, "depth", 0) > 0

    def complete(self, code, info, key):
        # Runs on a library thread, with the GIL taken by ctypes. Nothing may
        # escape into C from here.
        future = self.take(key)
        if future is None:
            return
        self.local.depth = getattr(self.local, "depth", 0) + 1
        try:
            if code == 0 and info:
                rec = info.contents
                result = VideoInfo(
                    path=os.fsdecode(rec.path_ or b""),
                    min_ts=(rec.min_ts_ or b"").decode("utf-8", "replace"),
                    max_ts=(rec.max_ts_ or b"").decode("utf-8", "replace"),
                    size=rec.size_, width=rec.width_, height=rec.height_)
                future.set_result(result)
            elif code == _native.KAVO_CANCELED:
                future.set_exception(KavoCancelled(code))
            else:
                future.set_exception(KavoError(code))
        except Exception as e:  # a broken record: fail the request, not the thread
            if not future.done():
                future.set_exception(KavoError(_native.KAVO_FAIL, f"unreadable result: {e}"))
        finally:
            self.local.depth -= 1


class Pool:
    """One pool of the library: a worker thread downloading at most
    max_sessions (1..255) requests at a time. Started when created."""

    def __init__(self, max_sessions=4, library=None):
        if not isinstance(max_sessions, int) or not 1 <= max_sessions <= 255:
            raise ValueError("max_sessions must be 1..255")
        self._lib = _native.load(library)
        self._requests = _Requests()
        # One C thunk for every request of the pool; it lives as long as the
        # pool, so the library never calls into a freed thunk.
        self._thunk = _native.kavo_video_handler_fn(self._requests.complete)
        self._cond = threading.Condition()
        self._busy = 0          # calls into the library under way
        self._closing = False
        handle = ctypes.c_void_p()
        if self._lib.KavoPoolCreate(ctypes.byref(handle), None, max_sessions) != 0:
            raise KavoError(_native.KAVO_FAIL, "KavoPoolCreate failed")
        self._handle = handle
        _open_pools.add(self)

    # Calls into the library are counted, so close() destroys the pool only
    # when no other thread is still inside it.
    def _enter(self):
        with self._cond:
            if self._closing:
                raise RuntimeError("the pool is closed")
            self._busy += 1

    def _leave(self):
        with self._cond:
            self._busy -= 1
            if self._busy == 0:
                self._cond.notify_all()

    def _refuse_in_callback(self, what):
        if self._requests.in_callback():
            raise RuntimeError(f"{what} from one of the pool's own callbacks would wait for itself")

    def load_video(self, url, path, begin, end):
        """Asks for the interval [begin, end] (the VMS's units) of the stream at
        url to be written to path. Returns a Future of VideoInfo; it fails with
        KavoError(-1) or KavoCancelled(-4)."""
        url_b = _text_arg(url, "url", allow_empty=False)
        path_b = _text_arg(path, "path", allow_empty=True)
        conf = _native.kavo_video_conf(min_ts_=_timestamp_arg(begin, "begin"), max_ts_=_timestamp_arg(end, "end"),
                                       type_=_native.KAVO_VIDEO_MP4_H264)
        future = concurrent.futures.Future()
        future.set_running_or_notify_cancel()
        self._enter()
        try:
            key = self._requests.add(future)
            rc = self._lib.KavoPoolLoadVideoAsync(self._handle, url_b, path_b, ctypes.byref(conf), self._thunk,
                                                  ctypes.c_void_p(key))
        finally:
            self._leave()
        if rc != 0:
            # Refused by the argument check: the library will not call back.
            if self._requests.take(key) is not None:
                future.set_exception(KavoError(rc, "request refused by the library"))
        return future

    def stop(self):
        """Stops the worker: queued requests fail with KavoCancelled on this
        thread before stop() returns; running ones are abandoned."""
        self._refuse_in_callback("stop()")
        self._enter()
        try:
            rc = self._lib.KavoPoolStop(self._handle)
        finally:
            self._leave()
        if rc != 0:
            raise KavoError(rc, "KavoPoolStop failed")

    def start(self):
        """Starts a stopped pool again."""
        self._refuse_in_callback("start()")
        self._enter()
        try:
            rc = self._lib.KavoPoolStart(self._handle)
        finally:
            self._leave()
        if rc != 0:
            raise KavoError(rc, "KavoPoolStart failed")

    def close(self):
        """Destroys the pool: queued requests fail with KavoCancelled, abandoned
        downloads with KavoAbandoned. Idempotent."""
        self._refuse_in_callback("close()")
        with self._cond:
            if self._closing:
                return
            self._closing = True
            self._cond.wait_for(lambda: self._busy == 0)
        handle, self._handle = self._handle, None
        self._lib.KavoPoolDestroy(handle)
        # The library calls back no more: whatever is left was abandoned.
        for future in self._requests.drain():
            future.set_exception(KavoAbandoned())

    @property
    def closed(self):
        return self._closing

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def __del__(self):
        try:
            if getattr(self, "_handle", None) is not None and not self._requests.in_callback():
                self.close()
        except Exception:
            pass  # interpreter shutdown: nothing sensible left to do
