#!/usr/bin/env python3
"""The mpv program measured as kerfline_bench_window measures the window.

  mpv_probe.py [--size WxH] empty SECONDS | paused MOVIE SECONDS |
               playing MOVIE SECONDS

Starts `mpv` with its own OpenGL output (no configuration, no sound device),
waits for its first picture, and prints the same key=value line: cpu
(percent of one core, every thread), rss_mb, fps (frames presented per
second: frames shown minus those dropped by the output and the decoder)
and drops. --size sets its window (the picture area) to the size of
the program's picture (default 980x700), so both draw as many pixels.
"""
import json, os, socket, subprocess, sys, tempfile, time

TICK = os.sysconf("SC_CLK_TCK")


def cpu_seconds(pid):
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / TICK


def rss_mb(pid):
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1]) / 1024
    return 0


class Ipc:
    def __init__(self, path, deadline):
        while True:
            try:
                self.s = socket.socket(socket.AF_UNIX)
                self.s.connect(path)
                break
            except OSError:
                if time.time() > deadline:
                    raise
                time.sleep(0.002)
        self.buf = b""

    def get(self, name):
        self.s.sendall(json.dumps({"command": ["get_property", name], "request_id": 1}).encode() + b"\n")
        while True:
            while b"\n" not in self.buf:
                self.buf += self.s.recv(65536)
            line, self.buf = self.buf.split(b"\n", 1)
            msg = json.loads(line)
            if msg.get("request_id") == 1:
                return msg.get("data")


def main():
    geometry = "980x700"
    if sys.argv[1] == "--size":
        geometry = sys.argv[2]
        del sys.argv[1:3]
    mode = sys.argv[1]
    movie = sys.argv[2] if mode != "empty" else None
    seconds = float(sys.argv[-1])
    sock = tempfile.mktemp(prefix="mpvprobe")
    args = ["mpv", "--no-config", "--vo=gpu", "--gpu-sw=yes", "--ao=null", "--keep-open=yes", "--idle=yes", "--force-window=yes",
            f"--geometry={geometry}", f"--input-ipc-server={sock}", "--really-quiet"]
    if mode == "paused":
        args.append("--pause")
    if movie:
        args.append(movie)
    p = subprocess.Popen(args, stdin=subprocess.DEVNULL)
    try:
        ipc = Ipc(sock, time.time() + 20)
        if movie:
            # The first picture: the output is configured with a frame.
            while not (ipc.get("vo-configured") and ipc.get("estimated-frame-number") is not None):
                time.sleep(0.002)
        time.sleep(2 if mode == "empty" else 1.5)

        def counters():
            n = ipc.get("estimated-frame-number") or 0
            d = (ipc.get("frame-drop-count") or 0) + (ipc.get("decoder-frame-drop-count") or 0)
            return n, d

        n0, d0 = counters() if movie else (0, 0)
        c0, w0 = cpu_seconds(p.pid), time.time()
        time.sleep(seconds)
        c1, w1 = cpu_seconds(p.pid), time.time()
        n1, d1 = counters() if movie else (0, 0)
        wall = w1 - w0
        shown = (n1 - n0) - (d1 - d0) if mode == "playing" else 0
        print(f"cpu={100 * (c1 - c0) / wall:.2f} rss_mb={rss_mb(p.pid):.1f} fps={shown / wall:.2f} drops={d1 - d0}")
    finally:
        p.terminate()
        p.wait()
        try:
            os.unlink(sock)
        except OSError:
            pass


main()
