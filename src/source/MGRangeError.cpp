#include "source/MGRangeError.h"

#include <cstring>

namespace kf {

const char* MGRangeErrorMessage(std::int64_t code) {
  switch (code) {
    case kRangeStartsBeyondMovie:
      return "Range starts beyond the movie";
    case kRangeServiceReturnedNoData:
      return "The range service returned no data";
    case kRangeServiceFailed:
      return "The range service failed";
    case kRangeServiceEnded:
      return "The range service ended";
    case kRangeUnexpectedEndOfFile:
      return "The range service reached an unexpected end of file";
    case kLarderDisconnected:
      return "The Larder range service disconnected";
    case kLarderUnavailable:
      return "The Larder range service is unavailable";
    case kMovieEmpty:
      return "The movie is empty";
    case kHandoffMissingIdentifiers:
      return "The Larder handoff URL is missing its domain or item identifier";
    case kLarderDomainUnavailable:
      return "The Larder File Provider domain is unavailable to Kerfline";
    case kLarderServiceNotProvided:
      return "Larder did not provide its byte-range service for this movie";
    case kUnsupportedURLType:
      return "Kerfline cannot open this unsupported URL type";
    default:
      return "";
  }
}

kf::Error MGRangeError(std::int64_t code, std::string message) {
  return kf::Error{kRangeErrorDomain, code, std::move(message)};
}

kf::Error MGRangeError(std::int64_t code) {
  return MGRangeError(code, MGRangeErrorMessage(code));
}

kf::Error MGRangeCancelledError() {
  return kf::Error{kCancelledErrorDomain, kUserCancelledErrorCode, "Range read cancelled"};
}

kf::Error MGPosixError(int err) {
  char buf[256];
  // The GNU strerror_r may return a static string instead of filling buf.
  const char* text = strerror_r(err, buf, sizeof buf);
  return kf::Error{kPosixErrorDomain, err, text ? text : ""};
}

}  // namespace kf
