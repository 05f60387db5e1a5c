#!/usr/bin/env python3
"""Runs the window and export benchmarks against the reference programs and
prints one table (medians of alternating runs) with the machine's load.
Called by scripts/bench.sh, which builds everything first and provides the
display (Xvfb). Usage: run_bench.py BUILD_DIR CACHE_DIR RUNS"""
import os, statistics, subprocess, sys, tempfile, time

build, cache, runs = sys.argv[1], sys.argv[2], int(sys.argv[3])
here = os.path.dirname(os.path.abspath(__file__))
kerfline = os.path.join(build, "src/app/shell/kerfline")
window = os.path.join(build, "bench/window/kerfline_bench_window")
probe = [sys.executable, os.path.join(here, "window/mpv_probe.py")]
genmovie = os.path.join(build, "tools/genmovie/kerfline-genmovie")
os.makedirs(cache, exist_ok=True)
env = dict(os.environ)
env.pop("QT_QPA_PLATFORM", None)  # the real display (Xvfb): the OpenGL path
homes = tempfile.mkdtemp(prefix="kfbench-home")


def fresh_env():
    """A new home for every run: a run must not resume where the last one
    stopped (the window remembers each movie's playhead) or find its
    window geometry."""
    e = dict(env)
    e["HOME"] = tempfile.mkdtemp(dir=homes)
    return e


def sh(args, **kw):
    return subprocess.run(args, env=fresh_env(), check=True, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                          text=True, **kw).stdout


def movie_1080():
    path = os.path.join(cache, "bench-1080p-20s.mp4")
    if not os.path.exists(path):
        sh([genmovie, "h264", "--size", "1920x1080", "--fps", "30", "--seconds", "20", "-o", path + ".tmp.mp4"])
        os.rename(path + ".tmp.mp4", path)
    return path


def movie_10min(short):
    path = os.path.join(cache, "bench-1080p-10min.mp4")
    if not os.path.exists(path):
        with tempfile.NamedTemporaryFile("w", suffix=".txt", delete=False) as f:
            f.write(f"file '{short}'\n" * 30)
        sh(["ffmpeg", "-v", "error", "-f", "concat", "-safe", "0", "-i", f.name, "-c", "copy", "-y", path + ".tmp.mp4"])
        os.unlink(f.name)
        os.rename(path + ".tmp.mp4", path)
    return path


def parse(line):
    return {k: float(v) for k, v in (kv.split("=") for kv in line.split())}


def last_line(text):
    lines = [l for l in text.splitlines() if "=" in l]
    return parse(lines[-1])


