#include "app/cli/ExportCommand.h"

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstring>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <optional>

#include "app/cli/TerminalProgress.h"
#include "app/rules/SettingsStore.h"
#include "base/ManualScheduler.h"
#include "edit/EditState.h"
#include "export/controller/ExportController.h"
#include "export/files/FailureAdvice.h"
#include "export/files/FileOps.h"
#include "export/naming/ExportNaming.h"
#include "export/settings/ExportSettings.h"
#include "source/MGFileRangeService.h"
#include "source/Mp4Summary.h"

namespace kf {
namespace {

std::atomic<bool> gInterrupted{false};
extern "C" void OnInterrupt(int) { gInterrupted.store(true); }

// SIGINT, SIGTERM and SIGHUP all cancel the export: it cleans up and the
// command exits non-zero. The previous handlers come back at the end.
class InterruptHandlers {
 public:
  InterruptHandlers() {
    gInterrupted.store(false);
    struct sigaction sa {};
    sa.sa_handler = OnInterrupt;
    sigemptyset(&sa.sa_mask);
    for (std::size_t i = 0; i < kSignals.size(); ++i) ::sigaction(kSignals[i], &sa, &previous_[i]);
    // Past a file-size limit a write fails (EFBIG) and the export cleans up
    // like on a full disk, instead of the process being killed mid-write.
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    ::sigaction(SIGXFSZ, &ignore, &previousFileSize_);
  }
  ~InterruptHandlers() {
    for (std::size_t i = 0; i < kSignals.size(); ++i) ::sigaction(kSignals[i], &previous_[i], nullptr);
    ::sigaction(SIGXFSZ, &previousFileSize_, nullptr);
  }
  InterruptHandlers(const InterruptHandlers&) = delete;
  InterruptHandlers& operator=(const InterruptHandlers&) = delete;

