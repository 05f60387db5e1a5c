// MP4 sample-entry retagging: a video sample entry stored as "hev1" is served
// as "hvc1", one stored as "dvhe" as "dvh1". The file is never written; only
// the bytes handed to the player differ.
//
// The scan reads the file's top-level box headers and its first `moov` box
// (ISO/IEC 14496-12 layout) and yields a retag table: the absolute file offset
// of each type field to rewrite, with its replacement bytes. Every block the
// range loader serves then goes through MGApplySampleEntryRetags.
//
// Failures are not errors here: any read error, malformed or oversized box,
// or a missing `moov` yields the empty table, and the movie is served as is.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "source/MGRangeService.h"

namespace kf {

// File offset of a type field -> its replacement. Values are meant to be
// exactly 4 bytes; any other length is ignored when patching.
using MGRetagTable = std::map<std::uint64_t, std::string>;

// Limits of the scan.
inline constexpr std::uint64_t kRetagHeaderProbeBytes = 16;
inline constexpr int kRetagMaxTopLevelBoxes = 64;
inline constexpr std::uint64_t kRetagMaxMovieBoxBytes = 33554432;  // 32 MiB
inline constexpr std::uint64_t kRetagReadChunkBytes = 524288;      // 512 KiB

// An asynchronous read: `length` bytes at `offset`, answered once through the
// reply (possibly synchronously, on any thread). The range service's
// readOffset is the usual reader.
using MGRangeReader =
    std::function<void(std::uint64_t offset, std::uint64_t length, MGRangeServiceProtocol::ReadReply reply)>;
using MGRetagCompletion = std::function<void(MGRetagTable table)>;

// True for the extensions of the ISO family (mp4, m4v, mov, qt, 3gp, 3g2,
// hevc, h265), compared after lowercasing. Thread-safe.
bool MGExtensionMayNeedRetag(std::string_view extension);

// Scans the movie behind `service` (may be null: empty table at once).
// The completion runs exactly once: synchronously when the answer needs no
// read (null service, size 0, extension filtered out), otherwise on the
// thread of the last read reply. Reads of one scan never overlap; a reader
// that answers synchronously does not grow the stack with the read count.
void MGScanSampleEntryRetags(std::shared_ptr<MGRangeServiceProtocol> service, std::uint64_t fileSize,
                             std::string_view extension, MGRetagCompletion completion);
void MGScanSampleEntryRetagsWithReader(MGRangeReader reader, std::uint64_t fileSize,
                                       std::string_view extension, MGRetagCompletion completion);

// Patches the bytes of `block` (file offset `offset`) that fall inside a table
// entry, including entries that only partly overlap the block. Returns
// `block` itself when nothing applies, else a patched copy; `block` is never
// modified. A null block is returned as is. Pure; any thread.
MGBytes MGApplySampleEntryRetags(const MGBytes& block, std::uint64_t offset, const MGRetagTable& retags);
// The same on a mutable buffer, in place; returns whether anything changed.
bool MGApplySampleEntryRetagsInPlace(std::uint8_t* data, std::size_t length, std::uint64_t offset,
                                     const MGRetagTable& retags);

// The steps of the scan, exposed for tests.

// Big-endian unsigned reads; the caller guarantees the bytes exist.
std::uint64_t MGReadU64(const std::uint8_t* p);
std::uint32_t MGReadU32(const std::uint8_t* p);

// Visits the sibling boxes of buffer range [start, end): the visitor gets the
// box type (4 bytes), its payload start and its end. Stops silently at the
// first malformed box (short header, size beyond the range or below the
// header length).
using MGBoxVisitor = std::function<void(const std::uint8_t* type, std::size_t payloadStart, std::size_t end)>;
void MGWalkBoxes(const std::vector<std::uint8_t>& buffer, std::size_t start, std::size_t end,
                 const MGBoxVisitor& visitor);

// Walks buffer range [start, end) of a loaded movie header, descending into
// trak, mdia, minf and stbl wherever they occur and examining every sample
// entry of every stsd; fills `table` with keys baseOffset + buffer offset.
// Uses an explicit work stack: nesting depth costs heap, never call stack.
void MGCollectRetags(const std::vector<std::uint8_t>& buffer, std::size_t start, std::size_t end,
                     std::uint64_t baseOffset, MGRetagTable& table);

}  // namespace kf
