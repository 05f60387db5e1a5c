#include "platform/export/AvcRestart.h"

#include <algorithm>

namespace kf::exportimpl {
namespace {

constexpr int kAvcSlice = 1, kAvcIdr = 5;

class Reader {
 public:
  explicit Reader(const Bytes& data) : data_(data) {}
  std::size_t pos() const { return pos_; }
  bool ok() const { return ok_; }
  std::uint32_t u(int n) {
    std::uint32_t v = 0;
    for (int i = 0; i < n; ++i) {
      if (pos_ >= data_.size() * 8) {
        ok_ = false;
        return 0;
      }
      v = (v << 1) | ((data_[pos_ / 8] >> (7 - pos_ % 8)) & 1);
      ++pos_;
    }
    return v;
  }
  std::uint32_t ue() {
    int zeros = 0;
    while (ok_ && u(1) == 0) {
      if (++zeros > 31) ok_ = false;
    }
    if (!ok_) return 0;
    return zeros == 0 ? 0 : ((1u << zeros) - 1) + u(zeros);
  }
  std::int32_t se() {
    const std::uint32_t k = ue();
    return (k & 1) ? static_cast<std::int32_t>((k + 1) / 2) : -static_cast<std::int32_t>(k / 2);
  }

 private:
  const Bytes& data_;
  std::size_t pos_ = 0;
  bool ok_ = true;
};

class Writer {
 public:
  void u(std::uint32_t v, int n) {
    for (int i = n - 1; i >= 0; --i) bit((v >> i) & 1);
  }
  void ue(std::uint32_t v) {
    const std::uint64_t x = std::uint64_t(v) + 1;
    int n = 0;
    while ((x >> (n + 1)) != 0) ++n;
    u(0, n);
    for (int i = n; i >= 0; --i) bit(static_cast<std::uint32_t>((x >> i) & 1));
  }
  // Bits [begin, end) of `from`.
  void copy(const Bytes& from, std::size_t begin, std::size_t end) {
    std::size_t p = begin;
    while (p < end && used_ != 0) {
      bit((from[p / 8] >> (7 - p % 8)) & 1);
      ++p;
    }
    // Whole bytes, from any bit offset of the source.
    const int shift = static_cast<int>(p % 8);
    while (end - p >= 8) {
      const std::size_t i = p / 8;
      std::uint8_t b = from[i];
      if (shift != 0) b = static_cast<std::uint8_t>((b << shift) | (from[i + 1] >> (8 - shift)));
      out_.push_back(b);
      p += 8;
    }
    while (p < end) {
      bit((from[p / 8] >> (7 - p % 8)) & 1);
      ++p;
    }
  }
  bool aligned() const { return used_ == 0; }
  void bit(std::uint32_t b) {
    if (used_ == 0) out_.push_back(0);
    if (b) out_.back() |= static_cast<std::uint8_t>(0x80 >> used_);
    used_ = (used_ + 1) % 8;
  }
  Bytes& bytes() { return out_; }

 private:
  Bytes out_;
  int used_ = 0;
};

bool HasChromaFields(std::uint32_t profile) {
  switch (profile) {
    case 100: case 110: case 122: case 244: case 44: case 83: case 86: case 118: case 128: case 138: case 139:
    case 134: case 135:
      return true;
    default:
      return false;
  }
}

}  // namespace


// A slice header, read whole; positions are bit offsets into the unit's
// payload (UnitPayload()).
struct AvcSlice {
  struct Change {
    std::uint32_t idc = 0, value = 0;
  };
  struct Marking {
    std::uint32_t op = 0, first = 0, second = 0;
  };
  int nalType = 0;
  int refIdc = 0;
  int type = 0;  // slice_type % 5: P, B, I, SP, SI
  const AvcRestart::Sps* sps = nullptr;
  const AvcRestart::Pps* pps = nullptr;
  std::size_t frameNumAt = 0;
  std::uint32_t frameNum = 0;
  bool field = false;
  std::size_t afterPictureFields = 0;  // after field_pic_flag / bottom_field_flag
  std::size_t afterIdrPicId = 0;       // = afterPictureFields but in IDR slices
  std::size_t pocLsbAt = 0;            // picture order count type 0
  std::uint32_t pocLsb = 0;
  std::size_t changesAt = 0, changesEnd = 0;  // ref_pic_list_modification()
  bool changing[2] = {false, false};
  std::vector<Change> changes[2];
  std::size_t markingAt = 0, markingEnd = 0;  // dec_ref_pic_marking()
  bool adaptive = false;
  std::vector<Marking> marking;
  std::size_t headerEnd = 0;

