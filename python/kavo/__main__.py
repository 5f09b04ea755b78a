"""Command line of the binding.

    python3 -m kavo fetch URL --begin B --end E -o FILE [--begin B --end E -o FILE ...]

Downloads every interval of the stream at URL in parallel (at most --sessions
at a time) and prints one line per finished request, in the order they finish:

    done FILE [MIN_TS, MAX_TS] LENGTH bytes WIDTHxHEIGHT
    fail FILE code CODE

Exit status: 0 when every request is done, 1 otherwise, 2 for a usage error.
"""

import argparse
import concurrent.futures
import sys

from .pool import KavoAbandoned, KavoError, Pool


def _parser():
    parser = argparse.ArgumentParser(prog="python3 -m kavo", description="Download recorded VMS video.")
    sub = parser.add_subparsers(dest="command", required=True)
    fetch = sub.add_parser("fetch", help="download intervals of one stream into MP4 files")
    fetch.add_argument("url", help="stream URL, e.g. http://127.0.0.1:8080/cam1")
    fetch.add_argument("--begin", action="append", type=int, required=True, help="first timestamp of an interval")
    fetch.add_argument("--end", action="append", type=int, required=True, help="last timestamp of an interval")
    fetch.add_argument("-o", "--output", action="append", required=True, help="file of an interval")
    fetch.add_argument("--sessions", type=int, default=4, help="downloads at a time (1..255, default 4)")
    fetch.add_argument("--library", help="path of libkavo-vnx.so")
    fetch.add_argument("--wait", type=float, default=300.0,
                       help="seconds to wait for all requests before stopping the pool (default 300)")
    return parser


def _line(path, future):
    try:
        info = future.result(timeout=0)
    except KavoAbandoned:
        return f"fail {path} abandoned", False
    except KavoError as e:
        return f"fail {path} code {e.code}", False
    return f"done {path} [{info.min_ts}, {info.max_ts}] {info.size} bytes {info.width}x{info.height}", True


def fetch(args):
    if not len(args.begin) == len(args.end) == len(args.output):
        print("each interval needs one --begin, one --end and one -o", file=sys.stderr)
        return 2
    jobs = list(zip(args.begin, args.end, args.output))
    all_done = True
    printed = set()

    def report(future, path):
        nonlocal all_done
        text, ok = _line(path, future)
        all_done &= ok
        printed.add(future)
        print(text, flush=True)

    with Pool(max_sessions=args.sessions, library=args.library) as pool:
        futures = [(pool.load_video(args.url, out, begin, end), out) for begin, end, out in jobs]
        paths = dict(futures)
        try:
            for future in concurrent.futures.as_completed(paths, timeout=args.wait):
                report(future, paths[future])
        except concurrent.futures.TimeoutError:
            print(f"kavo: not finished after {args.wait:g} s, stopping", file=sys.stderr)
            pool.close()  # queued requests fail with -4, running ones are abandoned
            for future, path in futures:
                if future not in printed:
                    report(future, path)
    return 0 if all_done else 1


def main(argv=None):
    args = _parser().parse_args(argv)
    try:
        if args.command == "fetch":
            return fetch(args)
    except (ValueError, TypeError, OSError) as e:
        print(f"kavo: {e}", file=sys.stderr)
        return 2
    return 2


if __name__ == "__main__":
    sys.exit(main())
