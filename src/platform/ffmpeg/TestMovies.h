// Generated test movies: small files whose every video frame shows its own
// frame number (see FrameCode.h) and whose sound is a known tone, made with
// FFmpeg's libraries and cached in the build tree.
//
// Typical use in a test:
//
//   #include "platform/ffmpeg/TestMovies.h"
//   namespace movies = kf::testmovies;
//   std::string path = movies::ensure(movies::named("h264"));   // cached MP4
//   auto frames = movies::decodeFrameNumbers(path);         // Result<vector<DecodedFrame>>
//   EXPECT_EQ(frames->front().number, 0);
//
// What a generated movie contains, for a spec S:
// - Video frame n (n = 0, 1, ...) shows the number n. Frame n is presented
//   at frameTime(S, n) seconds; with a constant rate that is n / fps.
// - S.frameCount() frames in all (S.seconds × fps, rounded down; see vfr).
// - Audio channel c (0-based) is a sine of toneFrequency(S, c) Hz (S.toneHz ×
//   (c + 1); the LFE channel of 5.1 sound 50 Hz) at half of full scale, for
//   the whole duration (or only from S.toneFrom to S.toneTo seconds).
// - An edit list (S.editList, MP4/MOV only) presents, in order, the frames
//   [firstFrame, firstFrame + frameCount) of each entry; expectedFrames(S)
//   lists the numbers a player that honours edit lists shows.
//
// Threads: every function here may be called from any thread; ensure() is
// also safe when several test processes ask for the same movie at once (each
// writes a private temporary file and renames it into place).
//
// Cache folder: $KERFLINE_TESTMOVIES_DIR when set, else <build>/testmovies.
// A file's name encodes every field of its spec and the generator's version,
// so a changed spec or generator makes a new file.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "base/Error.h"

namespace kf::testmovies {

enum class Container { Mp4, Mov, Mkv, WebM, Ts };
enum class VideoCodec { None, H264, Hevc, Vp9 };
enum class AudioCodec { None, Aac, Opus };
// How the finished file is damaged or arranged after encoding.
enum class Damage {
  None,
  Truncated,   // cut to 60 % of its size; with the index at the end it is unreadable
  Fragmented,  // fragmented MP4 (index before each fragment), for growing files
};

struct EditEntry {
  int firstFrame = 0;
  int frameCount = 0;
  bool operator==(const EditEntry&) const = default;
};

struct MovieSpec {
  Container container = Container::Mp4;
  VideoCodec video = VideoCodec::H264;
  AudioCodec audio = AudioCodec::Aac;
  int width = 320;
  int height = 240;
  int fps = 30;              // frames per second (nominal rate for vfr)
  double seconds = 3.0;      // 0 makes a movie with tracks but no samples
  int gop = 30;              // keyframe interval in frames
  int bframes = 2;           // H.264/HEVC only
  int bitDepth = 8;          // 8, or 10 (HEVC only)
  bool openGop = false;      // H.264: open groups of pictures (HEVC's are open already)
  bool hvc1 = false;         // HEVC in MP4: sample entry "hvc1" instead of "hev1"
  int rotation = 0;          // clockwise display rotation: 0, 90, 180 or 270
  bool variableFrameRate = false;  // every third frame lasts two frame periods
  int audioChannels = 2;     // 1, 2 or 6 (5.1)
  int sampleRate = 48000;
  double toneHz = 440.0;
  // When toneTo >= 0 the tone sounds only from toneFrom to toneTo seconds,
  // with digital silence elsewhere.
  double toneFrom = 0;
  double toneTo = -1;
  std::vector<EditEntry> editList;  // MP4/MOV; empty: the muxer's own
  Damage damage = Damage::None;
  int noise = 0;             // 0..64: grain in the lower half (raises the bit rate)
  std::string preset = "veryfast";   // x264/x265 preset
  int crf = 23;
  // Real-world shapes (the defaults leave a movie as above):
  int fpsDen = 1;            // the rate is fps / fpsDen (30000/1001 for 29.97)
  int timeBaseDen = 0;       // video time base 1/timeBaseDen; 0: one tick per frame
  double startSeconds = 0;   // first timestamp of the file (MPEG-TS camera clocks)
  double soundDelay = 0;     // sound starts this much after the picture (< 0: before it; frame n
                             // is then stored at frameTime(S, n) - soundDelay)
  int soundTracks = 1;       // further tracks: tones 1.5× apart, languages below
  bool subtitles = false;    // a text track, one cue per second reading its number
  std::string timecode;      // QuickTime timecode track, e.g. "01:00:00:00" (MOV)

