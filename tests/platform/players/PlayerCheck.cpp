#include "PlayerCheck.h"

#include <mpv/client.h>
#include <unistd.h>

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <set>
#include <sstream>

#include "platform/ffmpeg/FrameCode.h"
#include "platform/ffmpeg/TestMovies.h"
#include "support/ChildProcess.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/imgutils.h>
#include <libswscale/swscale.h>
}

#ifndef KF_PLAYERS_SOURCE_DIR
#define KF_PLAYERS_SOURCE_DIR "."
#endif

namespace kf::players {
namespace fs = std::filesystem;
namespace tm = kf::testmovies;

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

std::string Seconds(double t) {
  char b[32];
  std::snprintf(b, sizeof b, "%.3f", t);
  return b;
}

// A private temporary folder, removed with its contents.
class TempDir {
 public:
  explicit TempDir(const char* prefix) {
    std::string t = (fs::temp_directory_path() / (std::string(prefix) + "XXXXXX")).string();
    if (::mkdtemp(t.data())) path_ = t;
  }
  ~TempDir() {
    std::error_code ec;
    if (!path_.empty()) fs::remove_all(path_, ec);
  }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

int ReadNumber(const std::uint8_t* data, int w, int h, int stride, tm::PixelLayout layout) {
  return tm::readFrameCode(data, w, h, stride, layout).value_or(-1);
}

// Numbers of image files in `dir`, in name order (the order written).
std::vector<int> ReadImageFolder(const std::string& dir) {
  std::vector<std::string> names;
  for (const auto& e : fs::directory_iterator(dir))
    if (e.is_regular_file()) names.push_back(e.path().string());
  std::sort(names.begin(), names.end());
  std::vector<int> out;
  for (const std::string& n : names) {
    auto frames = tm::decodeFrameNumbers(n);
    out.push_back(frames.ok() && !frames->empty() ? frames->front().number : -1);
  }
  return out;
}

}  // namespace

bool HaveProgram(const std::string& program) {
  if (program.find('/') != std::string::npos) return ::access(program.c_str(), X_OK) == 0;
  const char* path = std::getenv("PATH");
  std::stringstream dirs(path ? path : "/usr/bin:/bin");
  std::string d;
  while (std::getline(dirs, d, ':'))
    if (!d.empty() && ::access((d + "/" + program).c_str(), X_OK) == 0) return true;
  return false;
}

static std::string FindProgram(const std::string& program) {
  if (program.find('/') != std::string::npos) return program;
  const char* path = std::getenv("PATH");
  std::stringstream dirs(path ? path : "/usr/bin:/bin");
  std::string d;
  while (std::getline(dirs, d, ':'))
    if (!d.empty() && ::access((d + "/" + program).c_str(), X_OK) == 0) return d + "/" + program;
  return {};
}

Result<std::vector<int>> ParseFrameList(const std::string& text) {
  std::vector<int> out;
  std::stringstream in(text);
  std::string item;
  auto bad = [&](const std::string& why) {
    return Error{"Kerfline", 1, "Bad frame list \"" + text + "\": " + why};
  };
  while (std::getline(in, item, ',')) {
    item.erase(std::remove_if(item.begin(), item.end(), ::isspace), item.end());
    if (item.empty()) continue;
    const auto dash = item.find('-', 1);
    try {
      std::size_t used = 0;
      const int a = std::stoi(item.substr(0, dash), &used);
      if (used != item.substr(0, dash).size()) return bad(item);
      int b = a;
      if (dash != std::string::npos) {
        b = std::stoi(item.substr(dash + 1), &used);
        if (used != item.size() - dash - 1) return bad(item);
      }
      if (a < 0 || b < a) return bad(item);
      for (int i = a; i <= b; ++i) out.push_back(i);
    } catch (const std::exception&) {
      return bad(item);
    }
  }
  if (out.empty()) return bad("no frames");
  return out;
}

std::string FormatFrameList(const std::vector<int>& frames) {
  std::string s;
  for (std::size_t i = 0; i < frames.size();) {
    std::size_t j = i;
    while (j + 1 < frames.size() && frames[j + 1] == frames[j] + 1 && frames[j] >= 0) ++j;
    if (!s.empty()) s += ",";
    s += std::to_string(frames[i]);
    if (j > i) s += "-" + std::to_string(frames[j]);
    i = j + 1;
  }
  return s;
}

std::vector<SeekProbe> SeekPlan(const std::vector<int>& expected, double rate) {
  std::vector<SeekProbe> out;
  if (rate <= 0) return out;
  int range = 0;
  for (std::size_t i = 0; i < expected.size();) {
    std::size_t j = i;
    while (j + 1 < expected.size() && expected[j + 1] == expected[j] + 1) ++j;
    ++range;
    const std::string r = std::to_string(range);
    const std::size_t m = (i + j) / 2;
    // 1 ms into each frame: libmpv's exact seek shows the first frame that
    // starts at or after 5 ms before the time, a browser the frame whose
    // interval holds the time; both show the frame that starts there.
    const auto at = [&](std::size_t k) { return k / rate + 0.001; };
    out.push_back({at(i), expected[i], "start of range " + r});
    if (m != i && m != j) out.push_back({at(m), expected[m], "middle of range " + r});
    if (j != i) {
      const bool last = j + 1 == expected.size();
      out.push_back({at(j), expected[j], (last ? "last frame of range " : "before junction ") + r});
    }
    i = j + 1;
  }
  return out;
}

Comparison Compare(const std::vector<int>& expected, const Showing& shown) {
  Comparison c;
  std::map<int, std::size_t> pos;
  for (std::size_t i = 0; i < expected.size(); ++i) pos.emplace(expected[i], i);
  std::vector<bool> seen(expected.size(), false), uncaptured(expected.size(), false);
  long last = -1;  // position of the furthest expected frame shown so far
  std::vector<int> pending;
  std::vector<int> collapsed;
  for (std::size_t i = 0; i < shown.frames.size(); ++i) {
    const int f = shown.frames[i];
    if (f < 0) {
      ++c.unreadable;
      continue;
    }
    if (!collapsed.empty() && collapsed.back() == f) continue;  // the same picture again
    collapsed.push_back(f);
    auto it = pos.find(f);
    if (it == pos.end()) {
      (last < 0 ? c.leadIn : pending).push_back(f);
      continue;
    }
    const long p = static_cast<long>(it->second);
    if (!pending.empty()) {
      c.flashes.push_back({expected[last], pending});
      pending.clear();
    }
    // Frames the browser presented without the page capturing them.
    const int gap = i < shown.uncapturedBefore.size() ? shown.uncapturedBefore[i] : 0;
    if (gap > 0 && p > last + 1) {
      const long from = std::max(last + 1, p - gap);
      for (long k = from; k < p; ++k) uncaptured[k] = true;
    }
    if (p < last) c.inOrder = false;
    last = std::max(last, p);
    seen[p] = true;
  }
  c.trailing = pending;
  for (std::size_t i = 0; i < expected.size(); ++i) {
    if (seen[i]) continue;
    (uncaptured[i] ? c.uncaptured : c.missing).push_back(expected[i]);
  }
  for (const SeekLanding& s : shown.seeks) c.wrongSeeks += s.ok() ? 0 : 1;
  std::vector<double> finite;
  for (double d : shown.durations)
    if (std::isfinite(d)) finite.push_back(d);
  for (double d : finite) c.durationChanged = c.durationChanged || std::abs(d - finite.front()) > 0.001;
  c.allKeptShown = c.missing.empty();
  c.exact = shown.unavailable.empty() && shown.failure.empty() && c.allKeptShown && c.inOrder && c.leadIn.empty() &&
            c.flashes.empty() && c.trailing.empty() && c.unreadable == 0 && c.wrongSeeks == 0 && !shown.stalled &&
            !c.durationChanged && !shown.frames.empty();
  return c;
}

std::string Describe(const std::vector<int>& expected, const Showing& s, const Comparison& c) {
  std::ostringstream o;
  o << s.player << ": ";
  if (!s.unavailable.empty()) {
    o << "not run (" << s.unavailable << ")\n";
    return o.str();
  }
  o << (c.exact ? "EXACT" : "DIFFERS") << " — " << s.frames.size() << " frames shown";
  if (s.startTime) o << ", first at " << Seconds(*s.startTime) << " s";
  o << "\n  shown:    " << FormatFrameList(s.frames) << "\n";
  if (!c.exact) o << "  expected: " << FormatFrameList(expected) << "\n";
  if (!s.failure.empty()) o << "  failure: " << s.failure << "\n";
  if (!c.leadIn.empty()) o << "  lead-in before the first kept frame: " << FormatFrameList(c.leadIn) << "\n";
  for (const auto& [after, foreign] : c.flashes)
    o << "  junction flash after " << after << ": " << FormatFrameList(foreign) << "\n";
  if (!c.trailing.empty()) o << "  after the last kept frame: " << FormatFrameList(c.trailing) << "\n";
  if (!c.missing.empty()) o << "  missing: " << FormatFrameList(c.missing) << "\n";
  if (!c.uncaptured.empty())
    o << "  not captured or dropped as late (timing, by the browser's counts): " << FormatFrameList(c.uncaptured)
      << "\n";
  if (!c.inOrder) o << "  kept frames shown again or out of order\n";
  if (c.unreadable) o << "  unreadable pictures: " << c.unreadable << "\n";
  if (!s.seeks.empty()) {
    o << "  seeks: " << (s.seeks.size() - c.wrongSeeks) << " of " << s.seeks.size() << " landed right\n";
    for (const SeekLanding& l : s.seeks)
      if (!l.ok())
        o << "    " << l.probe.what << " (" << Seconds(l.probe.time) << " s): showed " << l.shown << ", want "
          << l.probe.expected << "\n";
  }
  if (s.stalled) o << "  stalled" << (s.froze ? " and never resumed" : "") << "\n";
  if (c.durationChanged) {
    o << "  duration changed " << s.durations.size() - 1 << " times: " << Seconds(s.durations.front()) << " -> "
      << Seconds(s.durations.back()) << " s\n";
  }
  for (const std::string& e : s.events) o << "  event: " << e << "\n";
  return o.str();
}

double ProbeFrameRate(const std::string& path) {
  AVFormatContext* fmt = nullptr;
  if (avformat_open_input(&fmt, path.c_str(), nullptr, nullptr) < 0) return 0;
  double rate = 0;
  if (avformat_find_stream_info(fmt, nullptr) >= 0) {
    const int i = av_find_best_stream(fmt, AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
    if (i >= 0) {
      // The base rate first: the average counts the packets a lossless cut
      // carries before its first kept frame.
      AVRational r = fmt->streams[i]->r_frame_rate;
      if (r.num <= 0 || r.den <= 0 || av_q2d(r) > 240) r = fmt->streams[i]->avg_frame_rate;
      if (r.num > 0 && r.den > 0) rate = av_q2d(r);
    }
  }
  avformat_close_input(&fmt);
  return rate;
}

std::string ProbeVideoCodec(const std::string& path) {
  AVFormatContext* fmt = nullptr;
  if (avformat_open_input(&fmt, path.c_str(), nullptr, nullptr) < 0) return {};
  std::string name;
  if (avformat_find_stream_info(fmt, nullptr) >= 0) {
    const int i = av_find_best_stream(fmt, AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
    if (i >= 0) name = avcodec_get_name(fmt->streams[i]->codecpar->codec_id);
  }
  avformat_close_input(&fmt);
  return name;
}

// ---------------------------------------------------------------- FFmpeg

Showing PlayFfmpeg(const std::string& path, bool ignoreEditList) {
  Showing s;
  s.player = ignoreEditList ? "ffmpeg-ignore-editlist" : "ffmpeg";
  AVDictionary* opts = nullptr;
  if (ignoreEditList) av_dict_set(&opts, "ignore_editlist", "1", 0);
  AVFormatContext* fmt = nullptr;
  int err = avformat_open_input(&fmt, path.c_str(), nullptr, &opts);
  av_dict_free(&opts);
  if (err < 0) {
    s.failure = "cannot open: " + std::to_string(err);
    return s;
  }
  std::unique_ptr<AVFormatContext, void (*)(AVFormatContext*)> fmtOwner(fmt, [](AVFormatContext* f) {
    avformat_close_input(&f);
  });
  if (avformat_find_stream_info(fmt, nullptr) < 0) {
    s.failure = "no stream information";
    return s;
  }
  const AVCodec* codec = nullptr;
  const int index = av_find_best_stream(fmt, AVMEDIA_TYPE_VIDEO, -1, -1, &codec, 0);
  if (index < 0 || !codec) {
    s.failure = "no video";
    return s;
  }
  AVStream* st = fmt->streams[index];
  std::unique_ptr<AVCodecContext, void (*)(AVCodecContext*)> dec(avcodec_alloc_context3(codec),
                                                                 [](AVCodecContext* c) { avcodec_free_context(&c); });
  avcodec_parameters_to_context(dec.get(), st->codecpar);
  if (avcodec_open2(dec.get(), codec, nullptr) < 0) {
    s.failure = "cannot open the decoder";
    return s;
  }
  if (fmt->duration > 0) s.durations.push_back(fmt->duration / double(AV_TIME_BASE));
  AVPacket* pkt = av_packet_alloc();
  AVFrame* frame = av_frame_alloc();
  SwsContext* sws = nullptr;
  std::vector<std::uint8_t> gray;
  auto take = [&] {
    while (avcodec_receive_frame(dec.get(), frame) >= 0) {
      const int w = frame->width, h = frame->height;
      sws = sws_getCachedContext(sws, w, h, AVPixelFormat(frame->format), w, h, AV_PIX_FMT_GRAY8, SWS_POINT,
                                 nullptr, nullptr, nullptr);
      gray.resize(static_cast<std::size_t>(w) * h);
      std::uint8_t* dst[4] = {gray.data(), nullptr, nullptr, nullptr};
      int stride[4] = {w, 0, 0, 0};
      int n = -1;
      if (sws && sws_scale(sws, frame->data, frame->linesize, 0, h, dst, stride) == h)
        n = ReadNumber(gray.data(), w, h, w, tm::PixelLayout::Gray8);
      s.frames.push_back(n);
      const std::int64_t ts = frame->best_effort_timestamp;
      s.times.push_back(ts == AV_NOPTS_VALUE ? kNaN : ts * av_q2d(st->time_base));
      av_frame_unref(frame);
    }
  };
  while (av_read_frame(fmt, pkt) >= 0) {
    if (pkt->stream_index == index && avcodec_send_packet(dec.get(), pkt) >= 0) take();
    av_packet_unref(pkt);
  }
  avcodec_send_packet(dec.get(), nullptr);
  take();
  sws_freeContext(sws);
  av_frame_free(&frame);
  av_packet_free(&pkt);
  if (!s.times.empty()) s.startTime = s.times.front();
  return s;
}

// ---------------------------------------------------------------- libmpv

namespace {

struct Mpv {
  mpv_handle* h = mpv_create();
  ~Mpv() {
    if (h) mpv_terminate_destroy(h);
  }
  bool set(const char* name, const std::string& value) { return mpv_set_option_string(h, name, value.c_str()) >= 0; }
};

// The frame on screen, read from libmpv's copy of it.
int MpvShownFrame(mpv_handle* h) {
  const char* cmd[] = {"screenshot-raw", "video", nullptr};
  mpv_node result;
  if (mpv_command_ret(h, cmd, &result) < 0) return -2;
  int w = 0, hgt = 0, stride = 0, n = -1;
  const mpv_byte_array* bytes = nullptr;
  std::string format;
  if (result.format == MPV_FORMAT_NODE_MAP) {
    for (int i = 0; i < result.u.list->num; ++i) {
      const char* key = result.u.list->keys[i];
      const mpv_node& v = result.u.list->values[i];
      if (!std::strcmp(key, "w") && v.format == MPV_FORMAT_INT64) w = static_cast<int>(v.u.int64);
      if (!std::strcmp(key, "h") && v.format == MPV_FORMAT_INT64) hgt = static_cast<int>(v.u.int64);
      if (!std::strcmp(key, "stride") && v.format == MPV_FORMAT_INT64) stride = static_cast<int>(v.u.int64);
      if (!std::strcmp(key, "format") && v.format == MPV_FORMAT_STRING) format = v.u.string;
      if (!std::strcmp(key, "data") && v.format == MPV_FORMAT_BYTE_ARRAY) bytes = v.u.ba;
    }
  }
  if (bytes && format == "bgr0" && w > 0 && hgt > 0 && stride >= 4 * w &&
      bytes->size >= static_cast<std::size_t>(stride) * hgt)
    n = ReadNumber(static_cast<const std::uint8_t*>(bytes->data), w, hgt, stride, tm::PixelLayout::BGRA);
  mpv_free_node_contents(&result);
  return n;
}

// Waits for an event of `id` (or the end of the file); false on timeout or end.
bool MpvWaitFor(mpv_handle* h, mpv_event_id id, double seconds, std::string* ended = nullptr) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
  while (std::chrono::steady_clock::now() < deadline) {
    mpv_event* e = mpv_wait_event(h, 0.5);
    if (e->event_id == id) return true;
    if (e->event_id == MPV_EVENT_END_FILE) {
      auto* end = static_cast<mpv_event_end_file*>(e->data);
      if (ended) *ended = end->reason == MPV_END_FILE_REASON_ERROR ? mpv_error_string(end->error) : "ended";
      return false;
    }
  }
  if (ended) *ended = "timed out";
  return false;
}

}  // namespace

Showing PlayLibmpv(const std::string& path, const std::vector<SeekProbe>& seeks) {
  Showing s;
  s.player = "libmpv";
  // 1. Play through with the image output: every frame the player presents
  // is written as a picture.
  {
    TempDir dir("kf-libmpv-");
    Mpv mpv;
    if (!mpv.h || dir.path().empty()) {
      s.failure = "cannot create a player";
      return s;
    }
    mpv.set("vo", "image");
    mpv.set("vo-image-format", "png");
    mpv.set("vo-image-outdir", dir.path());
    mpv.set("ao", "null");
    if (mpv_initialize(mpv.h) < 0) {
      s.failure = "cannot start libmpv";
      return s;
    }
    mpv_observe_property(mpv.h, 1, "time-pos", MPV_FORMAT_DOUBLE);
    mpv_observe_property(mpv.h, 2, "duration", MPV_FORMAT_DOUBLE);
    const char* load[] = {"loadfile", path.c_str(), nullptr};
    mpv_command(mpv.h, load);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(600);
    bool done = false;
    while (!done && std::chrono::steady_clock::now() < deadline) {
      mpv_event* e = mpv_wait_event(mpv.h, 1.0);
      if (e->event_id == MPV_EVENT_PROPERTY_CHANGE) {
        auto* p = static_cast<mpv_event_property*>(e->data);
        if (p->format != MPV_FORMAT_DOUBLE) continue;
        const double v = *static_cast<double*>(p->data);
        if (e->reply_userdata == 1 && !s.startTime) s.startTime = v;
        if (e->reply_userdata == 2 && (s.durations.empty() || s.durations.back() != v)) s.durations.push_back(v);
      } else if (e->event_id == MPV_EVENT_END_FILE) {
        auto* end = static_cast<mpv_event_end_file*>(e->data);
        if (end->reason == MPV_END_FILE_REASON_ERROR) s.failure = mpv_error_string(end->error);
        done = true;
      }
    }
    if (!done) s.failure = "did not reach the end";
    mpv_terminate_destroy(mpv.h);  // the pictures are all written after this
    mpv.h = nullptr;
    s.frames = ReadImageFolder(dir.path());
    s.times.assign(s.frames.size(), kNaN);
  }
  if (seeks.empty() || !s.failure.empty()) return s;
  // 2. Paused, seek to each time (libmpv's default seek: exact for
  // absolute times) and read the frame shown.
  Mpv mpv;
  mpv.set("vo", "null");
  mpv.set("ao", "null");
  mpv.set("pause", "yes");
  if (mpv_initialize(mpv.h) < 0) {
    s.failure = "cannot start libmpv";
    return s;
  }
  const char* load[] = {"loadfile", path.c_str(), nullptr};
  mpv_command(mpv.h, load);
  std::string ended;
  if (!MpvWaitFor(mpv.h, MPV_EVENT_PLAYBACK_RESTART, 30, &ended)) {
    s.failure = "seeking: the movie did not load (" + ended + ")";
    return s;
  }
  for (const SeekProbe& p : seeks) {
    const std::string t = std::to_string(p.time);
    const char* seek[] = {"seek", t.c_str(), "absolute", nullptr};
    SeekLanding l{p, -2};
    if (mpv_command(mpv.h, seek) >= 0 && MpvWaitFor(mpv.h, MPV_EVENT_PLAYBACK_RESTART, 30, &ended))
      l.shown = MpvShownFrame(mpv.h);
    s.seeks.push_back(l);
  }
  return s;
}

Showing PlayMpvProgram(const std::string& path, const std::string& program) {
  Showing s;
  s.player = "mpv";
  const std::string exe = FindProgram(program);
  if (exe.empty()) {
    s.unavailable = "the mpv program is not installed";
    return s;
  }
  TempDir dir("kf-mpv-");
  auto r = kf::testing::RunChild(exe,
                                 {"--no-config", "--vo=image", "--vo-image-format=png",
                                  "--vo-image-outdir=" + dir.path(), "--ao=null", "--really-quiet",
                                  "--term-playing-msg=kf-duration ${=duration}", "--", path},
                                 {}, 600);
  if (r.timedOut) s.failure = "timed out";
  else if (r.status != 0) s.failure = "exit status " + std::to_string(r.status) + ": " + r.err;
  const auto at = r.out.find("kf-duration ");
  if (at != std::string::npos) {
    try {
      s.durations.push_back(std::stod(r.out.substr(at + 12)));
    } catch (const std::exception&) {
    }
  }
  s.frames = ReadImageFolder(dir.path());
  s.times.assign(s.frames.size(), kNaN);
  return s;
}

// ---------------------------------------------------------------- Chromium

Showing PlayChromium(const std::string& path, const std::vector<SeekProbe>& seeks, const ChromiumOptions& options) {
  Showing s;
  s.player = "chromium";
  if (!HaveProgram(options.chromium)) {
    s.unavailable = "Chromium is not installed";
    return s;
  }
  const std::string python = FindProgram("python3");
  if (python.empty()) {
    s.unavailable = "python3 is not installed";
    return s;
  }
  const std::string script =
      options.script.empty() ? std::string(KF_PLAYERS_SOURCE_DIR) + "/chromium_check.py" : options.script;
  TempDir dir("kf-chromium-out-");
  std::string times;
  for (const SeekProbe& p : seeks) {
    char b[32];
    std::snprintf(b, sizeof b, "%s%.6f", times.empty() ? "" : ",", p.time);
    times += b;
  }
  char rate[32];
  std::snprintf(rate, sizeof rate, "%g", options.rate);
  auto r = kf::testing::RunChild(python,
                                 {script, path, dir.path(), "--seeks=" + times, std::string("--rate=") + rate,
                                  "--chromium=" + options.chromium,
                                  "--timeout=" + std::to_string(options.timeoutSeconds)},
                                 {}, options.timeoutSeconds + 60);
  if (r.status != 0) {
    s.failure = "chromium_check.py: exit " + std::to_string(r.status) + " " + r.err;
    return s;
  }
  QFile file(QString::fromStdString(dir.path() + "/result.json"));
  if (!file.open(QIODevice::ReadOnly)) {
    s.failure = "no result from the page";
    return s;
  }
  const QJsonObject res = QJsonDocument::fromJson(file.readAll()).object();
  const int w = res["width"].toInt(), h = res["height"].toInt();
  const QJsonObject codecs = res["codecs"].toObject();
  if (!res["error"].isNull()) s.failure = res["error"].toString().toStdString();
  for (const QJsonValue& v : res["log"].toArray()) {
    const QJsonObject e = v.toObject();
    const std::string type = e["type"].toString().toStdString();
    const double ct = e["currentTime"].toDouble();
    if (type == "durationchange") {
      s.durations.push_back(e["duration"].toDouble(kNaN));
      if (s.durations.size() > 1)
        s.events.push_back("duration " + Seconds(s.durations.back()) + " at " + Seconds(ct) + " s");
    } else if (type == "stall") {
      s.stalled = true;
      s.events.push_back("stall (no new frame for 2 s) after the frame at " + Seconds(e["at"].toDouble()) +
                         " s (clock at " + Seconds(ct) + " s)");
    } else if (type == "frozen") {
      s.froze = true;
      s.events.push_back("frozen at " + Seconds(e["at"].toDouble()) + " s, never resumed");
    } else if (type == "play-rejected") {
      s.events.push_back("play() failed: " + e["message"].toString().toStdString());
    } else if (type == "resumed") {
      s.events.push_back("resumed at " + Seconds(ct) + " s after " + Seconds(e["after"].toDouble()) + " s");
    } else if (type == "error") {
      s.events.push_back("error " + std::to_string(e["code"].toInt()) + ": " + e["message"].toString().toStdString());
    } else if (type == "timeout") {
      s.events.push_back("did not end in time, at " + Seconds(ct) + " s");
    }
  }
  if (!res["playedThrough"].toBool() && s.failure.empty())
    s.failure = res["frozenAt"].isNull() ? "did not play to the end" : "froze";
  if (s.failure.find("did not load") != std::string::npos) {
    // A codec the browser says it does not play at all is not a fault of
    // the movie: report it as not run.
    const std::string codec = ProbeVideoCodec(path);
    const char* key = codec == "h264" ? "video/mp4; codecs=\"avc1.64001e\""
                      : codec == "hevc" ? "video/mp4; codecs=\"hvc1.1.6.L93.B0\""
                                        : nullptr;
    if (key && codecs[key].toObject()["canPlayType"].toString().isEmpty()) {
      s.unavailable = "this Chromium does not play " + codec + " (canPlayType \"\")";
      s.failure.clear();
      return s;
    }
  }
  const std::size_t frameBytes = static_cast<std::size_t>(w) * h * 4;
  auto readPixels = [&](const std::string& name, std::size_t count) {
    std::vector<int> numbers;
    std::ifstream in(dir.path() + "/" + name, std::ios::binary);
    std::vector<std::uint8_t> buf(frameBytes);
    for (std::size_t i = 0; i < count && frameBytes > 0; ++i) {
      if (!in.read(reinterpret_cast<char*>(buf.data()), static_cast<std::streamsize>(frameBytes))) {
        numbers.push_back(-1);
        continue;
      }
      numbers.push_back(ReadNumber(buf.data(), w, h, w * 4, tm::PixelLayout::RGBA));
    }
    return numbers;
  };
  const QJsonArray frames = res["frames"].toArray();
  s.frames = readPixels("play.rgba", static_cast<std::size_t>(frames.size()));
  double presented = 0, dropped = 0;
  for (const QJsonValue& v : frames) {
    const QJsonObject f = v.toObject();
    s.times.push_back(f["mediaTime"].toDouble(kNaN));
    const double p = f["presentedFrames"].toDouble(), d = f["dropped"].toDouble();
    int gap = presented > 0 && p > presented + 1 ? static_cast<int>(p - presented - 1) : 0;
    if (d > dropped) gap += static_cast<int>(d - dropped);
    s.uncapturedBefore.push_back(gap);
    presented = p;
    dropped = std::max(dropped, d);
  }
  if (!s.times.empty()) s.startTime = s.times.front();
  const QJsonArray seekResults = res["seeks"].toArray();
  const std::vector<int> landed = readPixels("seek.rgba", static_cast<std::size_t>(seekResults.size()));
  for (std::size_t i = 0; i < seeks.size(); ++i) {
    SeekLanding l{seeks[i], i < landed.size() ? landed[i] : -2};
    if (i < static_cast<std::size_t>(seekResults.size()) && !seekResults[int(i)].toObject()["seeked"].toBool())
      s.events.push_back("no 'seeked' for " + seeks[i].what);
    s.seeks.push_back(l);
  }
  return s;
}

}  // namespace kf::players
