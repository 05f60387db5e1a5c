#include "edit/TimeMap.h"

namespace mg {

double FadeBlackAmount(double s, const std::vector<kerfline::TimeSpan>& segments,
                       const std::vector<double>& fadeIns, const std::vector<double>& fadeOuts) {
  for (std::size_t i = 0; i < segments.size(); ++i) {
    const kerfline::TimeSpan& seg = segments[i];
    if (!(seg.start <= s && s <= seg.end)) continue;
    const double fi = i < fadeIns.size() ? fadeIns[i] : 0.0;
    const double fo = i < fadeOuts.size() ? fadeOuts[i] : 0.0;
    double a = 0;
    if (fi > 0 && s < seg.start + fi) {
      a = 1 - (s - seg.start) / fi;
      if (a < 0) a = 0;
    }
    if (fo > 0 && s > seg.end - fo) {
      const double g = (s - (seg.end - fo)) / fo;
      if (a < g) a = g;
    }
    if (a < 0) return 0;
    if (a > 1) return 1;
    return a;
  }
  return 0;
}

}  // namespace mg