 private:
  static constexpr std::array<int, 3> kSignals{SIGINT, SIGTERM, SIGHUP};
  std::array<struct sigaction, 3> previous_{};
  struct sigaction previousFileSize_ {};
};

// Segment numbers beyond this are refused (no edit has that many).
constexpr double kMaxSegmentNumber = 1e6;

struct Usage {
  std::string message;
};

std::optional<double> ParseNumber(const std::string& text) {
  double v = 0;
  const char* end = text.data() + text.size();
  auto [ptr, ec] = std::from_chars(text.data(), end, v);
  if (ec != std::errc() || ptr != end || !std::isfinite(v)) return std::nullopt;
  return v;
}

struct Options {
  std::string source, output;
  std::vector<TimeSpan> keep;
  std::vector<std::pair<std::size_t, double>> fadeIns, fadeOuts;
  double exposure = 0;
  std::int64_t mode = 0, size = 0;
  bool clips = false;
};

std::optional<Usage> ParseFade(const std::string& v, std::vector<std::pair<std::size_t, double>>& out) {
  const auto colon = v.find(':');
  if (colon == std::string::npos) return Usage{"expected I:SECONDS, got \"" + v + "\""};
  const auto i = ParseNumber(v.substr(0, colon));
  const auto s = ParseNumber(v.substr(colon + 1));
  if (!i || !s || *i < 1 || *i != std::floor(*i) || *s < 0) return Usage{"expected I:SECONDS, got \"" + v + "\""};
  if (*i > kMaxSegmentNumber) return Usage{"no segment has the number \"" + v.substr(0, colon) + "\""};
  out.push_back({static_cast<std::size_t>(*i), *s});
  return std::nullopt;
}

std::optional<Usage> Parse(const std::vector<std::string>& args, Options& o) {
  std::size_t i = 0;
  if (i < args.size() && args[i] == "--export") ++i;
  auto next = [&](const std::string& flag) -> std::optional<std::string> {
    if (i + 1 >= args.size()) return std::nullopt;
    (void)flag;
    return args[++i];
  };
  for (; i < args.size(); ++i) {
    const std::string& a = args[i];
    std::optional<std::string> v;
    if (a == "-o" || a == "--keep" || a == "--fade-in" || a == "--fade-out" || a == "--exposure" || a == "--mode" ||
        a == "--size") {
      v = next(a);
      if (!v) return Usage{a + " needs a value"};
    }
    if (a == "-o") {
      o.output = *v;
    } else if (a == "--keep") {
      std::size_t pos = 0;
      while (pos <= v->size()) {
        const auto comma = v->find(',', pos);
        const std::string part = v->substr(pos, comma == std::string::npos ? std::string::npos : comma - pos);
        const auto dash = part.find('-');
        const auto s = dash == std::string::npos ? std::nullopt : ParseNumber(part.substr(0, dash));
        const auto e = dash == std::string::npos ? std::nullopt : ParseNumber(part.substr(dash + 1));
        if (!s || !e || *s < 0 || !(*e > *s)) return Usage{"expected --keep A-B with 0 <= A < B, got \"" + part + "\""};
        o.keep.push_back({*s, *e});
        if (comma == std::string::npos) break;
        pos = comma + 1;
      }
    } else if (a == "--fade-in") {
      if (auto u = ParseFade(*v, o.fadeIns)) return u;
    } else if (a == "--fade-out") {
      if (auto u = ParseFade(*v, o.fadeOuts)) return u;
    } else if (a == "--exposure") {
      const auto x = ParseNumber(*v);
      if (!x || *x < -1 || *x > 1) return Usage{"--exposure takes stops from -1 to 1"};
      o.exposure = *x;
    } else if (a == "--mode") {
      if (*v == "lossless") o.mode = kExportModeLossless;
      else if (*v == "reencode") o.mode = kExportModeReencode;
      else if (*v == "smart") o.mode = kExportModeSmart;
      else return Usage{"--mode is lossless, reencode or smart"};
    } else if (a == "--size") {
      if (*v == "source") o.size = kExportSizeSource;
      else if (*v == "1080p") o.size = kExportSize1080p;
      else if (*v == "720p") o.size = kExportSize720p;
      else if (*v == "480p") o.size = kExportSize480p;
      else return Usage{"--size is source, 1080p, 720p or 480p"};
    } else if (a == "--clips") {
      o.clips = true;
    } else if (!a.empty() && a[0] == '-') {
      return Usage{"unknown option " + a};
    } else if (o.source.empty()) {
      o.source = a;
    } else {
      return Usage{"unexpected argument " + a};
    }
  }
  // Ranges may come in any order but may not share time: the overlap would
  // be exported twice.
  std::vector<TimeSpan> sorted = o.keep;
  std::sort(sorted.begin(), sorted.end(), [](TimeSpan a, TimeSpan b) { return a.start < b.start; });
  for (std::size_t k = 1; k < sorted.size(); ++k) {
    if (sorted[k].start < sorted[k - 1].end) {
      char text[160];
      std::snprintf(text, sizeof text, "--keep ranges overlap: %g-%g and %g-%g", sorted[k - 1].start, sorted[k - 1].end,
                    sorted[k].start, sorted[k].end);
      return Usage{text};
    }
  }
  if (o.source.empty()) return Usage{"no source movie"};
  if (o.output.empty()) return Usage{"no output (-o)"};
  return std::nullopt;
}

// The export's ports, without a window: status and progress go to standard
// error, errors are remembered for the exit status.
struct HeadlessDocument : ExportDocument {
  std::string path;
  double duration = 0;
  std::vector<std::string> codecs;
  kerfline::EditState edit;
  bool hasMovie() const override { return true; }
  std::string sourcePath() const override { return path; }
  double movieDuration() const override { return duration; }
  std::vector<std::string> sourceCodecs() const override { return codecs; }
  kerfline::EditState editState() const override { return edit; }
  bool isDirty() const override { return true; }
  void markExported(const std::string&) override {}
  void pausePlayer() override {}
  void reopen(const std::string&) override {}
  void performClose() override {}
  void replyToTerminate(bool) override {}
};

struct HeadlessView : ExportView {
  TerminalProgress progress = TerminalProgress::ForStandardError();
  std::chrono::steady_clock::time_point started = std::chrono::steady_clock::now();
  bool showing = false;
  std::string status;
  void setStatus(const std::string& t) override { status = t; }
  void showExportProgress(double f, bool) override {
    if (!showing) started = std::chrono::steady_clock::now();
    showing = true;
    progress.update(f, std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count());
  }
  void hideExportProgress() override {
    progress.finish();
    showing = false;
  }
  void setDockBadge(const std::optional<std::string>&) override {}
  void setTransportEnabled(bool) override {}
  void setExportMenuTitle(const std::string&) override {}
  bool isMainWindowKey() const override { return true; }
  void requestAttention() override {}
  void runSavePanel(const SavePanelRequest&, std::function<void(std::optional<std::string>)> c) override { c(std::nullopt); }
  void runFolderPanel(const std::string&, const std::string&, std::function<void(std::optional<std::string>)> c) override {
    c(std::nullopt);
  }
  void revealInFileBrowser(const std::string&) override {}
};

struct HeadlessAlerts : AlertPort {
  std::optional<Error> error;
  int runModalAlert(const AlertSpec&) override { return 0; }
  void showErrorAlert(const Error& e) override {
    if (!error) error = e;
  }
};

void PrintSuggestion(const Error& error) {
  if (!error.suggestion.empty()) std::fprintf(stderr, "kerfline: %s\n", error.suggestion.c_str());
}

// Forwards to the backend's sessions once the backend is loaded; a byte copy
// never asks.
class DeferredSessions final : public ExportSessionFactory {
 public:
  void set(std::unique_ptr<ExportSessionFactory> sessions) { sessions_ = std::move(sessions); }
  std::unique_ptr<ExportSessionPort> makeSession(const ExportRequest& request) override {
    return sessions_ ? sessions_->makeSession(request) : nullptr;
  }

