// Which container an export writes, and whether it can write it.
//
// The container follows the output's extension (outputFileTypeForPath:
// ".mov" QuickTime, ".mkv" Matroska, ".webm" WebM, anything else MP4), as
// long as that container can hold the output's codecs; otherwise the export
// is refused with a message that names the extensions that would work. The
// save panel and the clip names propose the extension that fits: MP4 where
// MP4 holds the codecs, else QuickTime, else the source's own container.
//
// Matroska and WebM have no edit lists: a lossless cut there would show the
// frames decoded from the keyframe before each cut (no reader hides them),
// so a stream copy into them is written only when it keeps the whole movie.
//
// Codecs are named by FFmpeg's short codec names ("h264", "hevc", "aac",
// "pcm_s16le", ...). Pure functions; any thread.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/Error.h"
#include "export/naming/ExportNaming.h"
#include "export/plan/ExportPlan.h"

namespace kf {

// "Kerfline" error code of a refused output container.
inline constexpr std::int64_t kOutputContainerCode = 15;

// Whether the container holds a track of `codec` (its table of codecs).
bool ContainerCarries(OutputFileType type, std::string_view codec);
bool ContainerCarriesAll(OutputFileType type, const std::vector<std::string>& codecs);

// MP4 and QuickTime: edit lists say which stored frames are shown.
bool ContainerHasEditLists(OutputFileType type);

// "MP4", "QuickTime", "Matroska", "WebM".
const char* ContainerDisplayName(OutputFileType type);
// The extension names use for it: "mp4", "mov", "mkv", "webm".
const char* ContainerExtension(OutputFileType type);

// The codecs of the tracks an export writes: the source's picture and sound
// codecs for the stream copy, H.264 and AAC for the re-encode, the source's
// H.264 or HEVC and AAC for the smart render.
std::vector<std::string> OutputCodecs(ExportPreset preset, const std::vector<std::string>& sourceCodecs);

// The extension (without dot) that fits an output of `codecs` made from
// `sourceFileName`: "mp4" when MP4 holds them all (or when they are not
// known), else "mov" when QuickTime does, else the source's own container
// when it does, else the first of Matroska and WebM that does, else "mp4".
// Containers with edit lists come first, so that a lossless cut is possible.
std::string FittingExtension(const std::vector<std::string>& codecs, std::string_view sourceFileName);

// Whether a byte-for-byte copy of `sourceFileName` may be stored under
// `destinationFileName`: the same extension (any letter case), a source
// without extension (whose copy the save panel proposes as ".mov"), or a
// destination whose container (outputFileTypeForPath) is the one the
// source's extension names ("a.mp4" to "b.m4v" or to "b.mp4.part").
bool KeepsContainer(std::string_view sourceFileName, std::string_view destinationFileName);

// Whether the plan's kept ranges add up to the whole movie: one range from
// the movie's start to (within 1/600 s of) its end.
bool KeepsWholeMovie(const std::vector<SourceRange>& ranges, std::int64_t movieDuration600);

// What an export to `fileName` (the output's final name, for the message)
// of type `type` writes, checked before anything is written: nullopt when
// the container holds the output's codecs (and, for a stream copy into a
// container without edit lists, the plan keeps the whole movie); else
// "Kerfline" error kOutputContainerCode saying what to change.
Status CheckOutputContainer(std::string_view fileName, OutputFileType type, ExportPreset preset,
                            const std::vector<std::string>& sourceCodecs, bool keepsWholeMovie);

}  // namespace kf
