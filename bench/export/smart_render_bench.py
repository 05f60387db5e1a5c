#!/usr/bin/env python3
"""Smart render against the other two export modes: ten 3-second ranges,
each starting inside a group of pictures, from a 10-minute 1080p movie,
written by `kerfline --export` in smart, lossless and re-encode mode. Time
(wall clock, the output synced) and output size; medians of alternating
runs. The reference columns are our own lossless stream copy and full
re-encode, as the mode sits between them.

Standalone: smart_render_bench.py KERFLINE MOVIE [RUNS]
From run_bench.py: measure(kerfline, movie, runs) gives table rows."""
import os, statistics, subprocess, sys, tempfile, time

RANGES = [(i * 60 + 1.37, i * 60 + 4.37) for i in range(10)]


def export(kerfline, movie, mode, out):
    keep = ",".join(f"{a:g}-{b:g}" for a, b in RANGES)
    t0 = time.time()
    subprocess.run([kerfline, "--export", movie, "-o", out, "--keep", keep, "--mode", mode], check=True,
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    subprocess.run(["sync", out], check=True)
    return time.time() - t0, os.path.getsize(out)


def measure(kerfline, movie, runs):
    """[(name, ours, reference, unit)] with lists of values per run."""
    folder = tempfile.mkdtemp(prefix="kfbench-smart")
    got = {m: ([], []) for m in ("smart", "lossless", "reencode")}
    try:
        for _ in range(runs):
            for mode in got:
                out = os.path.join(folder, mode + ".mp4")
                t, size = export(kerfline, movie, mode, out)
                got[mode][0].append(t)
                got[mode][1].append(size / 1048576.0)
                os.unlink(out)
    finally:
        subprocess.run(["rm", "-rf", folder])
    s, l, r = got["smart"], got["lossless"], got["reencode"]
    return [("smart render, 10 ranges of 10 min 1080p: time vs lossless", s[0], l[0], "s"),
            ("smart render, 10 ranges of 10 min 1080p: time vs re-encode", s[0], r[0], "s"),
            ("smart render, 10 ranges: size vs lossless", s[1], l[1], "MB"),
            ("smart render, 10 ranges: size vs re-encode", s[1], r[1], "MB")]


def main():
    kerfline, movie = sys.argv[1], sys.argv[2]
    runs = int(sys.argv[3]) if len(sys.argv) > 3 else 3
    load = open("/proc/loadavg").read().split()[:3]
    rows = measure(kerfline, movie, runs)
    print(f"smart render benchmark: medians of {runs} alternating runs; load before {' '.join(load)}, "
          f"after {' '.join(open('/proc/loadavg').read().split()[:3])} ({os.cpu_count()} processors)")
    for name, ours, ref, unit in rows:
        o, t = statistics.median(ours), statistics.median(ref)
        print(f"{name:62s} smart {o:9.2f} {unit:2s}  reference {t:9.2f} {unit:2s}  ratio {o / t:6.2f}")


if __name__ == "__main__":
    main()
