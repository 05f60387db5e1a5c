// Pure edit operations that the edit session applies to the live edit.
// Any thread; they touch only their arguments.
#pragma once

#include <cstdint>
#include <vector>

#include "edit/EditState.h"

namespace kerfline {

// Shortest length a rolled or trimmed segment keeps, in seconds.
inline constexpr double kMinimumClip = 0.1;
// A split must leave more than this on each side, in seconds.
inline constexpr double kSplitMargin = 0.04;
// Edges that would move by less than this do not count as moved.
inline constexpr double kEdgeEpsilon = 1e-6;

struct RollResult {
  double time = 0;       // the cut's resulting source time
  bool changed = false;  // whether the segments were changed
};

// The allowed position of junction i's cut for a requested source time x,
// with the movie's end `upperLimit`. The removed material between the two
// segments (gap) stays constant: both segments keep at least kMinimumClip,
// the right segment never starts before source 0 and the cut never passes
// upperLimit. When the two segments are too short for any roll to respect
// these limits, the cut's current time is returned (the cut cannot move).
// Returns x unchanged when i + 1 is not a valid segment index.
double ClampRollTime(const std::vector<TimeSpan>& segments, std::int64_t i, double x, double upperLimit);

// Rolls the cut between segments i and i + 1 to the clamped x: segment i's end
// becomes the clamped time and segment i + 1 starts that time plus the gap.
// Reports no change (and leaves the segments alone) when i + 1 is not a valid
// index or the cut would move by less than kEdgeEpsilon.
RollResult RollCut(std::vector<TimeSpan>& segments, std::int64_t i, double x, double upperLimit);

// The room left for a fade of one kind beside the clip's other fade `other`:
// max(length - max(other, 0), 0).
double FadeRoom(const TimeSpan& segment, double other);

// Toggles the selected clip's fade: removes it when present, else adds one of
// min(room, 1) seconds. Normalises the state before and after. Returns false
// (state normalised, fade unchanged) when nothing is selected or the room is
// below kMinimumFade.
bool ToggleFade(EditState& state, bool fadeIn);

}  // namespace kerfline