 private:
  std::unique_ptr<ExportSessionFactory> sessions_;
};

// The duration and codecs of an MP4 or QuickTime source read from its movie
// box, without FFmpeg; nothing where only FFmpeg can tell. A FIFO or device
// is never read.
std::optional<Mp4MovieSummary> SummarizeWithoutMediaLibraries(const std::string& path) {
  const auto file = MGFileRangeService::create(path);
  if (!file || file->size() == 0) return std::nullopt;
  // The service answers long reads in parts.
  auto read = [&file](std::uint64_t offset, std::uint64_t length) -> std::optional<std::vector<std::uint8_t>> {
    std::vector<std::uint8_t> bytes;
    while (bytes.size() < length) {
      MGBytes part;
      file->readOffset(offset + bytes.size(), length - bytes.size(),
                       [&part](MGBytes data, std::optional<Error>) { part = std::move(data); });
      if (!part || part->empty()) break;
      bytes.insert(bytes.end(), part->begin(), part->end());
    }
    return bytes;
  };
  return ReadMp4MovieSummary(read, file->size());
}

// The edit the options describe on a movie of doc.duration; an exit status
// when they cannot apply to it.
std::optional<int> BuildEdit(const Options& o, HeadlessDocument& doc) {
  doc.edit = {};
  if (o.keep.empty()) {
    doc.edit.segments = {{0, doc.duration}};
  } else {
    for (TimeSpan s : o.keep) {
      s.end = std::min(s.end, doc.duration);
      if (s.end > s.start) doc.edit.segments.push_back(s);
    }
    if (doc.edit.segments.empty()) {
      std::fprintf(stderr,
                   "kerfline: the kept ranges lie outside the movie\nkerfline: “%s” is %.3f s long; give --keep "
                   "ranges that start before its end\n",
                   lastPathComponent(o.source).c_str(), doc.duration);
      return 1;
    }
  }
  const std::size_t n = doc.edit.segments.size();
  doc.edit.names.assign(n, "");
  doc.edit.fadeIns.assign(n, 0);
  doc.edit.fadeOuts.assign(n, 0);
  for (auto [i, s] : o.fadeIns) {
    if (i > n) {
      std::fprintf(stderr, "kerfline: --fade-in names segment %zu of %zu\n", i, n);
      return 2;
    }
    doc.edit.fadeIns[i - 1] = s;
  }
  for (auto [i, s] : o.fadeOuts) {
    if (i > n) {
      std::fprintf(stderr, "kerfline: --fade-out names segment %zu of %zu\n", i, n);
      return 2;
    }
    doc.edit.fadeOuts[i - 1] = s;
  }
  doc.edit.exposure = o.exposure;
  doc.edit.selected = 0;
  kerfline::NormalizeEdit(doc.edit);
  return std::nullopt;
}

}  // namespace

int RunExportCommand(const std::vector<std::string>& args, const ExportBackendLoader& backend) {
  Options o;
  if (auto usage = Parse(args, o)) {
    std::fprintf(stderr,
                 "kerfline: %s\nusage: kerfline --export SOURCE -o OUTPUT [--keep A-B[,A-B...]] [--fade-in I:SECONDS]... "
                 "[--fade-out I:SECONDS]... [--exposure STOPS] [--mode lossless|reencode|smart] "
                 "[--size source|1080p|720p|480p] [--clips]\n",
                 usage->message.c_str());
    return 2;
  }
  InterruptHandlers interrupts;
  HeadlessDocument doc;
  doc.path = o.source;
  MemorySettingsStore store;
  ExportSettings settings(store);
  settings.setExportOutput(o.clips ? 1 : 0);
  settings.setExportMode(o.mode);
  if (o.size != 0) settings.setExportSize(o.size);
  ManualScheduler scheduler;
  HeadlessView view;
  HeadlessAlerts alerts;
  DeferredSessions sessions;
  ExportController controller(scheduler, doc, view, alerts, settings, sessions);

  // The source is checked, and opened once, before any work: a regular file
  // that opens as a movie with a usable duration. Only then may it be copied
  // byte for byte. Where the movie box tells that and the export is such a
  // copy, FFmpeg is not needed at all.
  bool checked = false;
  if (auto summary = SummarizeWithoutMediaLibraries(o.source)) {
    doc.duration = summary->duration;
    doc.codecs = summary->codecs;
    if (auto status = BuildEdit(o, doc)) return *status;
    checked = !o.clips && controller.copiesBytesTo(o.output);
  }
  if (!checked) {
    auto engine = backend();
    if (!engine) {
      std::fprintf(stderr, "kerfline: the export engine could not be loaded: %s\n", engine.error().message.c_str());
      return 1;
    }
    auto source = (*engine)->openSource(o.source);
    if (!source) {
      std::fprintf(stderr, "kerfline: %s: %s\n", o.source.c_str(), source.error().message.c_str());
      PrintSuggestion(AdviseOnFailure(source.error(), {o.source, o.output, "", false}, FailedFile::Source));
      return 1;
    }
    doc.duration = source->duration;
    doc.codecs = source->codecs;
    sessions.set(std::move(source->sessions));
    if (auto status = BuildEdit(o, doc)) return *status;
  }

  if (!o.clips && SameFile(o.output, o.source)) {
    std::fprintf(stderr,
                 "kerfline: the output is the source movie\nkerfline: choose another name than “%s” with -o; the "
                 "source stays as it is\n",
                 lastPathComponent(o.source).c_str());
    return 1;
  }
  if (o.clips && ::mkdir(o.output.c_str(), 0777) != 0 && errno != EEXIST) {
    const int err = errno;
    std::fprintf(stderr, "kerfline: cannot create %s: %s\n", o.output.c_str(), std::strerror(err));
    PrintSuggestion(AdviseOnFailure(Error{kPosixErrorDomain, err, std::strerror(err)},
                                    {o.source, o.output, "", false}, FailedFile::Output));
    return 1;
  }

  if (gInterrupted.load()) {
    std::fprintf(stderr, "kerfline: export cancelled\n");
    return 1;
  }
  if (o.clips)
    controller.exportClipsToDirectory(o.output);
  else
    controller.exportToPath(o.output);
  auto last = std::chrono::steady_clock::now();
  bool cancelRequested = false;
  while (controller.isBusy()) {
    scheduler.waitForPosted(0.1);
    scheduler.runPending();
    const auto now = std::chrono::steady_clock::now();
    scheduler.advance(std::chrono::duration<double>(now - last).count());
    last = now;
    if (gInterrupted.load() && !cancelRequested) {
      cancelRequested = true;
      controller.cancelRunningExport();
    }
  }
  if (alerts.error) {
    std::fprintf(stderr, "kerfline: %s\n", alerts.error->message.c_str());
    PrintSuggestion(*alerts.error);
    return 1;
  }
  if (view.status.find("cancelled") != std::string::npos) {
    std::fprintf(stderr, "kerfline: %s\n", view.status.c_str());
    return 1;
  }
  std::fprintf(stderr, "%s\n", view.status.c_str());
  return 0;
}

}  // namespace kf
