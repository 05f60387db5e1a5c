// libFuzzer target: the input is a movie file. Finding its movie box, reading
// the edit lists and planning the spans must never crash or read outside the
// file, whatever the boxes claim; every planned span must be finite and
// non-negative, and a summary's duration positive.
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "source/Mp4EditLists.h"
#include "source/Mp4Summary.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::vector<std::uint8_t> file(data, data + size);
  auto read = [&](std::uint64_t off, std::uint64_t len) -> std::optional<std::vector<std::uint8_t>> {
    if (off > file.size()) return std::nullopt;
    const std::uint64_t n = std::min<std::uint64_t>(len, file.size() - off);
    return std::vector<std::uint8_t>(file.begin() + static_cast<std::ptrdiff_t>(off),
                                     file.begin() + static_cast<std::ptrdiff_t>(off + n));
  };
  if (auto summary = kf::ReadMp4MovieSummary(read, file.size()))
    if (!(summary->duration > 0) || summary->codecs.empty()) std::abort();
  if (auto summary = kf::SummarizeMp4Movie(file))
    if (!(summary->duration > 0) || summary->codecs.empty()) std::abort();
  // The whole input as a moov payload too, so the parser sees every shape.
  for (const auto& moov : {kf::ReadMp4MovieBox(read, file.size()), std::optional(file)}) {
    if (!moov) continue;
    auto lists = kf::ParseMp4EditLists(*moov);
    if (!lists) continue;
    const kf::PresentationPlan plan = kf::PlanPresentation(*lists);
    for (const auto* spans : {plan.video ? &*plan.video : nullptr, plan.audio ? &*plan.audio : nullptr}) {
      if (!spans) continue;
      for (const auto& s : *spans)
        if (!std::isfinite(s.start) || !std::isfinite(s.duration) || s.start < 0 || s.duration <= 0) std::abort();
    }
  }
  return 0;
}
