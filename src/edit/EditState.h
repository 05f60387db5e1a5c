// The edit of the open movie as plain values.
//
// An edit is a list of kept segments of the source movie, laid end to end in
// list order, with one clip name and one fade-in and fade-out length per
// segment, a selected segment and one exposure value for the whole movie.
// Nothing here knows about the player or the views; every function is pure,
// allocation aside, and may run on any thread (the live edit itself belongs to
// the main thread, see EditSession.h).
//
// Invariants of a well-formed edit (NormalizeEdit restores 1, 2, 4 and 5; the
// edit operations keep 3):
//  1. names, fadeIns and fadeOuts have one entry per segment. Readers still
//     treat a missing entry as the empty name or a fade of 0.
//  2. Per segment with length L = max(end - start, 0): 0 <= fadeIn <= L,
//     0 <= fadeOut <= L - fadeIn, and a fade below 0.05 s is stored as 0.
//  3. Segments are in increasing source order and do not overlap.
//  4. selected is in 0 .. count-1, or -1 with no segments.
//  5. exposure is in -1 .. 1 (stops).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace kerfline {

// One kept segment, in seconds of the source movie.
struct TimeSpan {
  double start = 0;
  double end = 0;

  double length() const { return end - start; }
  bool operator==(const TimeSpan&) const = default;
};

// A value copy of the whole edit. Carries no playhead (the undo snapshot adds
// one). names hold UTF-8 bytes; the empty name means "use the default name".
struct EditState {
  std::vector<TimeSpan> segments;
  std::vector<std::string> names;
  std::vector<double> fadeIns;
  std::vector<double> fadeOuts;
  std::int32_t selected = -1;
  double exposure = 0;

  bool operator==(const EditState&) const = default;
};

// Fades shorter than this are stored as 0.
inline constexpr double kMinimumFade = 0.05;

// The text that decides whether an edit differs from the last exported one.
// Numbers are written as printf's "%.17g" would in the C locale (independent
// of the process locale): exposure, '|', then per segment
// start ':' end ':' name ':' fadeIn ':' fadeOut ';'. Missing names are
// written as nothing and missing fades as 0. The selection is not part of it.
// Names are written raw: a name containing ':' or ';' can in principle make
// two different edits share one signature.
std::string Signature(const EditState& state);
// The same text from the parts of an edit held separately (the live edit).
std::string Signature(const std::vector<TimeSpan>& segments, const std::vector<std::string>& names,
                      const std::vector<double>& fadeIns, const std::vector<double>& fadeOuts,
                      double exposure);

// Whether two edits have the same Signature. Compares the values directly
// (the same number text means the same double, or not-a-number of the same
// sign) and builds the texts only when a name contains ':' or ';', where the
// raw names could make different edits read alike. Time linear in the size
// of the edits, without allocating in the common case.
bool SameSignature(const EditState& a, const EditState& b);
bool SameSignature(const std::vector<TimeSpan>& segmentsA, const std::vector<std::string>& namesA,
                   const std::vector<double>& fadeInsA, const std::vector<double>& fadeOutsA,
                   double exposureA, const EditState& b);

// Writes v as "%.17g" does in the C locale, appending to out.
void AppendG17(std::string& out, double v);

// Restores invariants 1, 2, 4 and 5 in place.
void NormalizeEdit(EditState& state);

}  // namespace kerfline

namespace mg {

// Restores invariant 2 for every index below the smallest of the three vector
// sizes. Segments are read only.
void ClampFades(const std::vector<kerfline::TimeSpan>& segments, std::vector<double>& fadeIns,
                std::vector<double>& fadeOuts);

}  // namespace mg
