// Cost of each edit operation on a long edit (2,000 clips), as the window
// would call it: the ports copy what a real timeline view keeps, so the
// figures include pushing the edit to the view. Goal: under 1 ms each.
#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include "edit/EditSession.h"
#include "edit/EditState.h"

namespace {

constexpr int kClips = 2000;

struct Player : kf::EditPlayerPort {
  double time = 0;
  double currentTime() const override { return time; }
  void seek(double s) override { time = s; }
  void pause() override {}
};

// Keeps value copies as the timeline view does.
struct Timeline : kf::EditTimelinePort {
  std::vector<kerfline::TimeSpan> segments;
  std::vector<std::string> names;
  std::vector<double> fadeIns, fadeOuts;
  std::int64_t selected = 0;
  double movieDuration = 0;
  void setEdit(const std::vector<kerfline::TimeSpan>& s, const std::vector<std::string>& n,
               const std::vector<double>& fi, const std::vector<double>& fo, std::int64_t sel) override {
    segments = s, names = n, fadeIns = fi, fadeOuts = fo, selected = sel;
  }
  double duration() const override { return movieDuration; }
  void setDuration(double s) override { movieDuration = s; }
  kf::Rect rectForSegment(std::int64_t i) const override { return {static_cast<double>(i), 0, 1, 60}; }
  void refreshEditorUIAtSeconds(double s) override { benchmark::DoNotOptimize(s); }
};

struct Overlay : kf::EditOverlayPort {
  void setBlackAmount(double a) override { benchmark::DoNotOptimize(a); }
  void setExposureAmount(double s) override { benchmark::DoNotOptimize(s); }
  void applyExposurePreview() override {}
};

struct Status : kf::StatusLinePort {
  std::string text;
  void setStatus(const std::string& t) override { text = t; }
};

struct Menu : kf::UndoMenuPort {
  void setUndoItem(const std::string& t, bool e) override {
    benchmark::DoNotOptimize(t), benchmark::DoNotOptimize(e);
  }
  void setRedoItem(const std::string& t, bool e) override {
    benchmark::DoNotOptimize(t), benchmark::DoNotOptimize(e);
  }
};

struct Field : kf::RenameFieldPort {
  std::string typed;
  void showField(const std::string& t, const std::string&, const kf::Rect&) override { typed = t; }
  std::string text() const override { return typed; }
  void removeField() override {}
  void focusTimeline() override {}
};

// A 2,000-clip edit of a 2-hour movie: 3.6 s clips with 0.1 s removed between
// them, every fourth clip named and faded, and a full undo history.
struct Bench {
  Player player;
  Timeline timeline;
  Overlay overlay;
  Status status;
  Menu menu;
  Field field;
  kf::EditSession session;
  kerfline::EditState original;

  Bench() : session(Ports()) {
    session.resetForNewMovie(kClips * 3.7);
    kerfline::EditState s;
    for (int i = 0; i < kClips; ++i) {
      const double start = i * 3.7;
      s.segments.push_back({start, start + 3.6});
      s.names.push_back(i % 4 == 0 ? "Scene " + std::to_string(i) : std::string());
      s.fadeIns.push_back(i % 4 == 0 ? 1.0 : 0.0);
      s.fadeOuts.push_back(i % 4 == 1 ? 0.5 : 0.0);
    }
    s.selected = kClips / 2;
    s.exposure = 0.25;
    original = s;
    for (int i = 0; i < 50; ++i) session.pushUndo("split");
    Restore();
    session.rebaselineExportedSignature();
  }

  kf::EditPorts Ports() {
    kf::EditPorts p;
    p.player = &player;
    p.timeline = &timeline;
    p.overlay = &overlay;
    p.status = &status;
    p.undoMenu = &menu;
    p.renameField = &field;
    p.busy = [] { return false; };
    return p;
  }

