"""Runs every benchmark row side by side with its anchor and prints one table.

    python3 bench/run.py BUILD_DIR TMP_DIR [--rounds N] [--quick]

BUILD_DIR is a release build configured with -DTARN_BENCH=ON (bench-all
built); TMP_DIR a scratch directory on the real disk, which the caller removes.

End-to-end rows start the simulated VMS (vms-sim) on a free loopback port and
download from it: through libkavo-vnx.so from C++ (kavo-export) and from
Python (kavo_export.py), and with `curl -s -o FILE` of the same export URL.
Clients take turns within each round, in a rotating order, and each figure is
the median of its rounds, so a burst of load elsewhere on the machine hits
all sides alike. In-process rows are Google Benchmark programs with their
anchors in the same program, interleaved at random.

Every library call logs at level 2 and above only (TARN_LOG_LEVEL=2), so that
the log does not weigh on the figures.
"""

import argparse
import json
import os
import platform
import statistics
import subprocess
import sys
import time

GIB = 1 << 30
MIB = 1 << 20
BEGIN, END = 1765447200000, 1765447210000   # ten seconds, in the VMS's milliseconds


def log(text):
    print(text, file=sys.stderr, flush=True)


class Sim:
    def __init__(self, build):
        self.proc = subprocess.Popen([os.path.join(build, "bin", "vms-sim"), "--port", "0", "--quiet",
                                      "--exit-on-stdin-eof"], stdin=subprocess.PIPE, stdout=subprocess.PIPE)
        self.port = int(self.proc.stdout.readline())

    def stream(self, size):
        return f"http://127.0.0.1:{self.port}/storage/cam1/big/{size}"

    def cpu(self):
        """CPU seconds the simulator has used so far."""
        with open(f"/proc/{self.proc.pid}/stat") as stat:
            fields = stat.read().rsplit(")", 1)[1].split()
        return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")

    def close(self):
        self.proc.stdin.close()
        self.proc.wait(timeout=30)


class Bench:
    def __init__(self, build, tmp, rounds):
        self.build = build
        self.tmp = tmp
        self.rounds = rounds
        self.root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
        self.env = dict(os.environ, TARN_LOG_LEVEL="2",
                        KAVO_VNX_LIBRARY=os.path.join(build, "lib", "libkavo-vnx.so"),
                        PYTHONPATH=os.path.join(self.root, "python"))
        self.sim = Sim(build)

    def files(self, count, tag):
        return [os.path.join(self.tmp, f"{tag}-{i}.mp4") for i in range(count)]

    def check_and_remove(self, files, size):
        """Every file holds the whole video part; removed at once, so that the
        next run does not pay for writing this one back to disk."""
        ok = all(os.path.getsize(f) == size for f in files)
        for f in files:
            os.unlink(f)
        if not ok:
            raise RuntimeError(f"a downloaded file is not {size} bytes long")

    def curl(self, count, size):
        files = self.files(count, "curl")
        url = self.sim.stream(size) + f"/export?format=isom&begin={BEGIN}&end={END}&summary=basic"
        sim_cpu = self.sim.cpu()
        start = time.monotonic()
        procs = [subprocess.Popen(["curl", "-s", "-o", f, url]) for f in files]
        cpu = 0.0
        for p in procs:
            _, status, usage = os.wait4(p.pid, 0)
            if os.waitstatus_to_exitcode(status) != 0:
                raise RuntimeError("curl failed")
            cpu += usage.ru_utime + usage.ru_stime
        wall = time.monotonic() - start
        # curl writes the whole multipart body; the library the video part.
        sizes = [os.path.getsize(f) for f in files]
        for f in files:
            os.unlink(f)
        if min(sizes) < size:
            raise RuntimeError("curl wrote less than the video part")
        return {"wall_s": wall, "cpu_s": cpu, "bytes": size * count, "sim_cpu_s": self.sim.cpu() - sim_cpu}

    def library(self, lang, count, size):
        files = self.files(count, lang)
        if lang == "cpp":
            cmd = [os.path.join(self.build, "bin", "kavo-export")]
        else:
            cmd = [sys.executable, os.path.join(self.root, "bench", "kavo_export.py")]
        cmd += [self.sim.stream(size), str(BEGIN), str(END), str(count)] + files
        sim_cpu = self.sim.cpu()
        out = subprocess.run(cmd, env=self.env, check=True, capture_output=True, text=True).stdout
        result = json.loads(out.strip().splitlines()[-1])
        self.check_and_remove(files, size)
        result["bytes"] = size * count
        result["sim_cpu_s"] = self.sim.cpu() - sim_cpu
        return result

    def e2e(self, count, size, clients):
        """Median figures of each client over the rounds, clients taking turns."""
        runs = {c: [] for c in clients}
        for r in range(self.rounds):
            order = clients[r % len(clients):] + clients[:r % len(clients)]
            for c in order:
                runs[c].append(self.curl(count, size) if c == "curl" else self.library(c, count, size))
        out = {}
        for c, rs in runs.items():
            out[c] = {k: statistics.median(r[k] for r in rs) for k in rs[0] if isinstance(rs[0][k], (int, float))}
            out[c]["runs"] = rs
        return out

    def gbench(self, program, extra=()):
        path = os.path.join(self.tmp, program + ".json")
        cmd = [os.path.join(self.build, "bin", program), f"--benchmark_out={path}", "--benchmark_out_format=json",
               "--benchmark_format=console"] + list(extra)
        env = dict(self.env, TARN_BENCH_DIR=self.tmp)
        subprocess.run(cmd, env=env, check=True, stdout=sys.stderr)
        with open(path) as f:
            data = json.load(f)
        os.unlink(path)
        return data["benchmarks"]

    def close(self):
        self.sim.close()


