#!/usr/bin/env python3
"""Plays a movie in headless Chromium and records what the page saw.

A local HTTP server (127.0.0.1, a free port, byte ranges supported so the
browser can seek) serves a small page and the movie. The page
  1. plays the movie through, capturing every presented frame
     (requestVideoFrameCallback, drawn into a small canvas) with the frame's
     media time and the browser's counts of presented frames and of frames
     dropped for lateness, and watches for stalls (no new frame for more
     than 2 s), waiting/error events and duration changes;
  2. pauses and seeks to each requested time, capturing the frame shown
     after 'seeked';
  3. posts its log and the captured pixels back to the server.

Written to OUT_DIR: result.json (log, per-frame metadata, seeks, codecs the
browser says it plays) and play.rgba / seek.rgba (the captured frames, each
width x height RGBA, in order). Reading the numbers off the pixels is the
C++ side's job (the same reader the tests use).

Exit status: 0 when the page reported, 3 when Chromium is missing, 4 on a
timeout (nothing reported), 2 on bad arguments.
"""

import argparse
import http.server
import json
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import time

PAGE = r"""<!doctype html>
<html><head><meta charset="utf-8"><title>player check</title></head>
<body style="margin:0;background:#000">
<script>
"use strict";
const q = new URLSearchParams(location.search);
const seeks = JSON.parse(q.get("seeks") || "[]");
const rate = parseFloat(q.get("rate") || "1");
const stallLimit = 2.0;      // seconds without a new frame: a stall
const frozenLimit = 8.0;     // seconds without a new frame: give up playing
const log = [];
const t0 = performance.now();
const wall = () => (performance.now() - t0) / 1000;
const v = document.createElement("video");
v.muted = true;
v.preload = "auto";
v.playsInline = true;
document.body.appendChild(v);
function note(type, extra) {
  const e = Object.assign({type: type, wall: wall(), currentTime: v.currentTime}, extra || {});
  log.push(e);
}
for (const ev of ["loadedmetadata", "canplay", "playing", "waiting", "stalled", "ended", "seeking", "seeked"])
  v.addEventListener(ev, () => note(ev));
v.addEventListener("durationchange", () => note("durationchange", {duration: v.duration}));
v.addEventListener("error", () => note("error", {code: v.error ? v.error.code : 0,
                                                 message: v.error ? v.error.message : ""}));

const codecs = {};
for (const c of ['video/mp4; codecs="avc1.64001e"', 'video/mp4; codecs="hvc1.1.6.L93.B0"',
                 'video/mp4; codecs="hev1.1.6.L93.B0"', 'video/mp4; codecs="vp09.00.10.08"',
                 'video/mp4; codecs="av01.0.04M.08"', 'video/webm; codecs="vp9"',
                 'video/mp4; codecs="mp4a.40.2"'])
  codecs[c] = {canPlayType: v.canPlayType(c),
               mediaSource: !!(window.MediaSource && MediaSource.isTypeSupported(c))};

let W = 0, H = 0, ctx = null;
function capture() {
  ctx.drawImage(v, 0, 0, W, H);
  return ctx.getImageData(0, 0, W, H).data;
}
const sleep = ms => new Promise(r => setTimeout(r, ms));
function once(ev, ms) {
  return new Promise(resolve => {
    let timer = null;
    const h = () => { clearTimeout(timer); resolve(true); };
    v.addEventListener(ev, h, {once: true});
    timer = setTimeout(() => { v.removeEventListener(ev, h); resolve(false); }, ms);
  });
}
function nextFrame(ms) {
  return new Promise(resolve => {
    let done = false;
    v.requestVideoFrameCallback((now, md) => { if (!done) { done = true; resolve(md); } });
    setTimeout(() => { if (!done) { done = true; resolve(null); } }, ms);
  });
}

async function post(path, body) {
  await fetch(path, {method: "POST", body: body});
}
async function postPixels(path, chunks) {
  await post(path, new Blob(chunks));
}

async function main() {
  const result = {codecs: codecs, log: log, frames: [], seeks: [], width: 0, height: 0,
                  playedThrough: false, frozenAt: null, error: null};
  const play = [], seekPixels = [];
  try {
    v.src = "/movie";
    const loaded = await Promise.race([once("loadedmetadata", 20000),
                                       once("error", 20000).then(() => false)]);
    if (!loaded || v.error) throw new Error("the movie did not load" + (v.error ? ": " + v.error.message : ""));
    if (!v.videoWidth || !v.videoHeight)
      throw new Error("the movie did not load a picture (the browser decodes no video track in it)");
    result.videoWidth = v.videoWidth;
    result.videoHeight = v.videoHeight;
    result.initialDuration = v.duration;
    W = 128;
    H = Math.max(2, Math.round(W * v.videoHeight / v.videoWidth / 2) * 2);
    result.width = W;
    result.height = H;
    const canvas = document.createElement("canvas");
    canvas.width = W;
    canvas.height = H;
    ctx = canvas.getContext("2d", {willReadFrequently: true});

    // 1. Play through, capturing each presented frame.
    let playing = true;
    const onFrame = (now, md) => {
      if (!playing) return;
      play.push(capture());
      const quality = v.getVideoPlaybackQuality();
      result.frames.push({mediaTime: md.mediaTime, presentedFrames: md.presentedFrames,
                          dropped: quality.droppedVideoFrames, currentTime: v.currentTime, wall: wall()});
      v.requestVideoFrameCallback(onFrame);
    };
    v.requestVideoFrameCallback(onFrame);
    v.playbackRate = rate;
    const ended = once("ended", 1e9);
    v.play().catch(e => note("play-rejected", {message: String(e && e.message || e)}));
    // Progress is a newly presented frame: the clock can run on with the
    // sound while the picture stands still.
    let count = result.frames.length, since = wall(), stalled = false;
    const limit = wall() + 20 + 3 * (isFinite(v.duration) ? v.duration : 60) / rate;
    while (!v.ended && wall() < limit) {
      const r = await Promise.race([ended.then(() => "ended"), sleep(100).then(() => "tick")]);
      if (r === "ended") break;
      if (v.error) {  // the pipeline is dead: nothing more will be shown
        const f = result.frames[result.frames.length - 1];
        result.frozenAt = f ? f.mediaTime : 0;
        note("frozen", {at: result.frozenAt});
        break;
      }
      if (result.frames.length !== count) {
        if (stalled) note("resumed", {after: wall() - since});
        count = result.frames.length; since = wall(); stalled = false;
      } else if (!stalled && wall() - since > stallLimit) {
        stalled = true;
        const f = result.frames[result.frames.length - 1];
        note("stall", {at: f ? f.mediaTime : null});
      } else if (stalled && wall() - since > frozenLimit) {
        const f = result.frames[result.frames.length - 1];
        result.frozenAt = f ? f.mediaTime : 0;
        note("frozen", {at: result.frozenAt});
        break;
      }
    }
    result.playedThrough = v.ended;
    if (!v.ended && result.frozenAt === null) note("timeout", {});
    await sleep(200);
    playing = false;
    v.pause();
    result.finalDuration = v.duration;

    // 2. Seek to each time and capture the frame shown.
    for (const t of seeks) {
      if (v.error) {
        result.seeks.push({target: t, seeked: false, currentTime: v.currentTime, mediaTime: null});
        seekPixels.push(capture());
        continue;
      }
      const seeked = once("seeked", 8000);
      const shown = nextFrame(8000);
      v.currentTime = t;
      const ok = await seeked;
      let md = await Promise.race([shown, sleep(1500).then(() => null)]);
      const entry = {target: t, seeked: ok, currentTime: v.currentTime,
                     mediaTime: md ? md.mediaTime : null};
      seekPixels.push(capture());
      result.seeks.push(entry);
    }
  } catch (e) {
    result.error = String(e && e.message || e);
  }
  await postPixels("/pixels/play", play);
  await postPixels("/pixels/seek", seekPixels);
  await post("/result", JSON.stringify(result));
}
main();
</script></body></html>
"""


