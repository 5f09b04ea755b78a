"""The simulated VMS (tools/vms-sim) as a test fixture, and a reader of its
exports that is independent of the library under test."""

import http.client
import json
import os
import subprocess


class Simulator:
    def __init__(self):
        self.proc = subprocess.Popen([os.environ["VMS_SIM"], "--port", "0", "--quiet", "--exit-on-stdin-eof"],
                                     stdin=subprocess.PIPE, stdout=subprocess.PIPE)
        self.port = int(self.proc.stdout.readline())

    def url(self, stream):
        return f"http://127.0.0.1:{self.port}{stream}"

    def _get(self, target):
        conn = http.client.HTTPConnection("127.0.0.1", self.port, timeout=30)
        try:
            conn.request("GET", target)
            response = conn.getresponse()
            return response.getheader("Content-Type", ""), response.read()
        finally:
            conn.close()

    def stats(self):
        return json.loads(self._get("/sim/stats")[1])

    def export(self, stream, begin, end):
        """(video part, summary) of the export, read straight from the server."""
        content_type, body = self._get(f"{stream}/export?format=isom&begin={begin}&end={end}&summary=basic")
        boundary = content_type.split("boundary=", 1)[1].strip('"')
        delim = b"--" + boundary.encode()
        start = body.index(delim) + len(delim)
        parts = []
        for piece in body[start:].split(b"\r\n" + delim):
            if piece.startswith(b"--"):
                break
            headers, _, content = piece[2:].partition(b"\r\n\r\n")
            parts.append((headers.decode(), content))
        video = b"".join(c for h, c in parts if "video/mp4" in h)
        return video, json.loads(parts[-1][1])

    def close(self):
        self.proc.stdin.close()
        try:
            self.proc.wait(timeout=10)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()
        self.proc.stdout.close()
