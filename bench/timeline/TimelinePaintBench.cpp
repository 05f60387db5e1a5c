// One full paint of the timeline into an image: 2,000 clips with a 2,400-value
// waveform at 1,200 points wide (the heavy case), and a 20-clip edit for
// comparison. Goal for the heavy case: under 4 ms per paint.
#include <QApplication>
#include <QImage>
#include <QPainter>

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

#include "timeline/view/MGTimelineView.h"

namespace {

// Every `decorate`-th clip gets a name and a fade in and out.
void setUpView(MGTimelineView& view, int clips, double width, int decorate) {
  view.resize(static_cast<int>(width), 100);
  const double step = 2.0;
  std::vector<kerfline::TimeSpan> segments;
  std::vector<std::string> names;
  std::vector<double> ins, outs;
  for (int i = 0; i < clips; ++i) {
    segments.push_back({i * step, i * step + 1.5});
    const bool decorated = i % decorate == 0;
    names.push_back(decorated ? "Take " + std::to_string(i) : std::string());
    ins.push_back(decorated ? 0.5 : 0);
    outs.push_back(decorated ? 0.5 : 0);
  }
  view.setDuration(clips * step);
  view.setSegments(segments);
  view.setNames(names);
  view.setFadeIns(ins);
  view.setFadeOuts(outs);
  std::vector<float> wave(2400);
  for (std::size_t i = 0; i < wave.size(); ++i)
    wave[i] = static_cast<float>(0.5 + 0.45 * std::sin(static_cast<double>(i) * 0.05));
  view.setWaveform(wave);
  view.setSelected(clips / 2);
  view.setPlayhead(clips * step * 0.3);
}

void paintLoop(benchmark::State& state, int clips, double width, int decorate) {
  MGTimelineView view;
  setUpView(view, clips, width, decorate);
  QImage img(view.size(), QImage::Format_ARGB32_Premultiplied);
  for (auto _ : state) {
    QPainter p(&img);
    view.paintTimeline(p);
    p.end();
    benchmark::DoNotOptimize(img.constBits());
  }
}

// The goal case: 2,000 clips, a few of them named and faded.
void BM_Paint2000Clips(benchmark::State& state) {
  paintLoop(state, 2000, 1200, 40);
}
// Every clip named and faded: the worst case for ramps and labels.
void BM_Paint2000ClipsAllFaded(benchmark::State& state) {
  paintLoop(state, 2000, 1200, 1);
}
// A typical edit: 20 clips, every third one named and faded.
void BM_Paint20Clips(benchmark::State& state) {
  paintLoop(state, 20, 1200, 3);
}

// Read the CPU time, and the minimum over the repetitions: on a shared
// machine the wall time and the mean also count other processes.
double fastest(const std::vector<double>& v) {
  return *std::min_element(v.begin(), v.end());
}

BENCHMARK(BM_Paint2000Clips)
    ->Unit(benchmark::kMillisecond)
    ->MinTime(0.3)
    ->Repetitions(5)
    ->ComputeStatistics("min", fastest)
    ->ReportAggregatesOnly();
BENCHMARK(BM_Paint2000ClipsAllFaded)
    ->Unit(benchmark::kMillisecond)
    ->MinTime(0.3)
    ->Repetitions(5)
    ->ComputeStatistics("min", fastest)
    ->ReportAggregatesOnly();
BENCHMARK(BM_Paint20Clips)
    ->Unit(benchmark::kMillisecond)
    ->MinTime(0.2)
    ->Repetitions(5)
    ->ComputeStatistics("min", fastest)
    ->ReportAggregatesOnly();

}  // namespace

int main(int argc, char** argv) {
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
