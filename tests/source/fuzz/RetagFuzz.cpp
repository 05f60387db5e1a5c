// libFuzzer target: the input is a movie file. The scan must finish once
// without crashing whatever the boxes claim, read through replies of any
// size; and patching the file in the pieces the input picks must equal
// patching it whole.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "source/MGSampleEntryRetag.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 2) return 0;
  const std::uint64_t replyCap = 1 + data[0] * 37u;  // short replies of 1..9436 bytes
  const std::uint8_t splitSeed = data[1];
  std::vector<std::uint8_t> file(data + 2, data + size);

  int calls = 0;
  std::uint64_t asked = 0;
  kf::MGRetagTable table;
  kf::MGRangeReader reader = [&](std::uint64_t off, std::uint64_t len,
                                 kf::MGRangeServiceProtocol::ReadReply reply) {
    asked += len;
    if (off >= file.size()) return reply(kf::MGMakeBytes({}), std::nullopt);
    std::uint64_t n = std::min<std::uint64_t>({len, file.size() - off, replyCap});
    reply(kf::MGMakeBytes(std::vector<std::uint8_t>(file.begin() + static_cast<std::ptrdiff_t>(off),
                                                    file.begin() + static_cast<std::ptrdiff_t>(off + n))),
          std::nullopt);
  };
  kf::MGScanSampleEntryRetagsWithReader(reader, file.size(), "", [&](kf::MGRetagTable t) {
    ++calls;
    table = std::move(t);
  });
  if (calls != 1) std::abort();
  // Only headers (16 bytes each, 64 at most) and one moov of at most 32 MiB.
  if (asked > 64 * 16 + 33554432ull) std::abort();
  for (const auto& [key, value] : table) {
    if (key + 4 > file.size() || value.size() != 4) std::abort();
    if (std::memcmp(file.data() + key, "hev1", 4) != 0 && std::memcmp(file.data() + key, "dvhe", 4) != 0)
      std::abort();
  }

  std::vector<std::uint8_t> whole = file;
  kf::MGApplySampleEntryRetagsInPlace(whole.data(), whole.size(), 0, table);
  std::uint32_t rng = splitSeed * 2654435761u + 1;
  for (std::size_t at = 0; at < file.size();) {
    rng = rng * 1103515245u + 12345u;
    std::size_t len = 1 + (rng >> 16) % 13;
    len = std::min(len, file.size() - at);
    auto block =
        kf::MGMakeBytes(std::vector<std::uint8_t>(file.begin() + static_cast<std::ptrdiff_t>(at),
                                                  file.begin() + static_cast<std::ptrdiff_t>(at + len)));
    auto out = kf::MGApplySampleEntryRetags(block, at, table);
    if (out->size() != len || std::memcmp(out->data(), whole.data() + at, len) != 0) std::abort();
    at += len;
  }
  return 0;
}
