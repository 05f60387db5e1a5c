#include "export/plan/OutputContainer.h"

#include <algorithm>
#include <array>
#include <cstdlib>

namespace kf {
namespace {

constexpr std::array<std::string_view, 15> kMp4Codecs{
    "h264", "hevc", "av1", "vp9", "mpeg4", "mpeg2video", "mpeg1video",  // picture
    "aac",  "mp3",  "mp2", "opus", "ac3", "eac3", "alac", "flac",       // sound
};

// QuickTime adds uncompressed sound and the editing codecs.
constexpr std::array<std::string_view, 11> kQuickTimeExtra{
    "prores",    "mjpeg",     "dnxhd",     "pcm_s16le", "pcm_s16be", "pcm_s24le",
    "pcm_s24be", "pcm_s32le", "pcm_s32be", "pcm_f32le", "pcm_f32be",
};

constexpr std::array<std::string_view, 32> kMatroskaCodecs{
    "h264",      "hevc",      "av1",       "vp8",       "vp9",       "mpeg4",     "mpeg2video", "mpeg1video",
    "prores",    "mjpeg",     "ffv1",      "theora",    "aac",       "mp3",       "mp2",        "opus",
    "vorbis",    "flac",      "ac3",       "eac3",      "alac",      "dts",       "truehd",     "pcm_s16le",
    "pcm_s16be", "pcm_s24le", "pcm_s24be", "pcm_s32le", "pcm_s32be", "pcm_f32le", "pcm_f64le",  "pcm_u8",
};

constexpr std::array<std::string_view, 5> kWebmCodecs{"vp8", "vp9", "av1", "vorbis", "opus"};

template <std::size_t N>
bool In(const std::array<std::string_view, N>& table, std::string_view codec) {
  return std::find(table.begin(), table.end(), codec) != table.end();
}

std::string Lower(std::string_view s) {
  std::string out(s);
  for (char& c : out)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return out;
}

// The container a source file's extension names, if any.
std::optional<OutputFileType> SourceContainer(std::string_view sourceFileName) {
  const std::string ext = Lower(splitFileName(lastPathComponent(sourceFileName)).extension);
  if (ext == "mp4" || ext == "m4v") return OutputFileType::MPEG4;
  if (ext == "mov" || ext == "qt") return OutputFileType::QuickTimeMovie;
  if (ext == "mkv") return OutputFileType::Matroska;
  if (ext == "webm") return OutputFileType::WebM;
  return std::nullopt;
}

// How a message names a codec.
std::string CodecDisplayName(std::string_view codec) {
  static constexpr std::array<std::pair<std::string_view, std::string_view>, 23> kNames{{
      {"h264", "H.264"},   {"hevc", "HEVC"},   {"av1", "AV1"},         {"vp8", "VP8"},          {"vp9", "VP9"},
      {"mpeg4", "MPEG-4"}, {"mpeg2video", "MPEG-2"}, {"mpeg1video", "MPEG-1"}, {"prores", "ProRes"},
      {"mjpeg", "Motion JPEG"}, {"dnxhd", "DNxHD"}, {"ffv1", "FFV1"}, {"theora", "Theora"}, {"aac", "AAC"},
      {"mp3", "MP3"},      {"mp2", "MPEG audio"}, {"opus", "Opus"},     {"vorbis", "Vorbis"},    {"flac", "FLAC"},
      {"ac3", "AC-3"},     {"eac3", "E-AC-3"}, {"alac", "ALAC"},       {"truehd", "TrueHD"},
  }};
  for (const auto& [name, shown] : kNames)
    if (name == codec) return std::string(shown);
  if (codec.substr(0, 4) == "pcm_") return "uncompressed (PCM) sound";
  std::string upper(codec);
  for (char& c : upper)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  return upper;
}

// "A", "A or B", "A, B or C".
std::string OrList(const std::vector<std::string>& items) {
  std::string out;
  for (std::size_t i = 0; i < items.size(); ++i) {
    if (i > 0) out += i + 1 == items.size() ? " or " : ", ";
    out += items[i];
  }
  return out;
}

constexpr std::array<OutputFileType, 4> kAllTypes{OutputFileType::MPEG4, OutputFileType::QuickTimeMovie,
                                                  OutputFileType::Matroska, OutputFileType::WebM};

}  // namespace

bool ContainerCarries(OutputFileType type, std::string_view codec) {
  switch (type) {
    case OutputFileType::MPEG4: return In(kMp4Codecs, codec);
    case OutputFileType::QuickTimeMovie: return In(kMp4Codecs, codec) || In(kQuickTimeExtra, codec);
    case OutputFileType::Matroska: return In(kMatroskaCodecs, codec);
    case OutputFileType::WebM: return In(kWebmCodecs, codec);
  }
  return false;
}

bool ContainerCarriesAll(OutputFileType type, const std::vector<std::string>& codecs) {
  return std::all_of(codecs.begin(), codecs.end(), [type](const std::string& c) { return ContainerCarries(type, c); });
}

bool ContainerHasEditLists(OutputFileType type) {
  return type == OutputFileType::MPEG4 || type == OutputFileType::QuickTimeMovie;
}

const char* ContainerDisplayName(OutputFileType type) {
  switch (type) {
    case OutputFileType::MPEG4: return "MP4";
    case OutputFileType::QuickTimeMovie: return "QuickTime";
    case OutputFileType::Matroska: return "Matroska";
    case OutputFileType::WebM: return "WebM";
  }
  return "MP4";
}

const char* ContainerExtension(OutputFileType type) {
  switch (type) {
    case OutputFileType::MPEG4: return "mp4";
    case OutputFileType::QuickTimeMovie: return "mov";
    case OutputFileType::Matroska: return "mkv";
    case OutputFileType::WebM: return "webm";
  }
  return "mp4";
}

std::vector<std::string> OutputCodecs(ExportPreset preset, const std::vector<std::string>& sourceCodecs) {
  switch (preset) {
    case ExportPreset::Passthrough: return sourceCodecs;
    case ExportPreset::SmartRender: {
      // The picture keeps its codec (the mode takes only H.264 and HEVC);
      // the sound is encoded as AAC.
      std::vector<std::string> out;
      for (const std::string& c : sourceCodecs)
        if (c == "h264" || c == "hevc") out.push_back(c);
      out.push_back("aac");
      return out;
    }
    case ExportPreset::HighestQuality: break;
  }
  return {"h264", "aac"};
}

std::string FittingExtension(const std::vector<std::string>& codecs, std::string_view sourceFileName) {
  if (ContainerCarriesAll(OutputFileType::MPEG4, codecs)) return "mp4";
  if (ContainerCarriesAll(OutputFileType::QuickTimeMovie, codecs)) return "mov";
  if (const auto own = SourceContainer(sourceFileName); own && ContainerCarriesAll(*own, codecs))
    return ContainerExtension(*own);
  for (OutputFileType t : {OutputFileType::Matroska, OutputFileType::WebM})
    if (ContainerCarriesAll(t, codecs)) return ContainerExtension(t);
  return "mp4";
}

bool KeepsContainer(std::string_view sourceFileName, std::string_view destinationFileName) {
  const std::string from = Lower(splitFileName(lastPathComponent(sourceFileName)).extension);
  const std::string to = Lower(splitFileName(lastPathComponent(destinationFileName)).extension);
  if (from.empty() || from == to) return true;
  const auto own = SourceContainer(sourceFileName);
  return own && *own == outputFileTypeForPath(destinationFileName);
}

bool KeepsWholeMovie(const std::vector<SourceRange>& ranges, std::int64_t movieDuration600) {
  const SourceRange* kept = nullptr;
  for (const SourceRange& r : ranges) {
    if (r.duration <= 0) continue;
    if (kept) return false;
    kept = &r;
  }
  return kept && kept->start <= 0 && kept->start + kept->duration >= movieDuration600 - 1;
}

Status CheckOutputContainer(std::string_view fileName, OutputFileType type, ExportPreset preset,
                            const std::vector<std::string>& sourceCodecs, bool keepsWholeMovie) {
  const std::vector<std::string> codecs = OutputCodecs(preset, sourceCodecs);
  const bool lossless = preset == ExportPreset::Passthrough;
  const std::string name = "“" + lastPathComponent(fileName) + "”";
  const std::string container = ContainerDisplayName(type);
  // Where the same export would work: containers that hold the codecs and,
  // for a lossless cut, have edit lists.
  std::vector<std::string> fitting;
  for (OutputFileType t : kAllTypes)
    if (t != type && ContainerCarriesAll(t, codecs) && (!lossless || keepsWholeMovie || ContainerHasEditLists(t)))
      fitting.push_back(std::string(".") + ContainerExtension(t));
  const std::string reencode = lossless && ContainerCarriesAll(type, OutputCodecs(ExportPreset::HighestQuality, {}))
                                   ? "choose Frame-Accurate Re-encode to keep this name"
                                   : "choose Frame-Accurate Re-encode and name it .mp4";

  std::vector<std::string> missing;
  for (const std::string& c : codecs) {
    if (ContainerCarries(type, c)) continue;
    const std::string shown = CodecDisplayName(c);
    if (std::find(missing.begin(), missing.end(), shown) == missing.end()) missing.push_back(shown);
  }
  if (!missing.empty()) {
    std::string message = name + " cannot be written: " + container + " cannot hold " + OrList(missing) + ". ";
    if (!fitting.empty())
      message += "Name it with the extension " + OrList(fitting) + " instead.";
    else
      message += "To export this movie, " + reencode + ".";
    return Error{kKerflineErrorDomain, kOutputContainerCode, message};
  }
  if (lossless && !keepsWholeMovie && !ContainerHasEditLists(type)) {
    std::string message = name + " cannot be written losslessly: " + container +
                          " cannot hide the frames before a cut, so they would play. ";
    if (!fitting.empty())
      message += "Name it with the extension " + OrList(fitting) + ", or " + reencode + ".";
    else
      message += "To cut this movie, " + reencode + ".";
    return Error{kKerflineErrorDomain, kOutputContainerCode, message};
  }
  return std::nullopt;
}

}  // namespace kf
