"""End-to-end driver of libkavo-vnx.so through the Python binding (package
kavo), the twin of kavo_export.cpp: downloads one export per FILE through one
pool and prints one line of JSON with wall time, CPU time and peak memory
over the downloads.

    python3 kavo_export.py URL BEGIN END SESSIONS FILE...

The clock starts just before the first load_video (the pool already exists)
and stops when the last future is resolved. The peak resident size is reset
just before the requests, so rss_growth_kib is what the downloads added.
"""

import concurrent.futures
import json
import resource
import sys
import time

from kavo import Pool


def _status_kib(field):
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    return -1


def _cpu_seconds():
    usage = resource.getrusage(resource.RUSAGE_SELF)
    return usage.ru_utime + usage.ru_stime


def main(argv):
    if len(argv) < 6:
        print("usage: kavo_export.py URL BEGIN END SESSIONS FILE...", file=sys.stderr)
        return 2
    url, begin, end, sessions, files = argv[1], int(argv[2]), int(argv[3]), int(argv[4]), argv[5:]
    with Pool(max_sessions=sessions) as pool:
        with open("/proc/self/clear_refs", "w") as clear:
            clear.write("5")  # resets VmHWM to the current resident size
        rss_before = _status_kib("VmRSS")
        cpu_before = _cpu_seconds()
        start = time.monotonic()
        futures = [pool.load_video(url, path, begin, end) for path in files]
        concurrent.futures.wait(futures)
        wall = time.monotonic() - start
        cpu = _cpu_seconds() - cpu_before
        peak = _status_kib("VmHWM")
    failed = sum(1 for f in futures if f.exception() is not None)
    size = sum(f.result().size for f in futures if f.exception() is None)
    print(json.dumps({"wall_s": wall, "cpu_s": cpu, "bytes": size, "failed": failed, "rss_before_kib": rss_before,
                      "rss_peak_kib": peak, "rss_growth_kib": peak - rss_before}))
    return 0 if failed == 0 else 1


if __name__ == "__main__":
    sys.exit(main(sys.argv))
