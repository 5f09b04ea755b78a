"""What the simulated VMS puts on the wire, read back with a strict reader of
our own (chunk framing, multipart split, MP4 box walk)."""

import json
import os
import socket
import struct
import subprocess
import time
import unittest

SIM = os.environ.get("VMS_SIM", "")
MEDIA = os.environ.get("VMS_SIM_MEDIA", "")
BEGIN = 1765447200000  # 2025-12-11T10:00:00.000Z


def start_sim():
    proc = subprocess.Popen([SIM, "--port", "0", "--quiet", "--exit-on-stdin-eof"],
                            stdin=subprocess.PIPE, stdout=subprocess.PIPE)
    port = int(proc.stdout.readline())
    return proc, port


def stop_sim(proc):
    proc.stdin.close()
    try:
        proc.wait(timeout=10)
    except subprocess.TimeoutExpired:
        proc.kill()
        proc.wait()


def target(stream, begin=BEGIN, end=BEGIN + 60000):
    return f"{stream}/export?format=isom&begin={begin}&end={end}&summary=basic"


class Response:
    def __init__(self, status_line, headers, body, chunks, reader):
        self.status_line = status_line
        self.headers = headers      # lower-case name -> value
        self.body = body
        self.chunks = chunks        # chunk sizes, None when not chunked
        self.reader = reader

    @property
    def closed(self):
        """The server closed the connection right after the message."""
        return self.reader.closed_soon()


class Reader:
    """Reads HTTP/1.1 responses from one socket, strictly."""

    def __init__(self, sock):
        self.sock = sock
        self.buf = b""

    def _more(self):
        data = self.sock.recv(1 << 16)
        if not data:
            raise EOFError("connection closed")
        self.buf += data

    def _until(self, marker):
        while marker not in self.buf:
            self._more()
        i = self.buf.index(marker)
        out, self.buf = self.buf[:i], self.buf[i + len(marker):]
        return out

    def _take(self, n):
        while len(self.buf) < n:
            self._more()
        out, self.buf = self.buf[:n], self.buf[n:]
        return out

    def response(self):
        head = self._until(b"\r\n\r\n").decode("latin-1").split("\r\n")
        headers = {}
        for line in head[1:]:
            name, _, value = line.partition(":")
            headers[name.strip().lower()] = value.strip()
        chunks = None
        if headers.get("transfer-encoding") == "chunked":
            chunks, body = [], b""
            while True:
                size = int(self._until(b"\r\n"), 16)
                if size == 0:
                    if self._until(b"\r\n") != b"":
                        raise AssertionError("trailer after last chunk")
                    break
                body += self._take(size)
                if self._take(2) != b"\r\n":
                    raise AssertionError("chunk not followed by CR LF")
                chunks.append(size)
        else:
            body = self._take(int(headers.get("content-length", "0")))
        return Response(head[0], headers, body, chunks, self)

    def closed_soon(self):
        self.sock.settimeout(0.2)
        try:
            data = self.sock.recv(1)
            if data:
                self.buf += data
            return not data
        except socket.timeout:
            return False
        except ConnectionResetError:
            return True
        finally:
            self.sock.settimeout(30)


def split_multipart(content_type, body):
    """Returns (preamble, [(headers, content)], complete)."""
    param = content_type.split("boundary=", 1)[1]
    if param.startswith('"'):
        param = param[1:param.index('"', 1)]
    delim = b"--" + param.encode()
    i = body.find(delim)
    preamble = body[:i]
    pieces = body[i + len(delim):].split(b"\r\n" + delim)
    parts, complete = [], False
    for piece in pieces:
        if piece.startswith(b"--"):
            complete = True
            break
        assert piece.startswith(b"\r\n"), piece[:20]
        raw_headers, _, content = piece[2:].partition(b"\r\n\r\n")
        headers = dict(line.split(": ", 1) for line in raw_headers.decode().split("\r\n"))
        parts.append((headers, content))
    return preamble, parts, complete


def mp4_boxes(data):
    """Top-level boxes as (type, size); raises when they do not tile the data."""
    pos, out = 0, []
    while pos < len(data):
        size, kind = struct.unpack(">I4s", data[pos:pos + 8])
        if size == 1:
            size = struct.unpack(">Q", data[pos + 8:pos + 16])[0]
        if size < 8 or pos + size > len(data):
            raise AssertionError(f"box {kind} at {pos} runs past the end")
        out.append((kind.decode("latin-1"), size))
        pos += size
    return out


