// H.264 and HEVC units as the export writes them: length-prefixed samples
// (the form MP4, QuickTime and Matroska store), the parameter sets of a
// sample entry ("avcC", "hvcC"), and the few rewrites a join needs.
// Plain byte work; any thread.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

extern "C" {
#include <libavcodec/codec_par.h>
}

namespace kf::exportimpl {

using Bytes = std::vector<std::uint8_t>;

// Length-prefix size of H.264 (avcC) or HEVC (hvcC) samples, 0 otherwise
// (other codecs, or Annex B extradata).
int NalLengthSize(const AVCodecParameters* par);

// HEVC: a clean random access picture that follows an end of sequence drops
// every picture still waiting in the decoder's buffer unshown, so the last
// frames before a cut would be lost. As a broken link access picture (the
// splice form of the same picture) it lets them out first. Rewrites the CRA
// units of a length-prefixed sample in place: the unit type, and the slice's
// no_output_of_prior_pics_flag cleared.
void MarkBrokenLink(std::uint8_t* data, int size, int lengthSize);

// The units of an Annex B buffer (start codes removed), in order.
std::vector<Bytes> SplitAnnexB(const std::uint8_t* data, int size);
// The units of a length-prefixed sample; nothing when the lengths do not fit.
std::optional<std::vector<Bytes>> SplitLengthPrefixed(const std::uint8_t* data, int size, int lengthSize);
// Units joined with `lengthSize`-byte big-endian lengths.
Bytes JoinLengthPrefixed(const std::vector<Bytes>& units, int lengthSize);

// A unit's payload after its `headerBytes` header bytes, emulation-prevention
// bytes removed; and the reverse: a unit from its header and payload, with
// them put back.
Bytes UnitPayload(const Bytes& unit, std::size_t headerBytes);
Bytes UnitFromPayload(const Bytes& header, const Bytes& rbsp);

// The unit type: H.264 the low five bits, HEVC six bits after the first.
int UnitType(const Bytes& unit, bool hevc);
inline constexpr int kAvcSps = 7, kAvcPps = 8, kAvcEndOfSequence = 10;
inline constexpr int kHevcVps = 32, kHevcSps = 33, kHevcPps = 34, kHevcEndOfSequence = 36;
inline constexpr int kHevcCra = 21;

// The parameter-set units of an "avcC" or "hvcC" record, in order (VPS,
// SPS, PPS, then any SEI the record holds); nothing when it cannot be read.
std::optional<std::vector<Bytes>> RecordUnits(const AVCodecParameters* par);

// H.264: the smallest identifier (0..31) that no SPS and no PPS among
// `units` uses, so that sets made elsewhere can join them under it; nothing
// when all are taken or a set cannot be read.
std::optional<int> FreeAvcParameterSetId(const std::vector<Bytes>& units);

// An "avcC" record that keeps `avcc` (its header, its sets and any trailing
// fields) and adds the SPS and PPS units among `extra`. Nothing when `avcc`
// cannot be read or would hold more than the record allows.
std::optional<Bytes> AddToAvcC(const std::uint8_t* avcc, int size, const std::vector<Bytes>& extra);

}  // namespace kf::exportimpl
