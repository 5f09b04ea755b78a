"""The Python binding against the real libkavo-vnx.so and the simulated VMS.

Environment: KAVO_VNX_LIBRARY (the library), VMS_SIM (the simulated VMS),
VMS_SIM_MEDIA (its recordings), and for the layout test CC and KAVO_POOL_INCLUDE
(a C compiler and the include directory of tarn/support/kavo/pool.h).
"""

import concurrent.futures
import ctypes
import os
import subprocess
import sys
import tempfile
import threading
import unittest

from kavo import KavoAbandoned, KavoCancelled, KavoError, Pool, VideoInfo
from kavo import _native

from .simulator import Simulator

BEGIN = 1765447200000  # 2025-12-11T10:00:00.000Z, in milliseconds
WAIT = 60              # seconds a download may take here, far above what it needs
HAVE_ALL = all(os.environ.get(v) for v in ("KAVO_VNX_LIBRARY", "VMS_SIM", "VMS_SIM_MEDIA"))


@unittest.skipUnless(os.environ.get("CC") and os.environ.get("KAVO_POOL_INCLUDE"), "needs CC and KAVO_POOL_INCLUDE")
class LayoutTest(unittest.TestCase):
    def test_records_match_the_c_header(self):
        program = r"""
            #include <stddef.h>
            #include <stdio.h>
            #include <tarn/support/kavo/pool.h>
            #define F(T, f) printf("%s.%s %zu %zu\n", #T, #f, offsetof(T, f), sizeof(((T*)0)->f));
            int main(void) {
              printf("kavo_video_conf %zu\n", sizeof(kavo_video_conf));
              printf("kavo_video_info %zu\n", sizeof(kavo_video_info));
              printf("kavo_video_type %zu\n", sizeof(kavo_video_type));
              F(kavo_video_conf, min_ts_) F(kavo_video_conf, max_ts_) F(kavo_video_conf, quality_)
              F(kavo_video_conf, max_width_) F(kavo_video_conf, max_height_) F(kavo_video_conf, type_)
              F(kavo_video_info, path_) F(kavo_video_info, min_ts_) F(kavo_video_info, max_ts_)
              F(kavo_video_info, size_) F(kavo_video_info, width_) F(kavo_video_info, height_)
              printf("kKAVO_VIDEO_MP4_H264 %d\n", (int)kKAVO_VIDEO_MP4_H264);
              return 0;
            }
        """
        with tempfile.TemporaryDirectory() as tmp:
            src, exe = os.path.join(tmp, "layout.c"), os.path.join(tmp, "layout")
            with open(src, "w") as f:
                f.write(program)
            subprocess.run([os.environ["CC"], "-std=c99", "-I", os.environ["KAVO_POOL_INCLUDE"], src, "-o", exe],
                           check=True)
            c_side = subprocess.run([exe], check=True, capture_output=True, text=True).stdout.split("\n")

        py_side = [f"kavo_video_conf {ctypes.sizeof(_native.kavo_video_conf)}",
                   f"kavo_video_info {ctypes.sizeof(_native.kavo_video_info)}",
                   f"kavo_video_type {ctypes.sizeof(_native.kavo_video_type)}"]
        for record in (_native.kavo_video_conf, _native.kavo_video_info):
            for name, ctype in record._fields_:
                py_side.append(f"{record.__name__}.{name} {getattr(record, name).offset} {ctypes.sizeof(ctype)}")
        py_side.append(f"kKAVO_VIDEO_MP4_H264 {_native.KAVO_VIDEO_MP4_H264}")
        self.assertEqual([line for line in c_side if line], py_side)