@unittest.skipUnless(SIM and MEDIA, "VMS_SIM and VMS_SIM_MEDIA name the tool and its recording")
class VmsSimTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.proc, cls.port = start_sim()
        cls.recordings = {}
        for seconds in range(1, 11):
            with open(os.path.join(MEDIA, f"recording-{seconds}s.mp4"), "rb") as f:
                cls.recordings[seconds] = f.read()
        cls.recording = cls.recordings[10]  # the one for the default interval

    @classmethod
    def tearDownClass(cls):
        stop_sim(cls.proc)

    def connect(self):
        sock = socket.create_connection(("127.0.0.1", self.port), timeout=30)
        self.addCleanup(sock.close)
        return sock

    def get(self, path, sock=None):
        sock = sock or self.connect()
        sock.sendall(f"GET {path} HTTP/1.1\r\nHost: 127.0.0.1\r\nUser-Agent: TARN/0.37.x\r\n\r\n".encode())
        return Reader(sock).response()

    def stats(self):
        return json.loads(self.get("/sim/stats").body)

    def check_export(self, r, begin=BEGIN, end=BEGIN + 60000, video=None):
        """The good export: a video part, then a summary that describes it."""
        _, parts, complete = split_multipart(r.headers["content-type"], r.body)
        self.assertTrue(complete)
        self.assertEqual([h["Content-Type"] for h, _ in parts], ["video/mp4", "application/json"])
        content = parts[0][1]
        self.assertEqual(content, self.recording if video is None else video)
        summary = json.loads(parts[1][1])
        self.assertEqual(summary["length"], len(content))
        h264 = [t for t in summary["tracks"] if t["codec"] == "H264"]
        self.assertEqual(len(h264), 1)
        self.assertEqual((h264[0]["width"], h264[0]["height"]), (640, 360))
        return summary, h264[0]

    def test_export_is_chunked_multipart_with_a_summary_of_the_recording(self):
        r = self.get(target("/cam1", BEGIN, BEGIN + 4000))
        self.assertEqual(r.status_line, "HTTP/1.1 200 OK")
        self.assertTrue(r.headers["content-type"].startswith("multipart/mixed; boundary="))
        self.assertIsNotNone(r.chunks)
        self.assertIn(("ftyp", 32), mp4_boxes(self.recording))
        _, track = self.check_export(r, video=self.recordings[4])
        self.assertEqual(track["interval"], ["2025-12-11T10:00:00.000Z", "2025-12-11T10:00:04.000Z"])
        # an interval is covered by the recording of its length in whole seconds
        for ms, seconds in [(0, 1), (1, 1), (999, 1), (1000, 1), (1001, 2), (9999, 10), (10000, 10)]:
            with self.subTest(ms=ms):
                self.check_export(self.get(target("/cam1", BEGIN, BEGIN + ms)), video=self.recordings[seconds])
        # the longest recording lasts ten seconds: a longer interval is cut there
        r = self.get(target("/cam1", BEGIN + 1, BEGIN + 60000))
        _, track = self.check_export(r)
        self.assertEqual(track["interval"], ["2025-12-11T10:00:00.001Z", "2025-12-11T10:00:10.001Z"])
        self.assertFalse(r.closed)

    def test_misbehaviour_by_stream_path(self):
        def ok(r):
            self.check_export(r)

        def only_audio(r):
            _, parts, _ = split_multipart(r.headers["content-type"], r.body)
            self.assertEqual([t["codec"] for t in json.loads(parts[-1][1])["tracks"]], ["AAC"])

        cases = [
            # path, status, framing, check of the body
            ("/a/no-content-type", "200 OK", "chunked", None),
            ("/a/content-length", "200 OK", "length", ok),
            ("/a/empty-body", "200 OK", "empty", None),
            ("/a/status-404", "404 Not Found", "chunked", ok),
            ("/a/close-after-last-chunk", "200 OK", "chunked", ok),
            ("/a/tiny-chunks", "200 OK", "tiny", ok),
            ("/a/slow/200", "200 OK", "chunked", ok),
            ("/a/delay/50/tiny-chunks/status-404", "404 Not Found", "tiny", ok),
            ("/a/audio-first", "200 OK", "chunked", ok),
            ("/a/quoted-boundary", "200 OK", "chunked", ok),
            ("/a/no-video-track", "200 OK", "chunked", only_audio),
            ("/a/no-summary", "200 OK", "chunked", None),
            ("/a/truncated", "200 OK", "chunked", None),
        ]
        for path, status, framing, check in cases:
            with self.subTest(path=path):
                r = self.get(target(path))
                self.assertEqual(r.status_line, "HTTP/1.1 " + status)
                if framing == "length":
                    self.assertNotIn("transfer-encoding", r.headers)
                    self.assertEqual(int(r.headers["content-length"]), len(r.body))
                    self.assertGreater(len(r.body), len(self.recording))
                elif framing == "empty":
                    self.assertEqual((r.headers["content-length"], r.body), ("0", b""))
                else:
                    self.assertIsNotNone(r.chunks)
                    if framing == "tiny":
                        self.assertLessEqual(max(r.chunks), 13)
                if check:
                    check(r)
                self.assertEqual(r.closed, path.endswith("close-after-last-chunk"))

        r = self.get(target("/a/no-content-type"))
        self.assertNotIn("content-type", r.headers)
        r = self.get(target("/a/quoted-boundary"))
        self.assertRegex(r.headers["content-type"], r'boundary="[^"]+"$')
        preamble, _, _ = split_multipart(r.headers["content-type"], r.body)
        self.assertTrue(preamble)
        r = self.get(target("/a/audio-first"))
        _, parts, _ = split_multipart(r.headers["content-type"], r.body)
        self.assertEqual([t["codec"] for t in json.loads(parts[1][1])["tracks"]], ["AAC", "H264"])
        r = self.get(target("/a/no-summary"))
        _, parts, complete = split_multipart(r.headers["content-type"], r.body)
        self.assertEqual(([h["Content-Type"] for h, _ in parts], complete), (["video/mp4"], True))
        r = self.get(target("/a/truncated"))
        _, parts, complete = split_multipart(r.headers["content-type"], r.body)
        self.assertEqual((len(parts), complete), (2, False))

    def test_big_export_has_exactly_the_asked_size(self):
        n_rec = len(self.recording)
        for n in [5 * 1024 * 1024 + 3, n_rec + 16, 100, 0]:
            with self.subTest(n=n):
                r = self.get(target(f"/big/{n}"))
                video = split_multipart(r.headers["content-type"], r.body)[1][0][1]
                self.assertEqual(len(video), n)
                summary, _ = self.check_export(r, video=video)
                self.assertEqual(summary["length"], n)
                if n >= n_rec + 16:
                    self.assertTrue(video.startswith(self.recording))
                    self.assertEqual(mp4_boxes(video)[-1], ("free", n - n_rec))

    def test_faults_on_the_connection(self):
        sock = self.connect()
        sock.sendall(f"GET {target('/a/garbage-status')} HTTP/1.1\r\nHost: x\r\n\r\n".encode())
        self.assertTrue(Reader(sock)._until(b"\r\n").startswith(b"HTTX/"))

        sock = self.connect()
        sock.sendall(f"GET {target('/a/close-before-answer')} HTTP/1.1\r\nHost: x\r\n\r\n".encode())
        self.assertEqual(sock.recv(100), b"")

        sock = self.connect()
        sock.sendall(f"GET {target('/a/reset-mid-body')} HTTP/1.1\r\nHost: x\r\n\r\n".encode())
        with self.assertRaises((ConnectionResetError, EOFError)):
            Reader(sock).response()

        r = self.get(target("/a/huge-header"))
        self.assertGreaterEqual(len(r.headers["x-padding"]), 64 * 1024)
        self.check_export(r)

        r = self.get(target("/a", BEGIN + 1, BEGIN))
        self.assertEqual(r.status_line, "HTTP/1.1 400 Bad Request")
        r = self.get("/a/nothing-here")
        self.assertEqual(r.status_line, "HTTP/1.1 404 Not Found")

    def test_stall_sends_the_start_then_nothing(self):
        for path, expect_header in [("/a/stall", True), ("/a/stall-header", False)]:
            with self.subTest(path=path):
                sock = self.connect()
                sock.sendall(f"GET {target(path)} HTTP/1.1\r\nHost: x\r\n\r\n".encode())
                reader = Reader(sock)
                if expect_header:
                    reader._until(b"\r\n\r\n")
                # the stall is the behaviour under test: a short wait shows it
                sock.settimeout(1.0)
                with self.assertRaises(socket.timeout):
                    while True:
                        reader._more()
                        self.assertLess(len(reader.buf), len(self.recording))

    def test_stats_count_concurrent_exports_and_keep_request_heads(self):
        before = len(self.stats()["requests"])
        socks = [self.connect() for _ in range(3)]
        for i, sock in enumerate(socks):
            sock.sendall(f"GET {target(f'/held{i}/delay/400')} HTTP/1.1\r\nHost: h{i}\r\n\r\n".encode())
        for _ in range(200):  # bounded: the three arrive within a few ms
            if self.stats()["active"] == 3:
                break
            time.sleep(0.01)
        stats = self.stats()
        self.assertEqual(stats["active"], 3)
        self.assertGreaterEqual(stats["max_active"], 3)
        heads = [r["head"] for r in stats["requests"][before:]]
        self.assertEqual(heads, [f"GET {target(f'/held{i}/delay/400')} HTTP/1.1\r\nHost: h{i}\r\n\r\n"
                                 for i in range(3)])
        for sock in socks:
            self.check_export(Reader(sock).response())

    def test_one_connection_serves_several_requests(self):
        sock = self.connect()
        for i in range(3):
            self.check_export(self.get(target(f"/cam{i}"), sock))


if __name__ == "__main__":
    unittest.main()