class Handler(http.server.BaseHTTPRequestHandler):
    server_version = "players-check"

    def log_message(self, fmt, *args):  # quiet
        pass

    def do_GET(self):
        path = self.path.split("?", 1)[0]
        if path in ("/", "/index.html"):
            body = PAGE.encode()
            self.send_response(200)
            self.send_header("Content-Type", "text/html; charset=utf-8")
            self.send_header("Content-Length", str(len(body)))
            self.end_headers()
            self.wfile.write(body)
            return
        if path != "/movie":
            self.send_error(404)
            return
        movie = self.server.movie
        size = os.path.getsize(movie)
        start, end = 0, size - 1
        rng = self.headers.get("Range")
        partial = False
        if rng and rng.startswith("bytes="):
            a, _, b = rng[6:].split(",")[0].partition("-")
            try:
                if a:
                    start = int(a)
                    if b:
                        end = min(int(b), size - 1)
                elif b:
                    start = max(0, size - int(b))
                partial = True
            except ValueError:
                partial = False
            if start >= size or start > end:
                self.send_response(416)
                self.send_header("Content-Range", "bytes */%d" % size)
                self.end_headers()
                return
        self.send_response(206 if partial else 200)
        self.send_header("Content-Type", self.server.mime)
        self.send_header("Accept-Ranges", "bytes")
        self.send_header("Content-Length", str(end - start + 1))
        if partial:
            self.send_header("Content-Range", "bytes %d-%d/%d" % (start, end, size))
        self.end_headers()
        try:
            with open(movie, "rb") as f:
                f.seek(start)
                left = end - start + 1
                while left > 0:
                    chunk = f.read(min(left, 1 << 16))
                    if not chunk:
                        break
                    self.wfile.write(chunk)
                    left -= len(chunk)
        except (BrokenPipeError, ConnectionResetError):
            pass

    def do_POST(self):
        length = int(self.headers.get("Content-Length", "0"))
        data = self.rfile.read(length) if length else b""
        names = {"/pixels/play": "play.rgba", "/pixels/seek": "seek.rgba", "/result": "result.json"}
        name = names.get(self.path)
        if not name:
            self.send_error(404)
            return
        with open(os.path.join(self.server.out_dir, name), "wb") as f:
            f.write(data)
        self.send_response(200)
        self.send_header("Content-Length", "0")
        self.end_headers()
        if name == "result.json":
            self.server.done.set()


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("movie")
    ap.add_argument("out_dir")
    ap.add_argument("--seeks", default="", help="comma-separated times in seconds")
    ap.add_argument("--rate", type=float, default=0.5, help="playback rate while capturing")
    ap.add_argument("--timeout", type=float, default=300)
    ap.add_argument("--chromium", default=os.environ.get("KERFLINE_CHROMIUM", "chromium"))
    args = ap.parse_args()
    if not os.path.isfile(args.movie):
        print("no such movie: " + args.movie, file=sys.stderr)
        return 2
    chromium = shutil.which(args.chromium)
    if not chromium:
        print("Chromium not found (" + args.chromium + ")", file=sys.stderr)
        return 3
    os.makedirs(args.out_dir, exist_ok=True)
    seeks = [float(s) for s in args.seeks.split(",") if s.strip()]

    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
    server.daemon_threads = True
    server.movie = args.movie
    ext = os.path.splitext(args.movie)[1].lower()
    server.mime = {".webm": "video/webm", ".mkv": "video/x-matroska", ".mov": "video/quicktime"}.get(ext, "video/mp4")
    server.out_dir = args.out_dir
    server.done = threading.Event()
    threading.Thread(target=server.serve_forever, daemon=True).start()
    url = "http://127.0.0.1:%d/?seeks=%s&rate=%s" % (server.server_address[1], json.dumps(seeks).replace(" ", ""),
                                                    args.rate)
    profile = tempfile.mkdtemp(prefix="kf-chromium-")
    cmd = [chromium, "--headless=new", "--autoplay-policy=no-user-gesture-required", "--mute-audio",
           "--disable-gpu", "--no-first-run", "--no-default-browser-check", "--disable-extensions",
           "--disable-background-timer-throttling", "--disable-renderer-backgrounding",
           "--disable-backgrounding-occluded-windows", "--window-size=640,480",
           "--user-data-dir=" + profile, url]
    if os.geteuid() == 0:
        cmd.insert(1, "--no-sandbox")
    proc = subprocess.Popen(cmd, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, start_new_session=True)
    try:
        ok = server.done.wait(args.timeout)
    finally:
        # The browser and its helpers form the process group started above.
        try:
            os.killpg(proc.pid, signal.SIGTERM)
            proc.wait(10)
        except (ProcessLookupError, subprocess.TimeoutExpired):
            try:
                os.killpg(proc.pid, signal.SIGKILL)
            except ProcessLookupError:
                pass
            proc.wait()
        server.shutdown()
        shutil.rmtree(profile, ignore_errors=True)
    if not ok:
        print("Chromium reported nothing within %g s" % args.timeout, file=sys.stderr)
        return 4
    print(os.path.join(args.out_dir, "result.json"))
    return 0


if __name__ == "__main__":
    sys.exit(main())
