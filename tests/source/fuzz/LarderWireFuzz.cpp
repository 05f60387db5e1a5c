// libFuzzer target: frames from a hostile peer. Decoding must never crash
// or read past the frame, and whatever decodes must encode back to the same
// bytes.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "source/MGLarderWire.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  for (bool fromService : {false, true}) {
    auto m = kf::MGDecodeLarderPayload(data, size, fromService);
    if (!m) continue;
    auto frame = kf::MGEncodeLarderFrame(*m);
    if (frame.size() != size + 4 || std::memcmp(frame.data() + 4, data, size) != 0) std::abort();
  }
  return 0;
}
