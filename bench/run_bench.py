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
first_picture_watch = os.path.join(build, "bench/window/kerfline_bench_first_picture")
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


def movie_10min_phone_rate(short):
    """The 10-minute movie at a phone camera's rate (14 Mbit/s, about 1 GB):
    the short movie with moving grain, encoded once, joined 30 times."""
    path = os.path.join(cache, "bench-1080p-10min-14mbps.mp4")
    if not os.path.exists(path):
        grain = path + ".20s.mp4"
        sh(["ffmpeg", "-v", "error", "-i", short, "-vf", "noise=alls=20:allf=t", "-c:v", "libx264", "-preset",
            "ultrafast", "-b:v", "14M", "-maxrate", "14M", "-bufsize", "28M", "-c:a", "copy", "-y", grain])
        with tempfile.NamedTemporaryFile("w", suffix=".txt", delete=False) as f:
            f.write(f"file '{grain}'\n" * 30)
        sh(["ffmpeg", "-v", "error", "-f", "concat", "-safe", "0", "-i", f.name, "-c", "copy", "-y", path + ".tmp.mp4"])
        os.unlink(f.name)
        os.unlink(grain)
        os.rename(path + ".tmp.mp4", path)
    return path


def parse(line):
    return {k: float(v) for k, v in (kv.split("=") for kv in line.split())}


def last_line(text):
    lines = [l for l in text.splitlines() if "=" in l]
    return parse(lines[-1])


def band_colour(movie):
    """The colour of the band under the frame number in the movie's first
    frame, as R,G,B."""
    rgb = subprocess.run(["ffmpeg", "-v", "error", "-i", movie, "-frames:v", "1", "-vf", "crop=2:2:100:810,format=rgb24",
                          "-f", "rawvideo", "-"], check=True, stdout=subprocess.PIPE).stdout
    return f"{rgb[0]},{rgb[1]},{rgb[2]}"


def first_picture(cmd, colour):
    """Seconds from starting cmd until the movie's first picture is on the
    screen, seen by the same watcher for every program. No session bus: the
    program's question to a running window fails at once, as a desktop's
    bus answers it in a few milliseconds."""
    e = fresh_env()
    e["DBUS_SESSION_BUS_ADDRESS"] = "unix:path=/nonexistent"
    out = subprocess.run([first_picture_watch, colour, "300", "--", *cmd], env=e, check=True, stdout=subprocess.PIPE,
                         stderr=subprocess.DEVNULL, text=True).stdout
    return parse(out.strip())["first_picture_s"]


rows = []


def row(name, ours, theirs, unit, goal):
    o, t = statistics.median(ours), statistics.median(theirs)
    ratio = (o / t) if t > 0 else float("inf") if o > 0 else 1.0
    rows.append((name, f"{o:.2f} {unit}", f"{t:.2f} {unit}", f"{ratio:.2f}" if t > 0 else "-", goal))


def main():
    m = movie_1080()
    long_movie = movie_10min(m)
    colour = band_colour(m)
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
        # The program as users start it, against mpv with the same sound
        # outputs and decoder choice, its window the size of our picture;
        # twice a run, each first once.
        launches = {"ours": [kerfline, m],
                    "mpv": ["mpv", "--no-config", "--vo=gpu", "--gpu-sw=yes", "--ao=pipewire,pulse,alsa,jack",
                            "--hwdec=auto-safe", "--keep-open=yes", "--idle=yes", "--force-window=yes",
                            f"--geometry={size}", "--pause", "--really-quiet", m]}
        for order in (("ours", "mpv"), ("mpv", "ours")):
            for who in order:
                ff[who].append(first_picture(launches[who], colour))

    def col(mode, who, key):
        return [r[key] for r in w[mode][who]]

    row("idle, empty window: processor", col("empty", "ours", "cpu"), col("empty", "mpv", "cpu"), "% core", "< 1 %")
    row("idle, paused 1080p: processor", col("paused", "ours", "cpu"), col("paused", "mpv", "cpu"), "% core", "< 1 %")
    row("playing 1080p: processor", col("playing", "ours", "cpu"), col("playing", "mpv", "cpu"), "% core", "<= 1.1x")
    row("playing 1080p: frames presented", col("playing", "ours", "fps"), col("playing", "mpv", "fps"), "/s",
        "30 of 30")
    row("playing 1080p: resident memory", col("playing", "ours", "rss_mb"), col("playing", "mpv", "rss_mb"), "MB",
        "<= 1.2x")
    row("launch to first picture on screen", ff["ours"], ff["mpv"], "s", "<= 1.2x")

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
    # against cp followed by sync of the copy; at the synthetic movie's low
    # rate (where starting the program weighs) and at a phone camera's.
    for movie in (long_movie, movie_10min_phone_rate(m)):
        # Each copy starts with the source read into the page cache (it may
        # not keep a large one from one copy to the next); the order
        # alternates.
        ours, theirs = [], []

        def warm():
            with open(movie, "rb") as f:
                while f.read(1 << 24):
                    pass

        def copy_ours():
            warm()
            o = os.path.join(out, "ours.mp4")
            t0 = time.time()
            sh([kerfline, "--export", movie, "-o", o])
            ours.append(time.time() - t0)
            os.unlink(o)

        def copy_theirs():
            warm()
            t = os.path.join(out, "cp.mp4")
            t0 = time.time()
            sh(["cp", movie, t])
            sh(["sync", t])
            theirs.append(time.time() - t0)
            os.unlink(t)

        for i in range(runs):
            for step in ((copy_ours, copy_theirs) if i % 2 == 0 else (copy_theirs, copy_ours)):
                step()
        row(f"byte copy, untouched 10 min 1080p ({os.path.getsize(movie) / 1e6:.0f} MB)", ours, theirs, "s", "<= 1.05x")
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