def _aggregate(benchmarks, name_prefix, stat="median"):
    """{run_name: entry} of the aggregate rows (or the plain rows without repetitions)."""
    out = {}
    for b in benchmarks:
        if not b["name"].startswith(name_prefix):
            continue
        if b.get("run_type") == "aggregate" and b.get("aggregate_name") != stat:
            continue
        out[_key(b["run_name"])] = b
    return out


def _key(run_name):
    """The benchmark's name and arguments, without its run settings."""
    settings = ("min_time:", "real_time", "manual_time", "iterations:", "repeats:")
    return "/".join(p for p in run_name.split("/") if not p.startswith(settings))


def machine():
    model = next((l.split(":", 1)[1].strip() for l in open("/proc/cpuinfo") if l.startswith("model name")), "?")
    mem = next((int(l.split()[1]) for l in open("/proc/meminfo") if l.startswith("MemTotal")), 0)
    load = os.getloadavg()
    return (f"{os.cpu_count()} CPUs ({model}), {mem / 1024 / 1024:.1f} GiB RAM, {platform.system()} "
            f"{platform.release()}; load average before the run {load[0]:.2f} {load[1]:.2f} {load[2]:.2f}")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("build")
    parser.add_argument("tmp")
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--quick", action="store_true", help="smaller exports, one round (a smoke test)")
    args = parser.parse_args()
    big = 128 * MIB if args.quick else GIB
    part = 16 * MIB if args.quick else 128 * MIB
    rounds = 1 if args.quick else args.rounds

    header = machine()
    log("machine: " + header)
    bench = Bench(os.path.abspath(args.build), os.path.abspath(args.tmp), rounds)
    rows = []
    notes = []
    try:
        log(f"single export, {big // MIB} MiB: curl, C++, Python, {rounds} rounds")
        single = bench.e2e(1, big, ["curl", "cpp", "py"])
        log(f"parallel exports, 8 x {part // MIB} MiB, limit 8: 8 curls, C++, Python, {rounds} rounds")
        parallel = bench.e2e(8, part, ["curl", "cpp", "py"])
        log(f"memory: one export of {part // MIB} MiB, C++ and Python")
        small = bench.e2e(1, part, ["cpp", "py"])
        log("parser: 256 MiB body in 16 KiB pieces against write(2)")
        parser_runs = bench.gbench("bench_parser", ["--benchmark_repetitions=3",
                                                    "--benchmark_enable_random_interleaving=true"])
        log("frame path: unit into shared memory against memcpy")
        frame_runs = bench.gbench("bench_frame", ["--benchmark_repetitions=3",
                                                  "--benchmark_enable_random_interleaving=true"])
        log("scheduling: request to server on an idle pool, freed slot to next start")
        sched_runs = bench.gbench("bench_schedule")
    finally:
        bench.close()

    def rate(r):
        return r["bytes"] / r["wall_s"] / MIB

    def cpu_per_gib(r):
        return r["cpu_s"] / (r["bytes"] / GIB)

    def verdict(ok):
        return "met" if ok else "NOT met"

    c = single["curl"]
    for lang, label in (("cpp", "C++"), ("py", "Python")):
        r = single[lang]
        ratio = rate(r) / rate(c)
        rows.append((f"single export {big // MIB} MiB, {label}: throughput",
                     f"{rate(r):.0f} MiB/s", f"curl {rate(c):.0f} MiB/s", f"{ratio:.2f}x", ">= 1.0x",
                     verdict(ratio >= 1.0)))
        rows.append((f"single export {big // MIB} MiB, {label}: CPU per GiB",
                     f"{cpu_per_gib(r):.2f} s", f"curl {cpu_per_gib(c):.2f} s",
                     f"{cpu_per_gib(r) / cpu_per_gib(c):.2f}x", "-", ""))
    c = parallel["curl"]
    for lang, label in (("cpp", "C++"), ("py", "Python")):
        r = parallel[lang]
        ratio = rate(r) / rate(c)
        rows.append((f"parallel 8 x {part // MIB} MiB, limit 8, {label}: aggregate",
                     f"{rate(r):.0f} MiB/s", f"8 curls {rate(c):.0f} MiB/s", f"{ratio:.2f}x", ">= 1.0x",
                     verdict(ratio >= 1.0)))
    for lang, label in (("cpp", "C++"), ("py", "Python")):
        g_big = single[lang]["rss_growth_kib"] / 1024
        g_small = small[lang]["rss_growth_kib"] / 1024
        rows.append((f"memory: peak RSS growth, {label}",
                     f"{g_big:.1f} MiB ({big // MIB} MiB export)", f"{g_small:.1f} MiB ({part // MIB} MiB export)",
                     f"{g_big - g_small:+.1f} MiB", "< 16 MiB, flat", verdict(g_big < 16 and g_big - g_small < 2)))

    p = _aggregate(parser_runs, "BM_")
    pr, pw, pc = p["BM_Parser"], p["BM_PlainWrite"], p["BM_PlainWriteParserCuts"]
    rows.append(("parser: 256 MiB body, 16 KiB pieces: throughput",
                 f"{pr['bytes_per_second'] / MIB:.0f} MiB/s", f"write(2) {pw['bytes_per_second'] / MIB:.0f} MiB/s",
                 f"{pr['bytes_per_second'] / pw['bytes_per_second']:.2f}x", "-", ""))
    rows.append(("parser: 256 MiB body, 16 KiB pieces: CPU",
                 f"{pr['cpu_time']:.0f} ms", f"write(2) {pw['cpu_time']:.0f} ms",
                 f"{pr['cpu_time'] / pw['cpu_time']:.2f}x", "-", ""))
    notes.append(f"parser: write(2) of the same bytes cut where the parser cuts them (mid-page starts) "
                 f"{pc['bytes_per_second'] / MIB:.0f} MiB/s, {pc['cpu_time']:.0f} ms CPU")

    f = _aggregate(frame_runs, "BM_")
    for size in ("1920/h:1080", "3840/h:2160"):
        for nv12, fmt in (("0", "I420"), ("1", "NV12")):
            key = f"w:{size}/nv12:{nv12}"
            unit, cp, ring = f[f"BM_UnitFrame/{key}"], f[f"BM_Memcpy/{key}"], f[f"BM_MemcpyRing/{key}"]
            two = f[f"BM_MemcpyTwoBlocks/{key}"]
            wh = size.replace("/h:", "x")
            # CPU time: the frame path runs on the caller's thread and never
            # waits, so this is its cost even while other processes take turns
            # on the machine's cores.
            ratio = unit["cpu_time"] / cp["cpu_time"]
            rows.append((f"frame {wh} {fmt}: time per frame",
                         f"{unit['cpu_time']:.0f} us", f"memcpy {cp['cpu_time']:.0f} us", f"{ratio:.2f}x",
                         "<= 1.15x", verdict(ratio <= 1.15)))
            notes.append(f"frame {wh} {fmt}: memcpy into two blocks in turn {two['cpu_time']:.0f} us "
                         f"(unit / that {unit['cpu_time'] / two['cpu_time']:.2f}x), into a 64 MiB ring "
                         f"{ring['cpu_time']:.0f} us (unit / that {unit['cpu_time'] / ring['cpu_time']:.2f}x); wall: unit "
                         f"{unit['real_time']:.0f} us, memcpy {cp['real_time']:.0f} us")

    s = _aggregate(sched_runs, "BM_")
    direct = s["BM_DirectRequest"]["real_time"]
    # No goal: the scheduler polls its queue every 100 ms while it is empty
    # and every 50 ms while the limit is reached, so a request waits half a
    # period on average and a whole one at most (plus the machine's wake-up
    # latency); the row shows how close the pool comes to that.
    for name, label, period in (("BM_IdleStart", "scheduling: LoadVideoAsync to server, idle pool", 100),
                                ("BM_FreedSlotStart", "scheduling: freed slot to next start", 50)):
        b = s[name]
        rows.append((label, f"mean {b['real_time']:.1f} ms, max {b['max_ms']:.1f} ms",
                     f"direct connect+send {direct:.2f} ms", f"{b['real_time'] / direct:.0f}x",
                     f"- (poll {period} ms: mean {period // 2}, max {period})", ""))

    for name, data in (("single", single), ("parallel", parallel)):
        for client, r in data.items():
            notes.append(f"{name} {client}: walls " + ", ".join(f"{x['wall_s']:.2f}" for x in r["runs"]) +
                         f" s; simulator CPU {r['sim_cpu_s']:.2f} s (median)")

    widths = [max(len(str(row[i])) for row in rows + [("row", "ours", "anchor", "ratio", "goal", "")])
              for i in range(6)]
    line = lambda cells: "| " + " | ".join(str(c).ljust(w) for c, w in zip(cells, widths)) + " |"
    print("machine: " + header)
    print(line(("row", "ours", "anchor", "ratio", "goal", "")))
    print("|" + "|".join("-" * (w + 2) for w in widths) + "|")
    for row in rows:
        print(line(row))
    print()
    for n in notes:
        print("  " + n)
    print(f"load average after the run: {' '.join(f'{x:.2f}' for x in os.getloadavg())}")


if __name__ == "__main__":
    main()