  bool lists() const { return type == 0 || type == 1 || type == 3; }

  static std::optional<AvcSlice> read(const AvcRestart& r, const Bytes& rbsp, int nalType, int refIdc) {
    AvcSlice s;
    s.nalType = nalType;
    s.refIdc = refIdc;
    Reader in(rbsp);
    in.ue();  // first_mb_in_slice
    const std::uint32_t sliceType = in.ue();
    const std::uint32_t ppsId = in.ue();
    if (!in.ok() || sliceType > 9) return std::nullopt;
    s.type = static_cast<int>(sliceType % 5);
    auto pps = r.pps_.find(static_cast<int>(ppsId));
    if (pps == r.pps_.end()) return std::nullopt;
    auto sps = r.sps_.find(pps->second.spsId);
    if (sps == r.sps_.end()) return std::nullopt;
    s.sps = &sps->second;
    s.pps = &pps->second;
    const AvcRestart::Sps& q = *s.sps;
    const AvcRestart::Pps& p = *s.pps;
    if (p.sliceGroups || q.pocType == 1) return std::nullopt;
    if (q.separateColourPlane) in.u(2);
    s.frameNumAt = in.pos();
    s.frameNum = in.u(q.log2MaxFrameNum);
    if (!q.frameMbsOnly) {
      s.field = in.u(1) != 0;
      if (s.field) in.u(1);
    }
    s.afterPictureFields = in.pos();
    if (nalType == kAvcIdr) in.ue();
    s.afterIdrPicId = in.pos();
    if (q.pocType == 0) {
      s.pocLsbAt = in.pos();
      s.pocLsb = in.u(q.log2MaxPocLsb);
      if (p.bottomFieldPicOrderPresent && !s.field) in.se();
    }
    if (p.redundantPicCntPresent) in.ue();
    if (s.type == 1) in.u(1);  // direct_spatial_mv_pred_flag
    int active[2] = {p.refIdxDefault[0], p.refIdxDefault[1]};
    if (s.field) {
      active[0] = 2 * active[0] + 1;
      active[1] = 2 * active[1] + 1;
    }
    if (s.lists() && in.u(1)) {
      const std::uint32_t counts[2] = {in.ue(), s.type == 1 ? in.ue() : 0};
      if (counts[0] > 31 || counts[1] > 31) return std::nullopt;
      active[0] = static_cast<int>(counts[0]);
      if (s.type == 1) active[1] = static_cast<int>(counts[1]);
    }
    if (active[0] > 31 || active[1] > 31) return std::nullopt;
    s.changesAt = in.pos();
    for (int l = 0; l < (s.type == 1 ? 2 : s.lists() ? 1 : 0); ++l) {
      s.changing[l] = in.u(1) != 0;
      if (!s.changing[l]) continue;
      for (int n = 0;; ++n) {
        Change c;
        c.idc = in.ue();
        if (!in.ok() || n > 64 || c.idc > 3) return std::nullopt;
        if (c.idc == 3) break;
        c.value = in.ue();
        s.changes[l].push_back(c);
      }
    }
    s.changesEnd = in.pos();
    if ((p.weightedPred && (s.type == 0 || s.type == 3)) || (p.weightedBipred == 1 && s.type == 1)) {
      in.ue();
      if (q.chromaArrayType != 0) in.ue();
      for (int l = 0; l < (s.type == 1 ? 2 : 1); ++l)
        for (int i = 0; i <= active[l] && in.ok(); ++i) {
          if (in.u(1)) {
            in.se();
            in.se();
          }
          if (q.chromaArrayType != 0 && in.u(1))
            for (int j = 0; j < 4; ++j) in.se();
        }
    }
    s.markingAt = in.pos();
    if (refIdc != 0) {
      if (nalType == kAvcIdr) {
        in.u(2);
      } else if ((s.adaptive = in.u(1) != 0)) {
        for (int n = 0;; ++n) {
          Marking m;
          m.op = in.ue();
          if (!in.ok() || n > 64 || m.op > 6) return std::nullopt;
          if (m.op == 0) break;
          if (m.op == 1 || m.op == 2 || m.op == 3 || m.op == 4 || m.op == 6) m.first = in.ue();
          if (m.op == 3) m.second = in.ue();
          s.marking.push_back(m);
        }
      }
    }
    s.markingEnd = in.pos();
    if (p.cabac && s.type != 2 && s.type != 4) in.ue();  // cabac_init_idc
    in.se();                                            // slice_qp_delta
    if (s.type == 3 || s.type == 4) {
      if (s.type == 3) in.u(1);
      in.se();
    }
    if (p.deblockingControlPresent && in.ue() != 1) {
      in.se();
      in.se();
    }
    s.headerEnd = in.pos();
    if (!in.ok() || s.headerEnd > rbsp.size() * 8) return std::nullopt;
    return s;
  }
};

AvcRestart::AvcRestart(const AVCodecParameters* par) {
  if (par->codec_id != AV_CODEC_ID_H264) return;
  lengthSize_ = NalLengthSize(par);
  if (lengthSize_ == 0) return;
  if (auto record = RecordUnits(par))
    for (const Bytes& u : *record) learn(u);
}

void AvcRestart::learn(const Bytes& unit) {
  const int type = UnitType(unit, false);
  if (type != kAvcSps && type != kAvcPps) return;
  const Bytes rbsp = UnitPayload(unit, 1);
  Reader in(rbsp);
  if (type == kAvcSps) {
    Sps s;
    const std::uint32_t profile = in.u(8);
    in.u(16);
    const std::uint32_t id = in.ue();
    if (HasChromaFields(profile)) {
      const std::uint32_t chroma = in.ue();
      if (chroma == 3) s.separateColourPlane = in.u(1) != 0;
      s.chromaArrayType = s.separateColourPlane ? 0 : static_cast<int>(chroma);
      in.ue();
      in.ue();
      in.u(1);
      if (in.u(1)) {
        for (int i = 0; i < (chroma != 3 ? 8 : 12) && in.ok(); ++i) {
          if (!in.u(1)) continue;
          int last = 8, next = 8;
          for (int j = 0; j < (i < 6 ? 16 : 64) && in.ok(); ++j) {
            if (next != 0) next = (last + in.se() + 256) % 256;
            last = next == 0 ? last : next;
          }
        }
      }
    }
    // Counts are checked as read: a damaged set must not turn into a
    // negative or overflowing width.
    const std::uint32_t frameNumBits = in.ue();
    const std::uint32_t pocType = in.ue();
    if (frameNumBits > 12 || pocType > 2) return;
    s.log2MaxFrameNum = static_cast<int>(frameNumBits) + 4;
    s.pocType = static_cast<int>(pocType);
    if (s.pocType == 0) {
      const std::uint32_t lsbBits = in.ue();
      if (lsbBits > 12) return;
      s.log2MaxPocLsb = static_cast<int>(lsbBits) + 4;
    } else if (s.pocType == 1) {
      in.u(1);
      in.se();
      in.se();
      const std::uint32_t n = in.ue();
      for (std::uint32_t i = 0; i < n && i < 256 && in.ok(); ++i) in.se();
    }
    in.ue();  // max_num_ref_frames
    in.u(1);  // gaps_in_frame_num_value_allowed_flag
    in.ue();
    in.ue();
    s.frameMbsOnly = in.u(1) != 0;
    if (in.ok() && id < 32 && s.log2MaxFrameNum <= 16 && s.log2MaxPocLsb <= 16 && s.pocType <= 2)
      sps_[static_cast<int>(id)] = s;
    return;
  }
  Pps p;
  const std::uint32_t id = in.ue();
  p.spsId = static_cast<int>(in.ue());
  p.cabac = in.u(1) != 0;
  p.bottomFieldPicOrderPresent = in.u(1) != 0;
  p.sliceGroups = in.ue() != 0;
  if (!p.sliceGroups) {
    const std::uint32_t defaults[2] = {in.ue(), in.ue()};
    if (defaults[0] > 31 || defaults[1] > 31) return;
    p.refIdxDefault[0] = static_cast<int>(defaults[0]);
    p.refIdxDefault[1] = static_cast<int>(defaults[1]);
    p.weightedPred = in.u(1) != 0;
    p.weightedBipred = static_cast<int>(in.u(2));
    in.se();
    in.se();
    in.se();
    p.deblockingControlPresent = in.u(1) != 0;
    in.u(1);
    p.redundantPicCntPresent = in.u(1) != 0;
  }
  if (in.ok() && id < 256) pps_[static_cast<int>(id)] = p;
}

std::optional<std::vector<Bytes>> AvcRestart::units(const std::uint8_t* data, int size) {
  if (lengthSize_ == 0) return std::nullopt;
  auto list = SplitLengthPrefixed(data, size, lengthSize_);
  if (!list) return std::nullopt;
  for (const Bytes& u : *list) learn(u);
  return list;
}

std::optional<Bytes> AvcRestart::rewrite(const Bytes& unit, const AvcSlice& s, const Bytes& rbsp, bool idr) {
  const int fnBits = s.sps->log2MaxFrameNum;
  const std::int64_t maxFrameNum = std::int64_t{1} << fnBits;
  const int lsbBits = s.sps->log2MaxPocLsb;
  // The output's number of a source reference picture `back` numbers
  // before the current one (-1: not written).
  auto outputOf = [&](std::int64_t back) -> std::int64_t {
    const std::int64_t at = sourceAt_ - back;
    if (back <= 0 || at < 0 || at >= static_cast<std::int64_t>(outOf_.size())) return -1;
    return outOf_[static_cast<std::size_t>(at)];
  };
  const std::int64_t current = idr ? 0 : outAt_;
  Writer w;
  w.copy(rbsp, 0, s.frameNumAt);
  w.u(static_cast<std::uint32_t>(current % maxFrameNum), fnBits);
  w.copy(rbsp, s.frameNumAt + static_cast<std::size_t>(fnBits), s.afterPictureFields);
  if (idr) w.ue(idrPicId_);
  if (s.sps->pocType == 0) {
    w.u((s.pocLsb - pocLsbBase_) & ((1u << lsbBits) - 1), lsbBits);
    w.copy(rbsp, s.pocLsbAt + static_cast<std::size_t>(lsbBits), s.changesAt);
  } else {
    w.copy(rbsp, s.afterIdrPicId, s.changesAt);
  }
  // Reference list changes: each short-term picture named by its new number
  // (one that is not written: the last written reference picture instead).
  for (int l = 0; l < (s.type == 1 ? 2 : s.lists() ? 1 : 0); ++l) {
    w.u(s.changing[l] ? 1 : 0, 1);
    if (!s.changing[l]) continue;
    std::int64_t sourcePred = s.frameNum, outPred = current % maxFrameNum;
    for (const AvcSlice::Change& c : s.changes[l]) {
      if (c.idc == 2) {
        w.ue(2);
        w.ue(c.value);
        continue;
      }
      std::int64_t noWrap = c.idc == 0 ? sourcePred - (std::int64_t{c.value} + 1) : sourcePred + (std::int64_t{c.value} + 1);
      noWrap = ((noWrap % maxFrameNum) + maxFrameNum) % maxFrameNum;
      sourcePred = noWrap;
      const std::int64_t picNum = noWrap > std::int64_t{s.frameNum} ? noWrap - maxFrameNum : noWrap;
      std::int64_t target = outputOf(std::int64_t{s.frameNum} - picNum);
      if (target < 0) target = lastOutRef_;
      std::int64_t d = ((target - outPred) % maxFrameNum + maxFrameNum) % maxFrameNum;
      if (d == 0) return std::nullopt;
      if (d <= maxFrameNum / 2) {
        w.ue(1);
        w.ue(static_cast<std::uint32_t>(d - 1));
      } else {
        w.ue(0);
        w.ue(static_cast<std::uint32_t>(maxFrameNum - d - 1));
      }
      outPred = ((target % maxFrameNum) + maxFrameNum) % maxFrameNum;
    }
    w.ue(3);
  }
  w.copy(rbsp, s.changesEnd, s.markingAt);
  if (s.refIdc != 0) {
    if (idr) {
      // Prior pictures still shown; no long-term reference.
      w.u(0, 2);
    } else {
      w.u(s.adaptive ? 1 : 0, 1);
      if (s.adaptive) {
        for (const AvcSlice::Marking& m : s.marking) {
          std::uint32_t first = m.first;
          if (m.op == 1 || m.op == 3) {
            const std::int64_t target = outputOf(std::int64_t{m.first} + 1);
            if (target < 0) continue;  // a picture the output does not hold
            first = static_cast<std::uint32_t>(current - target - 1);
          }
          w.ue(m.op);
          if (m.op != 5) w.ue(first);
          if (m.op == 3) w.ue(m.second);
        }
        w.ue(0);
      }
    }
  }
  w.copy(rbsp, s.markingEnd, s.headerEnd);
  if (s.pps->cabac) {
    // The slice data starts byte-aligned after cabac_alignment_one_bits.
    while (!w.aligned()) w.bit(1);
    const std::size_t from = (s.headerEnd + 7) / 8;
    w.bytes().insert(w.bytes().end(), rbsp.begin() + static_cast<std::ptrdiff_t>(std::min(from, rbsp.size())),
                     rbsp.end());
  } else {
    // The slice data follows bit by bit, up to the stop bit.
    std::size_t stop = rbsp.size() * 8;
    while (stop > s.headerEnd && !((rbsp[(stop - 1) / 8] >> (7 - (stop - 1) % 8)) & 1)) --stop;
    if (stop <= s.headerEnd) return std::nullopt;
    w.copy(rbsp, s.headerEnd, stop - 1);
    w.bit(1);
    while (!w.aligned()) w.bit(0);
  }
  const int type = idr ? kAvcIdr : s.nalType;
  return UnitFromPayload({static_cast<std::uint8_t>((unit[0] & 0xE0) | type)}, w.bytes());
}

std::optional<Bytes> AvcRestart::sliceData(const std::uint8_t* data, int size) {
  auto list = units(data, size);
  if (!list) return std::nullopt;
  Bytes out;
  for (const Bytes& u : *list) {
    const int type = UnitType(u, false);
    if (type != kAvcSlice && type != kAvcIdr) continue;
    const Bytes rbsp = UnitPayload(u, 1);
    auto s = AvcSlice::read(*this, rbsp, type, (u[0] >> 5) & 3);
    if (!s) return std::nullopt;
    Writer w;
    std::size_t from = s->headerEnd, to = rbsp.size() * 8;
    if (s->pps->cabac) from = (from + 7) / 8 * 8;
    while (to > from && !((rbsp[(to - 1) / 8] >> (7 - (to - 1) % 8)) & 1)) --to;
    w.copy(rbsp, from, to);
    out.insert(out.end(), w.bytes().begin(), w.bytes().end());
  }
  return out;
}

std::optional<Bytes> AvcRestart::restart(const std::uint8_t* data, int size) {
  active_ = false;
  auto list = units(data, size);
  if (!list) return std::nullopt;
  // Every slice an I slice of one reference frame picture.
  std::vector<std::pair<AvcSlice, Bytes>> slices;
  for (const Bytes& u : *list) {
    const int type = UnitType(u, false);
    if (type == kAvcIdr) return std::nullopt;  // already one
    if (type != kAvcSlice) continue;
    const int refIdc = (u[0] >> 5) & 3;
    Bytes rbsp = UnitPayload(u, 1);
    auto s = AvcSlice::read(*this, rbsp, type, refIdc);
    if (!s || refIdc == 0 || s->type != 2 || s->field) return std::nullopt;
    if (!slices.empty() && (slices.front().first.frameNum != s->frameNum || slices.front().first.pocLsb != s->pocLsb))
      return std::nullopt;
    slices.emplace_back(*s, std::move(rbsp));
  }
  if (slices.empty()) return std::nullopt;
  const AvcSlice& first = slices.front().first;
  pocLsbBase_ = first.pocLsb;
  lastSourceFrameNum_ = first.frameNum;
  sourceAt_ = 0;
  outAt_ = 0;
  lastOutRef_ = 0;
  outOf_.assign(1, 0);
  std::vector<Bytes> out;
  std::size_t next = 0;
  for (const Bytes& u : *list) {
    if (UnitType(u, false) != kAvcSlice) {
      out.push_back(u);
      continue;
    }
    auto idr = rewrite(u, slices[next].first, slices[next].second, true);
    ++next;
    if (!idr) return std::nullopt;
    out.push_back(std::move(*idr));
  }
  idrPicId_ = (idrPicId_ + 1) % 65536;
  active_ = true;
  return JoinLengthPrefixed(out, lengthSize_);
}

std::optional<Bytes> AvcRestart::next(const std::uint8_t* data, int size, bool written) {
  auto list = units(data, size);
  if (!active_ || !list) return std::nullopt;
  std::vector<std::pair<AvcSlice, Bytes>> slices;
  for (const Bytes& u : *list) {
    const int type = UnitType(u, false);
    if (type == kAvcIdr) {
      // The source starts afresh here itself.
      active_ = false;
      return std::nullopt;
    }
    if (type != kAvcSlice) continue;
    Bytes rbsp = UnitPayload(u, 1);
    auto s = AvcSlice::read(*this, rbsp, type, (u[0] >> 5) & 3);
    if (!s || s->field) {
      // Beyond what the restart reads: the rest of the range as it is.
      active_ = false;
      return std::nullopt;
    }
    slices.emplace_back(*s, std::move(rbsp));
  }
  if (slices.empty()) return std::nullopt;
  const AvcSlice& first = slices.front().first;
  const std::uint32_t mask = (1u << first.sps->log2MaxFrameNum) - 1;
  sourceAt_ += (first.frameNum - lastSourceFrameNum_) & mask;
  lastSourceFrameNum_ = first.frameNum;
  if (static_cast<std::int64_t>(outOf_.size()) <= sourceAt_) outOf_.resize(static_cast<std::size_t>(sourceAt_) + 1, -1);
  const bool reference = first.refIdc != 0;
  if (!written) {
    if (reference) outOf_[static_cast<std::size_t>(sourceAt_)] = -1;
    return std::nullopt;
  }
  outAt_ = lastOutRef_ + 1;
  std::vector<Bytes> out;
  std::size_t next = 0;
  bool resets = false;
  for (const Bytes& u : *list) {
    if (UnitType(u, false) != kAvcSlice) {
      out.push_back(u);
      continue;
    }
    const AvcSlice& s = slices[next].first;
    for (const AvcSlice::Marking& m : s.marking) resets = resets || m.op == 5;
    auto moved = rewrite(u, s, slices[next].second, false);
    ++next;
    if (!moved) {
      active_ = false;
      return std::nullopt;
    }
    out.push_back(std::move(*moved));
  }
  if (reference) {
    outOf_[static_cast<std::size_t>(sourceAt_)] = outAt_;
    lastOutRef_ = outAt_;
  }
  // After a reset of all references (memory management operation 5) the
  // source numbers afresh from this picture; the rest stays as it is.
  if (resets) active_ = false;
  return JoinLengthPrefixed(out, lengthSize_);
}

}  // namespace kf::exportimpl
