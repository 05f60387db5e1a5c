// The wire format of Larder's range service over a Unix domain socket.
//
// A connection carries frames in both directions. Every frame is
//
//   u32 length (big-endian) | payload of `length` bytes
//
// and every payload starts with
//
//   u8 type | u64 request id (big-endian)
//
// followed by the body of its type. Integers are big-endian; a string is a
// u16 (names, identifiers, domains) or u32 (messages) byte count followed by
// UTF-8 bytes; an error is
//
//   string16 domain | i64 code | string32 message
//
// Client to service:
//   0x01 hello      id 0; string16 service name | string16 item identifier.
//                   Must be the first frame; the service answers with 0x81.
//   0x02 file size  no body; answered with 0x82 carrying the same id.
//   0x03 read       u64 offset | u64 length; answered with 0x83.
// Service to client:
//   0x81 hello reply  u8 accepted | error when not accepted
//   0x82 size reply   u64 size | u8 has error | error when set
//   0x83 read reply   u8 flags (1: data, 2: error) | u32 count | count bytes
//                     when flag 1 | error when flag 2
//
// Each request gets exactly one reply; replies may come in any order, and
// several requests may be in flight (the client picks unique ids). A dropped
// socket ends the connection: the client fails what is pending with
// "The Larder range service disconnected" (code 6).
//
// Validation: a frame longer than the receiver's limit, a body that does not
// fill its frame exactly, a string or data count beyond the frame, an unknown
// type, or a reply to an id not pending is a protocol violation and drops the
// connection. Nothing is allocated before its length has been checked
// against these limits.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "base/Error.h"
#include "source/MGRangeService.h"

namespace kf {

enum class MGLarderMessageType : std::uint8_t {
  kHello = 0x01,
  kFileSize = 0x02,
  kRead = 0x03,
  kHelloReply = 0x81,
  kSizeReply = 0x82,
  kReadReply = 0x83,
};

// Largest frame payloads each side accepts.
inline constexpr std::uint32_t kLarderMaxRequestFrame = 16 * 1024;
inline constexpr std::uint64_t kLarderMaxReadReplyBytes = 8u << 20;  // the service never sends more per reply
inline constexpr std::uint32_t kLarderMaxReplyFrame = (8u << 20) + 128 * 1024;
inline constexpr std::size_t kLarderMaxName = 4096;
inline constexpr std::size_t kLarderMaxMessage = 64 * 1024;

struct MGLarderMessage {
  MGLarderMessageType type = MGLarderMessageType::kFileSize;
  std::uint64_t id = 0;
  std::string serviceName, itemIdentifier;  // hello
  std::uint64_t offset = 0, length = 0;     // read
  bool accepted = false;                    // hello reply
  std::uint64_t size = 0;                   // size reply
  MGBytes data;                             // read reply; null: none
  std::optional<kf::Error> error;           // replies
};

// The whole frame, length prefix included.
std::vector<std::uint8_t> MGEncodeLarderFrame(const MGLarderMessage& message);
// Decodes one frame payload (without its length prefix). `fromService`
// selects which direction's types are accepted. Nothing on any violation.
std::optional<MGLarderMessage> MGDecodeLarderPayload(const std::uint8_t* payload, std::size_t length,
                                                     bool fromService);

// Blocking frame I/O on a socket. Writes the whole frame (retrying on EINTR
// and short writes, without raising SIGPIPE); false on failure.
bool MGWriteLarderFrame(int fd, const std::vector<std::uint8_t>& frame);
// Writes the frame of `message`, sending read data from where it lies.
bool MGWriteLarderMessage(int fd, const MGLarderMessage& message);
// Reads one frame payload of at most `maxPayload` bytes. Nothing on end of
// stream, error, or a length beyond the limit (or zero).
std::optional<std::vector<std::uint8_t>> MGReadLarderFrame(int fd, std::uint32_t maxPayload);

}  // namespace kf
