#include "source/MGRangeError.h"

#include <gtest/gtest.h>

namespace kf {
namespace {

TEST(RangeError, EveryCodeCarriesItsDomainAndExactMessage) {
  const std::pair<std::int64_t, const char*> table[] = {
      {1, "Range starts beyond the movie"},
      {2, "The range service returned no data"},
      {3, "The range service failed"},
      {4, "The range service ended"},
      {5, "The range service reached an unexpected end of file"},
      {6, "The Larder range service disconnected"},
      {7, "The Larder range service is unavailable"},
      {8, "The movie is empty"},
      {9, "The Larder handoff URL is missing its domain or item identifier"},
      {10, "The Larder File Provider domain is unavailable to Kerfline"},
      {11, "Larder did not provide its byte-range service for this movie"},
      {12, "Kerfline cannot open this unsupported URL type"},
  };
  for (const auto& [code, message] : table) {
    kf::Error e = MGRangeError(code);
    EXPECT_EQ(e.domain, "com.marrowgate.kerfline.range");
    EXPECT_EQ(e.code, code);
    EXPECT_EQ(e.message, message) << code;
  }
  EXPECT_EQ(MGRangeError(0).message, "");
  EXPECT_EQ(MGRangeError(13).message, "");
}

TEST(RangeError, CancellationUsesTheUserCancelledCode) {
  kf::Error e = MGRangeCancelledError();
  EXPECT_EQ(e, (kf::Error{"NSCocoaErrorDomain", 3072, "Range read cancelled"}));
}

TEST(RangeError, ExplicitMessageReplacesTheFixedOne) {
  EXPECT_EQ(MGRangeError(3, "pipe closed"), (kf::Error{"com.marrowgate.kerfline.range", 3, "pipe closed"}));
}

TEST(RangeError, PosixErrorsKeepErrno) {
  kf::Error e = MGPosixError(ENOENT);
  EXPECT_EQ(e.domain, "NSPOSIXErrorDomain");
  EXPECT_EQ(e.code, ENOENT);
  EXPECT_EQ(e.message, "No such file or directory");
}

}  // namespace
}  // namespace kf
