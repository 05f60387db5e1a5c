// Error values of the movie-source subsystem (opening, range services, the
// range loader, retagging).
//
// Every error made here has the domain "com.marrowgate.kerfline.range", one of
// the codes below and its fixed message, except the cancellation of a range
// read, which uses the user-cancelled code 3072 of the "NSCocoaErrorDomain"
// domain (kept so that all front ends agree on how a cancelled read looks).
// Platform errors (POSIX failures of the local file service) pass through in
// their own domain, "NSPOSIXErrorDomain", with errno as the code.
#pragma once

#include <cstdint>
#include <string>

#include "base/Error.h"

namespace kf {

enum MGRangeErrorCode : std::int64_t {
  kRangeStartsBeyondMovie = 1,
  kRangeServiceReturnedNoData = 2,
  kRangeServiceFailed = 3,
  kRangeServiceEnded = 4,
  kRangeUnexpectedEndOfFile = 5,
  kLarderDisconnected = 6,
  kLarderUnavailable = 7,
  kMovieEmpty = 8,
  kHandoffMissingIdentifiers = 9,
  kLarderDomainUnavailable = 10,
  kLarderServiceNotProvided = 11,
  kUnsupportedURLType = 12,
};

inline constexpr const char* kCancelledErrorDomain = "NSCocoaErrorDomain";
inline constexpr std::int64_t kUserCancelledErrorCode = 3072;
inline constexpr const char* kPosixErrorDomain = "NSPOSIXErrorDomain";

// The fixed message of one of the codes above; empty for any other code.
const char* MGRangeErrorMessage(std::int64_t code);

// An error of the range domain with `code` and `message`.
kf::Error MGRangeError(std::int64_t code, std::string message);
// An error of the range domain with `code` and its fixed message.
kf::Error MGRangeError(std::int64_t code);
// The error a cancelled range read finishes with: "Range read cancelled".
kf::Error MGRangeCancelledError();
// errno as an error of the POSIX domain, message from strerror.
kf::Error MGPosixError(int err);

}  // namespace kf