  bool hasVideo() const { return video != VideoCodec::None; }
  bool hasAudio() const { return audio != AudioCodec::None; }
  // Number of video frames encoded.
  int frameCount() const;
  // Frames per second as a number (fps / fpsDen).
  double rate() const { return double(fps) / fpsDen; }
  // File name extension with the dot: ".mp4", ".mov", ".mkv", ".webm", ".ts".
  std::string extension() const;
  // A stable text naming every field; the cache file name derives from it.
  std::string key() const;
};

// The variants the suites use, by name:
//   h264        H.264/AAC MP4, B-frames, 320×240, 30 fps, 3 s, GOP 1 s
//   mov         the same in QuickTime
//   mkv         the same in Matroska
//   webm        VP9/Opus WebM
//   hev1, hvc1  HEVC/AAC MP4 with that sample entry code
//   rotated90   H.264 with a display matrix turning it 90° clockwise
//   silent      no sound;  audio-only  sound only (AAC in MP4)
//   surround51  six-channel AAC
//   vfr         variable frame rate
//   gop10s      12 s with one keyframe every 10 s
//   editlist1   one edit entry: frames 30–119 of 150
//   editlist3   three entries: 15–44, 90–104, 120–179 of 180
//   fragmented  fragmented MP4 (grows cleanly, see GrowingFile)
//   truncated   cut to 60 %, index lost: must fail to open
//   empty       tracks but no samples: zero duration
// Shapes of movies people bring (6 s, GOP 2 s, B-frames):
//   ntsc        29.97 fps with time base 1/30000
//   film        23.976 fps;  p5994  59.94 fps
//   vfr6        variable frame rate
//   mkv-long    Matroska, 29.97 fps, GOP 250 with B-frames
//   webm6       VP9/Opus WebM
//   ts10        MPEG-TS, 29.97 fps, first timestamp 10 s
//   mov-tc      QuickTime with a timecode track (01:00:00:00)
//   late-sound  sound starts 1.5 s after the picture
//   two-sound   two sound tracks ("eng", "fra")
//   subtitles   a mov_text subtitle track
//   open-gop    H.264 with open groups of pictures (leading B-frames
//               refer to the group before)
//   hevc6       HEVC ("hvc1"), open groups of pictures as x265 makes them
//   mkv-subs    Matroska with a SubRip subtitle track
//   early-sound sound starts 0.5 s before the picture
//   hev1-6      HEVC stored as "hev1";  hevc10  the same with 10 bits
//   phone-mov   QuickTime, 29.97 fps in 1/90000, rotated 90° clockwise
// Sound channel c of track k is a tone of toneFrequency(S, c) × 1.5^k Hz.
// Unknown names give nullopt.
std::optional<MovieSpec> tryNamed(const std::string& name);
// As tryNamed, for tests: throws std::runtime_error on an unknown name.
MovieSpec named(const std::string& name);
std::vector<std::string> names();

// The cache folder (created on demand by ensure()).
std::string cacheDir();

// Writes the movie to `path` (replacing it). Not atomic: see ensure().
Status generate(const MovieSpec& spec, const std::string& path);

// The path of the cached movie for `spec`, generating it first if missing.
Result<std::string> tryEnsure(const MovieSpec& spec);
// As tryEnsure, for tests: throws std::runtime_error with the error message.
std::string ensure(const MovieSpec& spec);

// Presentation time in seconds of coded frame n (before any edit list).
double frameTime(const MovieSpec& spec, int n);
// Frequency of the tone on channel c (0-based) of the first sound track.
double toneFrequency(const MovieSpec& spec, int channel);
// Language of sound track k: "eng", "fra", "deu", ...
std::string soundLanguage(int track);
// Frame numbers a player shows from start to end, edit list applied.
std::vector<int> expectedFrames(const MovieSpec& spec);
// Presented duration in seconds, edit list applied.
double expectedDuration(const MovieSpec& spec);

struct DecodedFrame {
  int number = -1;    // -1 when the picture carried no readable number
  double time = 0;    // presentation time in seconds, as FFmpeg reports it
};

// Decodes every video frame of a file with FFmpeg (edit lists honoured, as
// FFmpeg's MP4 demuxer does by default) and reads each frame's number.
// Fails when the file cannot be opened or has no video.
Result<std::vector<DecodedFrame>> decodeFrameNumbers(const std::string& path);

struct AudioSummary {
  int channels = 0;
  int sampleRate = 0;
  double seconds = 0;                    // decoded sound, in seconds
  std::vector<double> frequencyHz;       // per channel, from zero crossings
  std::vector<double> rms;               // per channel, full scale = 1
};
// Decodes the first audio track and measures it.
Result<AudioSummary> analyzeAudio(const std::string& path);

// Makes a file grow over time from a complete one, as a recorder writing a
// movie does: the destination starts with at least the first `initialBytes`
// bytes and each append() adds at least the next `stepBytes`, both rounded
// up to whole top-level boxes (a recorder writes whole fragments), so a
// Fragmented spec gives a file that is playable at every step. Not
// thread-safe; the owner appends.
class GrowingFile {
 public:
  GrowingFile(std::string source, std::string destination, std::int64_t initialBytes,
              std::int64_t stepBytes);
  // Creates the destination with the initial bytes.
  Status start();
  // Appends the next step; returns false once the whole source is copied.
  bool append();
  std::int64_t written() const { return written_; }
  std::int64_t total() const { return total_; }
  const std::string& path() const { return destination_; }

 private:
  // The end of the top-level box that contains byte `at` (the file's end
  // when the boxes cannot be followed).
  std::int64_t boxEndAfter(std::int64_t at) const;

  std::string source_, destination_;
  std::int64_t initial_, step_, written_ = 0, total_ = 0;
  std::vector<std::int64_t> boxEnds_;
};

}  // namespace kf::testmovies
