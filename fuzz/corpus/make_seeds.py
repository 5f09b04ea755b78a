#!/usr/bin/env python3
"""Writes the seed corpora of the fuzz targets (fuzz/corpus/<target>/).

Small, real-looking inputs that reach every rule at once; the fuzzer mutates
from them. Run from anywhere; rewrites the seeds it owns.
"""
import os
import struct

HERE = os.path.dirname(os.path.abspath(__file__))


def write(target, name, data):
    os.makedirs(os.path.join(HERE, target), exist_ok=True)
    if isinstance(data, str):
        data = data.encode("latin-1")
    with open(os.path.join(HERE, target, name), "wb") as f:
        f.write(data)


SUMMARY = ('{"length":3000,"tracks":[{"codec":"H264","width":1280,"height":720,'
           '"interval":["2024-01-01T00:00:00Z","2024-01-01T00:01:00Z"]}]}')
SUMMARY_AUDIO_FIRST = ('{"tracks":[{"codec":"AAC"},{"codec":"H265","width":640,"height":360,'
                       '"interval":["t0","t1"]}],"length":17}')


def body(d, video=b"\x00\x00\x00\x18ftypisom\r\n--fr\r\n\x00moov", summary=SUMMARY, pre="preamble\r\n", post="\r\nepilogue"):
    video = video.decode("latin-1") if isinstance(video, bytes) else video
    return (pre + d + "\r\nContent-Type: video/mp4\r\n\r\n" + video + "\r\n" + d +
            "\r\nContent-Type: application/json\r\n\r\n" + summary + "\r\n" + d + "--" + post)


def multipart(mode, cuts, text, extra=b""):
    """mode byte, cut count, 16-bit cut positions (scaled to the body), extra fields, body."""
    head = bytes([mode, len(cuts)]) + b"".join(struct.pack("<H", c) for c in cuts)
    return head + extra + text.encode("latin-1")


def around_delimiters(text, d):
    """Cut positions (as fractions of 65536) on both sides of every delimiter's CR LF and dashes."""
    cuts = []
    n = len(text)
    at = text.find(d)
    while at != -1 and len(cuts) < 60:
        for p in (at - 2, at - 1, at + 1, at + 2, at + len(d) - 1, at + len(d) + 1):
            if 0 < p < n:
                cuts.append((p * 65536 + n - 1) // n)
        at = text.find(d, at + 1)
    return cuts


def multipart_seeds():
    t = "fuzz_multipart"
    typical = body("--frontier")
    write(t, "typical-cut-around-delimiters", multipart(0x00, around_delimiters(typical, "--frontier"), typical))
    write(t, "typical-byte-by-byte", multipart(0x20, [], typical))
    two = ("--b\r\nContent-Type: video/mp4\r\n\r\nVIDEO-ONE\r\n--b\r\ncontent-TYPE:\tvideo/mp4 \n\r\n"
           "VIDEO-TWO\r\n--b\r\nContent-Type: application/json\r\n\r\n" + SUMMARY_AUDIO_FIRST + "\r\n--b--")
    write(t, "quoted-two-video-parts", multipart(0x08 | 0x01, around_delimiters(two, "--b"), two))
    abab = body("--abab", video="ab--abab-\r\n--aba\r--ababa")
    write(t, "self-overlapping-boundary-stride", multipart(0x40 | 0x03, [7], abab))
    headerless = ("pre--aa\r\n--aaa \t\r\nX: 1\r\nno colon\r\n\r\nkept\r\n--aaa\r\n\r\n" + SUMMARY + "\r\n--aaa--")
    write(t, "headerless-part-and-near-delimiters", multipart(0x02, [100, 9000, 30000, 50000], headerless))
    long_b = "x" * 70 + " y"
    lb = body("--" + long_b)
    write(t, "boundary-from-input-with-parameter", multipart(0x10 | 0x06, [20000, 40000], lb,
                                                             bytes([len(long_b)]) + long_b.encode()))
    # A header block without end: its stretch of header lines repeated to
    # 72 KiB, past the header block cap.
    lh = body("--frontier").replace("Content-Type: video/mp4\r\n", "X-Filler: 0123456789\r\nContent-Type: video/mp4\r\n")
    start = lh.find("X-Filler")
    write(t, "long-header-block", multipart(0x80, [12345, 30000], lh,
                                            bytes([0xF0, start * 256 // len(lh) + 1, (start + 22) * 256 // len(lh)])))
    write(t, "no-boundary-parameter", multipart(0x18, [3, 5000], "\r\n\r\n--\r\nx\r\n\r\n--"))
    write(t, "summary-not-json", multipart(0x00, [30000], body("--frontier", summary="not json")))


def summary_seeds():
    t = "fuzz_summary"
    write(t, "typical", SUMMARY)
    write(t, "audio-first", SUMMARY_AUDIO_FIRST)
    write(t, "rejected-codec-case", SUMMARY.replace("H264", "h264"))
    write(t, "interval-numbers", '{"length":1,"tracks":[{"codec":"H265","width":1,"height":2,"interval":[1,2]}]}')
    write(t, "deep-with-comments", '// c\n{"length":4294967295,"tracks":[{"x":[[[[{}]]]],'
          '"codec":"H264","width":65535,"height":0,"interval":["a\\"]","b"]} /* ] */]}')
    write(t, "too-deep", '{"length":1,"tracks":' + "[" * 40 + "]" * 40 + "}")
    write(t, "not-an-object", "[1,2,3]")


def jnode_seeds():
    t = "fuzz_jnode"
    write(t, "summary", SUMMARY)
    write(t, "numbers", '[3.0, 1e2, 3.5, -5, 0.1, -0.0, 9223372036854775807, -9223372036854775808, 1e300]')
    write(t, "strings", '{"a":"\\u00e9\\ud83d\\ude00\\n\\t\\"","b":"","c":"\\u0000x"}')
    write(t, "comments-and-trailer", '/* x */ {"k": [true, false, null] // y\n} trailing words')
    write(t, "nesting", "[" * 120 + "]" * 120)
    write(t, "too-big-integer", "18446744073709551615")


def conf_seeds():
    t = "fuzz_vnx_conf"
    write(t, "typical", '{"endpoint": "cam-1", "max-size-mb": 64}')
    write(t, "edges", '{"ENDPOINT": "x", "Max-Size-MB": 128.9, "endpoint": "y"}')
    write(t, "strings", '{"endpoint": "e", "max-size-mb": "0x10", "n": "-1", "o": "010", "s": ""}')
    write(t, "wrong-types", '{"endpoint": 5, "max-size-mb": true}')
    write(t, "array", '[1, "2", null, {"endpoint": "z"}]')
    write(t, "not-json", '{"endpoint": "cam-1", "max-size-mb": 6')


def path_seeds():
    t = "fuzz_path"
    for i, p in enumerate(["/a//b/./c/", "/../x", "a/../..", "a/..", "../a/./b/../c", "//", ".", "a\\b/../c/d/../../.."]):
        write(t, "path-%d" % i, p)


def frame_seeds():
    t = "fuzz_frame_type"
    for name in ["none", "MONO8T", "YUY2", "Bayer8T", "H264", "mono8t"]:
        write(t, name, name)
    write(t, "value-20", struct.pack("<I", 20))


if __name__ == "__main__":
    multipart_seeds()
    summary_seeds()
    jnode_seeds()
    conf_seeds()
    path_seeds()
    frame_seeds()
