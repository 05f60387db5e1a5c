// Lossless copies of H.264 whose groups of pictures are open (x264's open
// GOP: the keyframes are I pictures, not IDR pictures, and the B-frames just
// after each in decoding order are shown before it and refer to the group
// before). Ranges start inside groups, so every range is copied from such a
// keyframe and joins a range copied from elsewhere.
//
// What must hold: FFmpeg's decoder shows exactly the kept frames, with the
// edit lists and (as a player that ignores them) every kept frame in order,
// and finds no fault when it stops at the first one; every range starts on
// an IDR picture; and no range carries its keyframe's leading pictures
// (never shown, and without the pictures they refer to).
#include <algorithm>
#include <random>

#include "ExportMatrix.h"
#include "platform/export/AvcRestart.h"
#include "platform/export/NalUnits.h"

extern "C" {
#include <libavformat/avformat.h>
}

namespace kf {
namespace {

using namespace matrix;

struct Sample {
  std::int64_t pts = 0;
  bool key = false;
  std::vector<int> units;  // NAL unit types, in order
};

// The video samples of `path` in decoding order, as stored (no edit list).
std::vector<Sample> ReadSamples(const std::string& path) {
  std::vector<Sample> out;
  AVFormatContext* fmt = nullptr;
  AVDictionary* opts = nullptr;
  av_dict_set(&opts, "ignore_editlist", "1", 0);
  const int err = avformat_open_input(&fmt, path.c_str(), nullptr, &opts);
  av_dict_free(&opts);
  if (err < 0) return out;
  if (avformat_find_stream_info(fmt, nullptr) >= 0) {
    const int v = av_find_best_stream(fmt, AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
    const int lengthSize = v >= 0 ? exportimpl::NalLengthSize(fmt->streams[v]->codecpar) : 0;
    AVPacket* pkt = av_packet_alloc();
    while (v >= 0 && av_read_frame(fmt, pkt) >= 0) {
      if (pkt->stream_index == v) {
        Sample s;
        s.pts = pkt->pts;
        s.key = pkt->flags & AV_PKT_FLAG_KEY;
        if (auto units = exportimpl::SplitLengthPrefixed(pkt->data, pkt->size, lengthSize))
          for (const auto& u : *units) s.units.push_back(exportimpl::UnitType(u, false));
        out.push_back(std::move(s));
      }
      av_packet_unref(pkt);
    }
    av_packet_free(&pkt);
  }
  avformat_close_input(&fmt);
  return out;
}

// Decoding errors FFmpeg's decoder reports for the video of `path` when it
// stops at the first fault (as browsers have it decode), -1 when the file
// cannot be decoded at all.
int StrictDecodingErrors(const std::string& path) {
  AVFormatContext* fmt = nullptr;
  if (avformat_open_input(&fmt, path.c_str(), nullptr, nullptr) < 0) return -1;
  int errors = -1;
  const AVCodec* codec = nullptr;
  const int v = avformat_find_stream_info(fmt, nullptr) >= 0
                    ? av_find_best_stream(fmt, AVMEDIA_TYPE_VIDEO, -1, -1, &codec, 0)
                    : -1;
  AVCodecContext* dec = v >= 0 && codec ? avcodec_alloc_context3(codec) : nullptr;
  if (dec && avcodec_parameters_to_context(dec, fmt->streams[v]->codecpar) >= 0) {
    dec->err_recognition = AV_EF_EXPLODE;
    if (avcodec_open2(dec, codec, nullptr) >= 0) {
      errors = 0;
      AVPacket* pkt = av_packet_alloc();
      AVFrame* frame = av_frame_alloc();
      auto drain = [&] {
        int r;
        while ((r = avcodec_receive_frame(dec, frame)) >= 0) {
          if (frame->decode_error_flags != 0) ++errors;
          av_frame_unref(frame);
        }
        if (r != AVERROR(EAGAIN) && r != AVERROR_EOF) ++errors;
      };
      while (av_read_frame(fmt, pkt) >= 0) {
        if (pkt->stream_index == v) {
          if (avcodec_send_packet(dec, pkt) < 0) ++errors;
          drain();
        }
        av_packet_unref(pkt);
      }
      avcodec_send_packet(dec, nullptr);
      drain();
      av_frame_free(&frame);
      av_packet_free(&pkt);
    }
  }
  avcodec_free_context(&dec);
  avformat_close_input(&fmt);
  return errors;
}

bool Has(const Sample& s, int unit) { return std::find(s.units.begin(), s.units.end(), unit) != s.units.end(); }

// A source as FFmpeg's decoder shows it (frames and their times).
Source Load(const tm::MovieSpec& spec) {
  Source s;
  s.path = tm::ensure(spec);
  auto frames = testing::DecodeVideo(s.path);
  if (!frames.ok()) throw std::runtime_error(frames.error().message);
  s.frames = std::move(*frames);
  s.origin = testing::StartTime(s.path);
  for (const auto& f : s.frames) s.start.push_back(f.time - s.origin);
  s.frameLength = 1.0 / spec.rate();
  return s;
}

// "open-gop" (6 s, x264's fastest settings: CAVLC) and the shape of the
// players check (10 s, CABAC, two B-frames as a pyramid).
tm::MovieSpec Short() { return tm::named("open-gop"); }
tm::MovieSpec Long() {
  tm::MovieSpec s = tm::named("h264");
  s.seconds = 10;
  s.gop = 60;
  s.openGop = true;
  return s;
}

class OpenGopCopy : public ExportSessionTest {
 protected:
  void Check(const std::string& name, const Source& src, const std::vector<TimeSpan>& ranges) {
    // The source is what this test is about: open groups, leading pictures.
    const std::vector<Sample> source = ReadSamples(src.path);
    std::size_t openKeys = 0, leading = 0;
    for (std::size_t i = 0; i < source.size(); ++i) {
      if (!source[i].key || Has(source[i], 5)) continue;
      ++openKeys;
      for (std::size_t j = i + 1; j < source.size() && !source[j].key; ++j)
        if (source[j].pts < source[i].pts) ++leading;
    }
    ASSERT_GE(openKeys, 2u);
    ASSERT_GE(leading, 2 * openKeys);

    std::vector<int> expected;
    for (const auto& r : Expected(src, ranges))
      for (std::size_t i : r) expected.push_back(src.frames[i].number);
    const std::string out = Out(name + ".mp4");
    std::optional<Error> err;
    ASSERT_EQ(Run(src.path, Request(ranges, ExportPreset::Passthrough, out), &err), ExportStatus::Completed)
        << (err ? err->message : "");

    auto shown = testing::DecodeVideo(out);
    ASSERT_TRUE(shown.ok()) << shown.error().message;
    EXPECT_EQ(Numbers(*shown), expected);

    // Every picture decodes: no reference or marking names a picture the
    // output does not hold.
    EXPECT_EQ(StrictDecodingErrors(out), 0);

    // A player that ignores edit lists shows each range from its keyframe:
    // every kept frame, in order.
    testing::DecodeOptions all;
    all.ignoreEditList = true;
    auto everything = testing::DecodeVideo(out, all);
    ASSERT_TRUE(everything.ok()) << everything.error().message;
    std::size_t found = 0;
    for (const auto& f : *everything)
      if (found < expected.size() && f.number == expected[found]) ++found;
    EXPECT_EQ(found, expected.size()) << "kept frames shown in order without the edit lists";

    // Ranges start at the first sample and after each end of sequence.
    const std::vector<Sample> written = ReadSamples(out);
    ASSERT_FALSE(written.empty());
    std::size_t starts = 0;
    for (std::size_t i = 0; i < written.size(); ++i) {
      if (i > 0 && (written[i].units.empty() || written[i].units.front() != exportimpl::kAvcEndOfSequence)) continue;
      ++starts;
      SCOPED_TRACE("range starting at sample " + std::to_string(i));
      EXPECT_TRUE(written[i].key);
      EXPECT_TRUE(Has(written[i], 5)) << "the range does not start on an IDR picture";
      for (std::size_t j = i + 1; j < written.size() && !written[j].key; ++j)
        EXPECT_GE(written[j].pts, written[i].pts) << "a leading picture of the range's keyframe, sample " << j;
    }
    EXPECT_EQ(starts, ranges.size());
  }
};

// Two ranges, each starting inside a group that opens on an I picture.
TEST_F(OpenGopCopy, TwoMidGopRangesShowExactlyTheKeptFrames) {
  const Source src = Load(Short());
  Check("two", src, {{src.start[65], src.start[100]}, {src.start[130] + 0.004, src.start[170] + 0.004}});
}

// Ten short ranges: most start in a group whose keyframe another range was
// copied from too, and join a range from a different group.
TEST_F(OpenGopCopy, TenShortRangesShowExactlyTheKeptFrames) {
  std::vector<TimeSpan> ranges;
  for (int i = 0; i < 10; ++i) ranges.push_back({0.15 + 0.57 * i, 0.15 + 0.57 * i + 0.25});
  Check("ten", Load(Short()), ranges);
}

// The same over 10 s with the pyramid of B-frames: a range from the group
// at 2 s follows one from the group at 0 s, whose picture order counts lie
// above its own.
TEST_F(OpenGopCopy, TenShortRangesOverLongerGroupsShowExactlyTheKeptFrames) {
  std::vector<TimeSpan> ranges;
  for (int i = 0; i < 10; ++i) ranges.push_back({0.15 + 0.95 * i, 0.15 + 0.95 * i + 0.25});
  Check("ten-long", Load(Long()), ranges);
}


// Hand-made units for the damaged-input case below.
class UnitBits {
 public:
  void u(std::uint64_t v, int n) {
    for (int i = n - 1; i >= 0; --i) bit((v >> i) & 1);
  }
  void ue(std::uint64_t v) {
    const std::uint64_t x = v + 1;
    int n = 0;
    while ((x >> (n + 1)) != 0) ++n;
    u(0, n);
    u(x, n + 1);
  }
  // The unit with its header byte, trailing bits and emulation prevention.
  exportimpl::Bytes unit(std::uint8_t header) {
    bit(1);
    while (used_ != 0) bit(0);
    return exportimpl::UnitFromPayload({header}, bytes_);
  }

 private:
  void bit(std::uint64_t b) {
    if (used_ == 0) bytes_.push_back(0);
    if (b) bytes_.back() |= static_cast<std::uint8_t>(0x80 >> used_);
    used_ = (used_ + 1) % 8;
  }
  exportimpl::Bytes bytes_;
  int used_ = 0;
};

// The restart reads slice headers and parameter sets out of the source's
// own samples: a damaged or hostile movie must not make it misread them,
// read past a unit, or overflow a count (the sanitizer build checks the
// reads).
TEST(OpenGopRestart, DamagedParameterSetsAndSamplesAreRefusedNotMisread) {
  const std::string path = tm::ensure(Short());
  AVFormatContext* fmt = nullptr;
  ASSERT_GE(avformat_open_input(&fmt, path.c_str(), nullptr, nullptr), 0);
  std::unique_ptr<AVFormatContext, void (*)(AVFormatContext*)> closer(fmt, [](AVFormatContext* f) {
    avformat_close_input(&f);
  });
  ASSERT_GE(avformat_find_stream_info(fmt, nullptr), 0);
  const int v = av_find_best_stream(fmt, AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
  ASSERT_GE(v, 0);
  const AVCodecParameters* par = fmt->streams[v]->codecpar;
  const int lengthSize = exportimpl::NalLengthSize(par);
  ASSERT_GT(lengthSize, 0);
  std::vector<exportimpl::Bytes> samples;
  std::vector<bool> keys;
  AVPacket* pkt = av_packet_alloc();
  while (av_read_frame(fmt, pkt) >= 0) {
    if (pkt->stream_index == v) {
      samples.emplace_back(pkt->data, pkt->data + pkt->size);
      keys.push_back(pkt->flags & AV_PKT_FLAG_KEY);
    }
    av_packet_unref(pkt);
  }
  av_packet_free(&pkt);
  // The first open group's I picture.
  std::size_t key = 0;
  for (std::size_t i = 1; i < samples.size() && key == 0; ++i)
    if (keys[i]) key = i;
  ASSERT_GT(key, 0u);
  ASSERT_LT(key + 20, samples.size());
  const exportimpl::Bytes& I = samples[key];

  exportimpl::AvcRestart clean(par);
  const auto idr = clean.restart(I.data(), static_cast<int>(I.size()));
  ASSERT_TRUE(idr) << "the undamaged I picture restarts";

  // A sequence parameter set in the sample that claims a frame number
  // 4 billion bits wide (and a picture parameter set with as many reference
  // pictures), under the ids the slices use: refused, so the slices are
  // read with the stream's own sets and come out as from the clean sample.
  UnitBits sps;
  sps.u(66, 8);  // profile without the chroma fields
  sps.u(0, 16);
  sps.ue(0);              // id
  sps.ue(4294967280u);    // log2_max_frame_num_minus4
  sps.ue(0);              // picture order count type
  sps.ue(0);
  sps.ue(1);
  sps.u(0, 1);
  sps.ue(10);
  sps.ue(10);
  sps.u(1, 1);
  UnitBits pps;
  pps.ue(0);  // id
  pps.ue(0);  // sequence set
  pps.u(0, 2);
  pps.ue(0);
  pps.ue(4294967290u);  // num_ref_idx_l0_default_active_minus1
  pps.ue(4294967290u);
  const exportimpl::Bytes prefix = exportimpl::JoinLengthPrefixed({sps.unit(0x67), pps.unit(0x68)}, lengthSize);
  exportimpl::Bytes hostile = prefix;
  hostile.insert(hostile.end(), I.begin(), I.end());
  exportimpl::AvcRestart misled(par);
  const auto restarted = misled.restart(hostile.data(), static_cast<int>(hostile.size()));
  ASSERT_TRUE(restarted);
  exportimpl::Bytes expected = prefix;
  expected.insert(expected.end(), idr->begin(), idr->end());
  EXPECT_EQ(*restarted, expected);

  // Samples cut short: the unit lengths no longer fit, nothing is rewritten.
  for (std::size_t n = 0; n < I.size(); n += std::max<std::size_t>(1, I.size() / 97)) {
    exportimpl::AvcRestart r(par);
    EXPECT_FALSE(r.restart(I.data(), static_cast<int>(n))) << n << " bytes";
  }

  // Bytes flipped in the I picture and the pictures after it: whatever is
  // returned is a sample of whole units.
  std::mt19937 random(7);
  for (int round = 0; round < 200; ++round) {
    exportimpl::AvcRestart r(par);
    auto damaged = [&](const exportimpl::Bytes& s) {
      exportimpl::Bytes d = s;
      const int flips = 1 + static_cast<int>(random() % 6);
      for (int f = 0; f < flips; ++f) {
        // Past the length field, inside the headers most of the time.
        const std::size_t span = std::min<std::size_t>(d.size(), 48);
        const std::size_t at = std::min(d.size() - 1, static_cast<std::size_t>(lengthSize) + random() % span);
        d[at] ^= static_cast<std::uint8_t>(1u << (random() % 8));
      }
      return d;
    };
    const exportimpl::Bytes first = damaged(I);
    auto out = r.restart(first.data(), static_cast<int>(first.size()));
    if (out) {
      EXPECT_TRUE(exportimpl::SplitLengthPrefixed(out->data(), static_cast<int>(out->size()), lengthSize));
    }
    for (std::size_t i = key + 1; i < key + 20; ++i) {
      const exportimpl::Bytes later = damaged(samples[i]);
      auto moved = r.next(later.data(), static_cast<int>(later.size()), true);
      if (moved) {
        EXPECT_TRUE(exportimpl::SplitLengthPrefixed(moved->data(), static_cast<int>(moved->size()), lengthSize));
      }
    }
  }
}

}  // namespace
}  // namespace kf
