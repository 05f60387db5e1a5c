// H.264 copied from an I picture that is not an IDR picture (an open group
// of pictures): the range starts a fresh coded sequence of its own.
//
// A copied range starts on the keyframe at or before its start. When that
// keyframe is an IDR picture the decoder starts afresh there (and after the
// end-of-sequence unit the copy puts between ranges, it must be one). An open
// group's I picture is not: its frame numbers and picture order counts carry
// on from the pictures before it, so after a cut the decoder orders the new
// range's pictures against the previous range's by counts that no longer
// mean anything (FFmpeg's decoder shows frames of the two ranges out of
// order, or drops some as late). Its leading pictures (after it in decoding
// order, shown before it) refer to pictures that are not there; the copy
// leaves them out (they lie before the keyframe, so before the range).
//
// The restart rewrites the I picture's slices as an IDR picture's (frame
// number 0, picture order count 0, the IDR form of the reference marking),
// and the slice headers of every later picture of the range, up to the
// source's next IDR picture, so that the range decodes exactly as it did in
// the source:
// - picture order counts move by the I picture's;
// - frame numbers count the reference pictures written since the IDR
//   picture (the leading pictures left out leave no gap);
// - reference list changes and reference marking name the same pictures by
//   their new numbers; marking of pictures that are not written (before the
//   keyframe, or left out) is dropped.
//
// Length-prefixed samples ("avcC"); parameter sets from the sample entry and
// from the samples. Frame pictures only; picture order count types 0 and 2.
// Plain byte work; any thread.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <vector>

#include "platform/export/NalUnits.h"

extern "C" {
#include <libavcodec/codec_par.h>
}

namespace kf::exportimpl {

struct AvcSlice;

class AvcRestart {
 public:
  // `par`: an H.264 track in length-prefixed form (others: never usable).
  explicit AvcRestart(const AVCodecParameters* par);

  // The first sample of a range. When it is an I picture that is not an IDR
  // picture and its slices can be read, returns it as an IDR picture and
  // starts rewriting the range's later samples (next()); otherwise nothing.
  std::optional<Bytes> restart(const std::uint8_t* data, int size);

  // A later sample of the range, in decoding order. `written` false: the
  // sample is left out of the output (it is still counted). Returns the
  // sample as rewritten, or nothing when it stays as it is (no restart in
  // force, or the source's own IDR picture, which ends the rewriting).
  // Parameter sets in the sample are taken into account either way.
  std::optional<Bytes> next(const std::uint8_t* data, int size, bool written);

  // The sample's coded pictures without their slice headers: each slice's
  // data from its first macroblock on, left-aligned (what a restart keeps
  // of the source). Nothing when a slice cannot be read.
  std::optional<Bytes> sliceData(const std::uint8_t* data, int size);

  // Ends the range's rewriting.
  void stop() { active_ = false; }
  bool active() const { return active_; }

 private:
  friend struct AvcSlice;
  struct Sps {
    int chromaArrayType = 1;
    int log2MaxFrameNum = 4;
    int pocType = 0;
    int log2MaxPocLsb = 4;
    bool frameMbsOnly = true;
    bool separateColourPlane = false;
  };
  struct Pps {
    int spsId = 0;
    bool cabac = false;
    bool bottomFieldPicOrderPresent = false;
    bool sliceGroups = false;
    int refIdxDefault[2] = {0, 0};  // num_ref_idx_l*_default_active_minus1
    bool weightedPred = false;
    int weightedBipred = 0;
    bool redundantPicCntPresent = false;
    bool deblockingControlPresent = false;
  };
  void learn(const Bytes& unit);
  std::optional<std::vector<Bytes>> units(const std::uint8_t* data, int size);
  // The slice rewritten: `idr` as an IDR slice; otherwise frame number,
  // order count, list changes and marking as the range's numbering says.
  std::optional<Bytes> rewrite(const Bytes& unit, const AvcSlice& s, const Bytes& rbsp, bool idr);

  int lengthSize_ = 0;
  std::map<int, Sps> sps_;
  std::map<int, Pps> pps_;
  bool active_ = false;
  std::uint32_t pocLsbBase_ = 0;
  std::uint32_t idrPicId_ = 0;
  // The range's numbering: source frame numbers unwrapped from the
  // keyframe's (0), and for each source reference picture since then the
  // output's unwrapped number (-1: not written).
  std::uint32_t lastSourceFrameNum_ = 0;
  std::int64_t sourceAt_ = 0;         // the current picture's unwrapped source number
  std::int64_t outAt_ = 0;            // ... and its output number
  std::int64_t lastOutRef_ = 0;       // output number of the last written reference picture
  std::vector<std::int64_t> outOf_;   // by unwrapped source number
};

}  // namespace kf::exportimpl