@unittest.skipUnless(HAVE_ALL, "needs KAVO_VNX_LIBRARY, VMS_SIM and VMS_SIM_MEDIA")
class PoolTest(unittest.TestCase):
    def setUp(self):
        self.sim = Simulator()
        self.addCleanup(self.sim.close)
        tmp = tempfile.TemporaryDirectory()
        self.addCleanup(tmp.cleanup)
        self.dir = tmp.name

    def out(self, name):
        return os.path.join(self.dir, name)

    def pool(self, sessions):
        pool = Pool(max_sessions=sessions)
        self.addCleanup(pool.close)
        return pool

    def assert_matches_export(self, info, stream, begin, end, path):
        """The result, the file and the server's own export agree."""
        video, summary = self.sim.export(stream, begin, end)
        track = next(t for t in summary["tracks"] if t["codec"] == "H264")
        self.assertEqual(info, VideoInfo(path=path, min_ts=track["interval"][0], max_ts=track["interval"][1],
                                         size=summary["length"], width=track["width"], height=track["height"]))
        with open(path, "rb") as f:
            self.assertEqual(f.read(), video)
        self.assertEqual(os.path.getsize(path), info.size)

    def wait_active(self, count):
        """Until the server has `count` exchanges under way (bounded)."""
        for _ in range(500):
            if self.sim.stats()["active"] >= count:
                return
            threading.Event().wait(0.01)
        self.fail(f"the server never saw {count} exchanges at once")

    def test_parallel_download(self):
        pool = self.pool(3)
        jobs = [(f"/cam{i % 2}", BEGIN + i * 10000, BEGIN + i * 10000 + 4000 + i * 1000, self.out(f"{i}.mp4"))
                for i in range(7)]
        futures = [pool.load_video(self.sim.url(s), path, b, e) for s, b, e, path in jobs]
        for (stream, begin, end, path), future in zip(jobs, futures):
            info = future.result(timeout=WAIT)
            self.assert_matches_export(info, stream, begin, end, path)
        self.assertEqual(self.sim.stats()["exports"], 7 + 7)  # ours and the checks' own
        self.assertLessEqual(self.sim.stats()["max_active"], 3)

    def test_immediate_rejection(self):
        pool = self.pool(2)
        for url in ["not a url", "/cam1", b"http://[bad"]:
            with self.subTest(url=url):
                future = pool.load_video(url, self.out("x.mp4"), BEGIN, BEGIN + 1000)
                self.assertTrue(future.done())  # failed before load_video returned
                self.assertEqual(future.exception().code, -1)
                self.assertNotIsInstance(future.exception(), KavoCancelled)
        pool.stop()
        future = pool.load_video(self.sim.url("/cam1"), self.out("y.mp4"), BEGIN, BEGIN + 1000)
        self.assertTrue(future.done())
        self.assertEqual(future.exception().code, -1)
        self.assertFalse(os.path.exists(self.out("x.mp4")) or os.path.exists(self.out("y.mp4")))
        self.assertEqual(self.sim.stats()["exports"], 0)

    def test_arguments_checked_before_the_library(self):
        pool = self.pool(1)
        url = self.sim.url("/cam1")
        cases = [
            # url, path, begin, end, error
            ("", "a.mp4", 0, 1, ValueError),
            ("http://127.0.0.1:1/a\0b", "a.mp4", 0, 1, ValueError),
            (url, "a\0.mp4", 0, 1, ValueError),
            (url, "a.mp4", -1, 1, ValueError),      # ctypes would wrap it to 2**64-1
            (url, "a.mp4", 0, 2**64, ValueError),
            (url, "a.mp4", 1.5, 2, TypeError),
            (None, "a.mp4", 0, 1, TypeError),
        ]
        for url_arg, path, begin, end, error in cases:
            with self.subTest(url=url_arg, path=path, begin=begin, end=end):
                with self.assertRaises(error):
                    pool.load_video(url_arg, path, begin, end)
        self.assertEqual(self.sim.stats()["requests"], [])
        # the full range is passed on unchanged
        future = pool.load_video(url, self.out("max.mp4"), 0, 2**64 - 1)
        future.result(timeout=WAIT)
        self.assertIn("begin=0&end=18446744073709551615&", self.sim.stats()["requests"][0]["target"])

    def test_cancellation_at_stop(self):
        pool = self.pool(1)
        running = pool.load_video(self.sim.url("/held/delay/120000"), self.out("held.mp4"), BEGIN, BEGIN + 1000)
        self.wait_active(1)
        order = []
        queued = []
        for i in range(3):
            future = pool.load_video(self.sim.url(f"/q{i}"), self.out(f"q{i}.mp4"), BEGIN, BEGIN + 1000)
            future.add_done_callback(lambda f, i=i: order.append((i, threading.get_ident())))
            queued.append(future)
        pool.stop()
        # completed on this thread, in queue order, before stop() returned
        self.assertEqual(order, [(i, threading.get_ident()) for i in range(3)])
        for future in queued:
            self.assertIsInstance(future.exception(timeout=0), KavoCancelled)
            self.assertEqual(future.exception(timeout=0).code, -4)
        self.assertFalse(running.done())  # abandoned: no callback
        self.assertEqual([r["target"].split("/export")[0] for r in self.sim.stats()["requests"]], ["/held/delay/120000"])
        self.assertFalse(running.cancel())  # a download cannot be cancelled through its future
        pool.close()
        # closing ends it: the library will never report it
        self.assertIsInstance(running.exception(timeout=0), KavoAbandoned)

    def test_start_after_stop(self):
        pool = self.pool(2)
        pool.stop()
        pool.stop()  # a second stop only logs
        pool.start()
        path = self.out("again.mp4")
        info = pool.load_video(self.sim.url("/cam1"), path, BEGIN, BEGIN + 3000).result(timeout=WAIT)
        self.assert_matches_export(info, "/cam1", BEGIN, BEGIN + 3000, path)

    def test_stop_while_a_callback_runs_on_the_worker(self):
        # The caller waits in KavoPoolStop for the worker thread, which is in
        # a Python callback: the wait must not hold the GIL.
        pool = self.pool(1)
        main = threading.get_ident()
        entered, in_stop = threading.Event(), threading.Event()

        def slow_callback(future):
            entered.set()
            for _ in range(500):  # until the main thread is in stop()
                frame = sys._current_frames().get(main)
                if frame is not None and frame.f_code.co_name == "stop":
                    in_stop.set()
                    break
                threading.Event().wait(0.01)
            threading.Event().wait(0.1)  # and has gone on into the library

        # the delay keeps the download from ending before the callback is added
        future = pool.load_video(self.sim.url("/cam1/delay/500"), self.out("a.mp4"), BEGIN, BEGIN + 1000)
        future.add_done_callback(slow_callback)
        self.assertTrue(entered.wait(WAIT))
        pool.stop()  # returns once the worker has left the callback
        self.assertTrue(in_stop.is_set())
        self.assertEqual(future.result(timeout=0).path, self.out("a.mp4"))

    def test_stop_from_own_callback_is_refused(self):
        pool = self.pool(1)
        seen = []

        def stop_from_callback(future):
            try:
                pool.stop()
            except RuntimeError as e:
                seen.append(e)

        future = pool.load_video(self.sim.url("/cam1"), self.out("a.mp4"), BEGIN, BEGIN + 1000)
        future.add_done_callback(stop_from_callback)
        future.result(timeout=WAIT)
        # the done-callback runs right after the result is set, on the worker thread
        for _ in range(500):
            if seen:
                break
            threading.Event().wait(0.01)
        self.assertEqual(len(seen), 1)
        # and a request from a callback is fine
        nested = []
        first = pool.load_video(self.sim.url("/cam1"), self.out("b.mp4"), BEGIN, BEGIN + 1000)
        first.add_done_callback(lambda f: nested.append(
            pool.load_video(self.sim.url("/cam2"), self.out("c.mp4"), BEGIN, BEGIN + 1000)))
        first.result(timeout=WAIT)
        for _ in range(500):
            if nested:
                break
            threading.Event().wait(0.01)
        self.assertEqual(nested[0].result(timeout=WAIT).path, self.out("c.mp4"))

    def test_exit_with_downloads_under_way(self):
        # The interpreter closes a forgotten pool on exit: queued and running
        # requests end, the process exits normally.
        script = ("import sys, kavo\n"
                  "p = kavo.Pool(1)\n"
                  "running = p.load_video(sys.argv[1], sys.argv[2], 1, 2)\n"
                  "queued = p.load_video(sys.argv[1], sys.argv[3], 1, 2)\n"
                  "running.add_done_callback(lambda f: print('running', type(f.exception()).__name__))\n"
                  "queued.add_done_callback(lambda f: print('queued', type(f.exception()).__name__))\n"
                  "import time\n"
                  "for _ in range(500):\n"
                  "    if b'\"active\": 1' in __import__('urllib.request').request.urlopen(sys.argv[4]).read(): break\n"
                  "    time.sleep(0.01)\n")
        run = subprocess.run([sys.executable, "-c", script, self.sim.url("/held/delay/60000"), self.out("a.mp4"),
                              self.out("b.mp4"), self.sim.url("/sim/stats")],
                             capture_output=True, text=True, timeout=WAIT)
        self.assertEqual((run.returncode, run.stdout), (0, "queued KavoCancelled\nrunning KavoAbandoned\n"),
                         run.stderr)

    def test_server_behaviours(self):
        # the server answers a 5 s interval with its 5 s recording
        size = os.path.getsize(os.path.join(os.environ["VMS_SIM_MEDIA"], "recording-5s.mp4"))
        cases = [
            # stream path, outcome: True (done), or the size the file is left with (None: any)
            ("/ok", True),
            ("/status-404", True),
            ("/close-after-last-chunk", True),
            ("/tiny-chunks", True),
            ("/audio-first", True),
            ("/quoted-boundary", True),
            ("/big/50000000", True),
            ("/no-content-type", 0),
            ("/content-length", None),
            ("/empty-body", 0),
            ("/no-video-track", size),
            ("/no-summary", size),
            ("/truncated", size),
            ("/garbage-status", 0),
            ("/close-before-answer", 0),
            ("/huge-header", 0),
            ("/reset-mid-body", None),
            ("/stall", None),  # past the exchange's 30 s deadline
        ]
        pool = self.pool(len(cases))
        futures = [pool.load_video(self.sim.url(s), self.out(f"{i}.mp4"), BEGIN, BEGIN + 5000)
                   for i, (s, _) in enumerate(cases)]
        for i, ((stream, outcome), future) in enumerate(zip(cases, futures)):
            with self.subTest(stream=stream):
                path = self.out(f"{i}.mp4")
                if outcome is True:
                    self.assert_matches_export(future.result(timeout=WAIT), stream, BEGIN, BEGIN + 5000, path)
                else:
                    with self.assertRaises(KavoError) as failed:
                        future.result(timeout=WAIT)
                    self.assertEqual(failed.exception.code, -1)
                    self.assertTrue(os.path.exists(path))
                    if outcome is not None:
                        self.assertEqual(os.path.getsize(path), outcome)

    def test_command_line(self):
        url = self.sim.url("/cam1")
        a, b = self.out("a.mp4"), self.out("b.mp4")
        cmd = [sys.executable, "-m", "kavo", "fetch", url, "--begin", str(BEGIN), "--end", str(BEGIN + 3000),
               "-o", a, "--begin", str(BEGIN + 5000), "--end", str(BEGIN + 20000), "-o", b]
        run = subprocess.run(cmd, capture_output=True, text=True, timeout=WAIT)
        self.assertEqual(run.returncode, 0, run.stderr)
        lines = sorted(run.stdout.splitlines())
        expect = []
        for path, begin, end in [(a, BEGIN, BEGIN + 3000), (b, BEGIN + 5000, BEGIN + 20000)]:
            _, summary = self.sim.export("/cam1", begin, end)
            t = summary["tracks"][0]
            expect.append(f"done {path} [{t['interval'][0]}, {t['interval'][1]}] {summary['length']} bytes "
                          f"{t['width']}x{t['height']}")
            self.assertEqual(os.path.getsize(path), summary["length"])
        self.assertEqual(lines, sorted(expect))

        bad = self.out("bad.mp4")
        run = subprocess.run([sys.executable, "-m", "kavo", "fetch", self.sim.url("/content-length"),
                              "--begin", "1", "--end", "2", "-o", bad], capture_output=True, text=True, timeout=WAIT)
        self.assertEqual((run.returncode, run.stdout), (1, f"fail {bad} code -1\n"))

        # --wait is the behaviour here: past it the pool is stopped and closed
        held, queued = self.out("held.mp4"), self.out("queued.mp4")
        run = subprocess.run([sys.executable, "-m", "kavo", "fetch", self.sim.url("/held/delay/60000"),
                              "--sessions", "1", "--wait", "0.5", "--begin", "1", "--end", "2", "-o", held,
                              "--begin", "3", "--end", "4", "-o", queued],
                             capture_output=True, text=True, timeout=WAIT)
        self.assertEqual((run.returncode, sorted(run.stdout.splitlines())),
                         (1, [f"fail {held} abandoned", f"fail {queued} code -4"]))


if __name__ == "__main__":
    unittest.main()
