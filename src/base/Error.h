// Failures as values: a domain, an integer code and a message.
//
// Every operation that can fail returns or completes with an Error (or a
// Result<T>) instead of throwing. Platform errors pass through with their own
// domain; the program's own use "com.marrowgate.kerfline.range" (range
// service) and "Kerfline" (open, export, clips).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <variant>

namespace kf {

struct Error {
  std::string domain;
  std::int64_t code = 0;
  std::string message;
  // What the user can do about it, naming the file concerned (an alert's
  // informative text); empty when there is nothing to add. Not part of the
  // error's identity: equality compares domain, code and message.
  std::string suggestion = {};

  bool operator==(const Error& o) const { return domain == o.domain && code == o.code && message == o.message; }
};

inline constexpr const char* kRangeErrorDomain = "com.marrowgate.kerfline.range";
inline constexpr const char* kKerflineErrorDomain = "Kerfline";

// A value or an error. Deliberately small: holds exactly one of the two.
template <typename T>
class Result {
 public:
  Result(T value) : v_(std::move(value)) {}            // NOLINT(implicit)
  Result(Error error) : v_(std::move(error)) {}        // NOLINT(implicit)

  bool ok() const { return v_.index() == 0; }
  explicit operator bool() const { return ok(); }

  T& value() & { return std::get<0>(v_); }
  const T& value() const& { return std::get<0>(v_); }
  T&& value() && { return std::get<0>(std::move(v_)); }
  T* operator->() { return &std::get<0>(v_); }
  const T* operator->() const { return &std::get<0>(v_); }
  T& operator*() & { return std::get<0>(v_); }
  const T& operator*() const& { return std::get<0>(v_); }

  const Error& error() const { return std::get<1>(v_); }

 private:
  std::variant<T, Error> v_;
};

// For operations that produce nothing but may fail.
using Status = std::optional<Error>;  // nullopt means success

}  // namespace kf