def first_frame(cmd, marker):
    t0 = time.time()
    p = subprocess.Popen(cmd, env=fresh_env(), stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
    for line in p.stdout:
        if marker in line:
            t = time.time() - t0
            if "=" in line:
                t = parse(line)[line.split("=")[0]]
            break
    p.wait()
    return t


rows = []


def row(name, ours, theirs, unit, goal):
    o, t = statistics.median(ours), statistics.median(theirs)
    ratio = (o / t) if t > 0 else float("inf") if o > 0 else 1.0
    rows.append((name, f"{o:.2f} {unit}", f"{t:.2f} {unit}", f"{ratio:.2f}" if t > 0 else "-", goal))


def main():
    m = movie_1080()
    long_movie = movie_10min(m)
    load_before = open("/proc/loadavg").read().split()[:3]

    w = {k: {"ours": [], "mpv": []} for k in ("empty", "paused", "playing")}
    ff = {"ours": [], "mpv": []}
    # mpv's window is given the size of our picture: drawing (and, with
    # software OpenGL, scaling) the picture costs in proportion to its area.
    size = "980x700"
    for _ in range(runs):
        for mode, secs in (("empty", 5), ("paused", 5), ("playing", 8)):
            margs = [] if mode == "empty" else [m]
            ours = last_line(sh([window, mode, *margs, str(secs)]))
            if mode != "empty" and ours.get("width", 0) > 0:
                size = f"{int(ours['width'])}x{int(ours['height'])}"
            w[mode]["ours"].append(ours)
            w[mode]["mpv"].append(last_line(sh([*probe, "--size", size, mode, *margs, str(secs)])))
        ff["ours"].append(first_frame([window, "first-frame", m], "first-frame"))
        ff["mpv"].append(first_frame([*probe, "--size", size, "first-frame", m], "first_frame_s"))

    def col(mode, who, key):
        return [r[key] for r in w[mode][who]]

    row("idle, empty window: processor", col("empty", "ours", "cpu"), col("empty", "mpv", "cpu"), "% core", "< 1 %")
    row("idle, paused 1080p: processor", col("paused", "ours", "cpu"), col("paused", "mpv", "cpu"), "% core", "< 1 %")
    row("playing 1080p: processor", col("playing", "ours", "cpu"), col("playing", "mpv", "cpu"), "% core", "<= 1.1x")
    row("playing 1080p: frames presented", col("playing", "ours", "fps"), col("playing", "mpv", "fps"), "/s",
        "30 of 30")
    row("playing 1080p: resident memory", col("playing", "ours", "rss_mb"), col("playing", "mpv", "rss_mb"), "MB",
        "<= 1.2x")
    row("launch to first frame", ff["ours"], ff["mpv"], "s", "<= 1.2x")

    # Lossless joins from the 10-minute movie: kerfline --export against
    # ffmpeg's concat of the same ranges followed by sync of the output.
    out = tempfile.mkdtemp(prefix="kfbench-join", dir=cache)
    for n in (1, 10, 100):
        step = 600.0 / n
        ranges = [(i * step + 1, i * step + 1 + step / 2) for i in range(n)]
        keep = ",".join(f"{a:g}-{b:g}" for a, b in ranges)
        lst = os.path.join(out, f"list{n}.txt")
        with open(lst, "w") as f:
            for a, b in ranges:
                f.write(f"file '{long_movie}'\ninpoint {a:g}\noutpoint {b:g}\n")
        ours, theirs = [], []
        for _ in range(runs):
            o = os.path.join(out, "ours.mp4")
            t0 = time.time()
            sh([kerfline, "--export", long_movie, "-o", o, "--keep", keep, "--mode", "lossless"])
            ours.append(time.time() - t0)
            os.unlink(o)
            t = os.path.join(out, "ffmpeg.mp4")
            t0 = time.time()
            sh(["ffmpeg", "-v", "error", "-f", "concat", "-safe", "0", "-i", lst, "-c", "copy", "-y", t])
            sh(["sync", t])
            theirs.append(time.time() - t0)
            os.unlink(t)
        row(f"lossless join, {n} range{'s' if n > 1 else ''} of 10 min 1080p", ours, theirs, "s", "<= 1.0x")
    # The untouched movie exported under its own container: a byte copy,
    # against cp followed by sync of the copy.
    ours, theirs = [], []
    for _ in range(runs):
        o = os.path.join(out, "ours.mp4")
        t0 = time.time()
        sh([kerfline, "--export", long_movie, "-o", o])
        ours.append(time.time() - t0)
        os.unlink(o)
        t = os.path.join(out, "cp.mp4")
        t0 = time.time()
        sh(["cp", long_movie, t])
        sh(["sync", t])
        theirs.append(time.time() - t0)
        os.unlink(t)
    row(f"byte copy, untouched 10 min 1080p ({os.path.getsize(long_movie) / 1e6:.0f} MB)", ours, theirs, "s",
        "<= 1.05x")
    subprocess.run(["rm", "-rf", out, homes])

    # Smart render against our lossless copy and full re-encode (the
    # reference column here is our own other mode).
    sys.path.insert(0, os.path.join(here, "export"))
    import smart_render_bench
    for name, ours, theirs, unit in smart_render_bench.measure(kerfline, long_movie, runs):
        row(name, ours, theirs, unit, "-")

    load_after = open("/proc/loadavg").read().split()[:3]
    width = [max(len(r[i]) for r in rows + [("measure", "kerfline", "reference", "ratio", "goal")]) for i in range(5)]
    head = ("measure", "kerfline", "reference", "ratio", "goal")
    print(f"Kerfline benchmarks: medians of {runs} alternating runs; reference: mpv (--vo=gpu, software OpenGL, "
          f"window {size}, the size of Kerfline's picture), ffmpeg + sync")
    print(f"load average before: {' '.join(load_before)}   after: {' '.join(load_after)}   "
          f"({os.cpu_count()} processors; {subprocess.run(['uptime'], stdout=subprocess.PIPE, text=True).stdout.strip()})")
    for r in [head] + rows:
        print("  ".join(c.ljust(width[i]) for i, c in enumerate(r)))


main()