  void Restore() {
    session.applyEditState(original);
    session.refreshDirtyState();
    session.syncSegments();
    player.time = original.segments[kClips / 2].start + 1;
  }
};

constexpr int kMid = kClips / 2;

void BM_Split(benchmark::State& state) {
  Bench b;
  const double x = b.original.segments[kMid].start + 1.8;
  for (auto _ : state) {
    b.session.splitAtTime(x);
    state.PauseTiming();
    b.Restore();
    state.ResumeTiming();
  }
}

void BM_Remove(benchmark::State& state) {
  Bench b;
  for (auto _ : state) {
    b.session.setSelected(kMid);
    b.session.removeSelected();
    state.PauseTiming();
    b.Restore();
    state.ResumeTiming();
  }
}

void BM_RollDragBegin(benchmark::State& state) {
  Bench b;
  for (auto _ : state) b.session.rollJunction(kMid, b.original.segments[kMid].end + 1, 0);
}

void BM_RollDragChanged(benchmark::State& state) {
  Bench b;
  b.session.rollJunction(kMid, 0, 0);
  double d = 0;
  for (auto _ : state) {
    d = d > 1 ? 0 : d + 0.01;
    b.session.rollJunction(kMid, b.original.segments[kMid].end + d, 1);
  }
}

void BM_RollDragEnded(benchmark::State& state) {
  Bench b;
  bool flip = false;
  for (auto _ : state) {
    state.PauseTiming();
    b.session.rollJunction(kMid, 0, 0);
    flip = !flip;
    const double cut = b.session.segments()[kMid].end;
    state.ResumeTiming();
    b.session.rollJunction(kMid, cut + (flip ? 0.5 : -0.5), 2);
  }
}

void BM_Nudge(benchmark::State& state) {
  Bench b;
  b.session.rollJunction(kMid, b.original.segments[kMid].end + 0.5, 2);
  bool flip = false;
  for (auto _ : state) {
    flip = !flip;
    b.session.nudgeArmedJunction(flip ? b.session.frameStep() : -b.session.frameStep());
  }
}

void BM_Trim(benchmark::State& state) {
  Bench b;
  const double start = b.original.segments[kMid].start;
  bool flip = false;
  for (auto _ : state) {
    flip = !flip;
    b.session.trimSegment(kMid, true, start + (flip ? 0.5 : 0.0), 2);
  }
}

void BM_FadeToggle(benchmark::State& state) {
  Bench b;
  b.session.setSelected(kMid);
  bool in = false;
  for (auto _ : state) {
    in = !in;
    if (in) {
      b.session.toggleFadeIn();
    } else {
      b.session.toggleFadeOut();
    }
  }
}

void BM_Rename(benchmark::State& state) {
  Bench b;
  b.session.setSelected(kMid);
  bool flip = false;
  for (auto _ : state) {
    b.session.beginRename();
    flip = !flip;
    b.field.typed = flip ? "  Opening shot " : "Closing shot";
    b.session.saveRename();
  }
}

void BM_UndoRedo(benchmark::State& state) {
  Bench b;
  b.session.splitAtTime(b.original.segments[kMid].start + 1.8);
  for (auto _ : state) {
    b.session.undoEdit();
    b.session.redoEdit();
  }
  state.SetLabel("one undo plus one redo");
}

void BM_Signature(benchmark::State& state) {
  Bench b;
  for (auto _ : state) benchmark::DoNotOptimize(kerfline::Signature(b.original));
}

void BM_SyncSegments(benchmark::State& state) {
  Bench b;
  for (auto _ : state) b.session.syncSegments();
}

}  // namespace

BENCHMARK(BM_Split)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Remove)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_RollDragBegin)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_RollDragChanged)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_RollDragEnded)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Nudge)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Trim)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_FadeToggle)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Rename)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_UndoRedo)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Signature)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_SyncSegments)->Unit(benchmark::kMicrosecond);

BENCHMARK_MAIN();
