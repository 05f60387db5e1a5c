#include "source/MGLarderWire.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <random>
#include <thread>

#include "LoaderProbe.h"

namespace kf {
namespace {

MGLarderMessage Decode(const std::vector<std::uint8_t>& frame, bool fromService) {
  auto m = MGDecodeLarderPayload(frame.data() + 4, frame.size() - 4, fromService);
  EXPECT_TRUE(m);
  return m.value_or(MGLarderMessage{});
}

std::vector<std::vector<std::uint8_t>> SampleFrames(bool fromService) {
  std::vector<MGLarderMessage> ms;
  if (!fromService) {
    MGLarderMessage hello;
    hello.type = MGLarderMessageType::kHello;
    hello.serviceName = "com.marrowgate.larder.range";
    hello.itemIdentifier = "Trips/Zürich.mov";
    ms.push_back(hello);
    MGLarderMessage size;
    size.type = MGLarderMessageType::kFileSize;
    size.id = 7;
    ms.push_back(size);
    MGLarderMessage read;
    read.type = MGLarderMessageType::kRead;
    read.id = UINT64_MAX;
    read.offset = 1ull << 40;
    read.length = 524288;
    ms.push_back(read);
  } else {
    MGLarderMessage helloNo;
    helloNo.type = MGLarderMessageType::kHelloReply;
    helloNo.error = kf::Error{"com.marrowgate.larder", 1, "The item lies outside the domain"};
    ms.push_back(helloNo);
    MGLarderMessage sizeReply;
    sizeReply.type = MGLarderMessageType::kSizeReply;
    sizeReply.id = 3;
    sizeReply.size = 123456789012ull;
    ms.push_back(sizeReply);
    MGLarderMessage both;
    both.type = MGLarderMessageType::kReadReply;
    both.id = 4;
    both.data = MGMakeBytes({1, 2, 3});
    both.error = kf::Error{"NSPOSIXErrorDomain", -5, "Input/output error"};
    ms.push_back(both);
    MGLarderMessage empty;
    empty.type = MGLarderMessageType::kReadReply;
    empty.id = 5;
    empty.data = MGMakeBytes({});
    ms.push_back(empty);
  }
  std::vector<std::vector<std::uint8_t>> frames;
  for (auto& m : ms) frames.push_back(MGEncodeLarderFrame(m));
  return frames;
}

TEST(LarderWire, MessagesSurviveTheRoundTrip) {
  auto req = SampleFrames(false);
  MGLarderMessage hello = Decode(req[0], false);
  EXPECT_EQ(hello.type, MGLarderMessageType::kHello);
  EXPECT_EQ(hello.serviceName, "com.marrowgate.larder.range");
  EXPECT_EQ(hello.itemIdentifier, "Trips/Zürich.mov");
  MGLarderMessage read = Decode(req[2], false);
  EXPECT_EQ(read.id, UINT64_MAX);
  EXPECT_EQ(read.offset, 1ull << 40);
  EXPECT_EQ(read.length, 524288u);

  auto rep = SampleFrames(true);
  MGLarderMessage no = Decode(rep[0], true);
  EXPECT_FALSE(no.accepted);
  EXPECT_EQ(no.error, (kf::Error{"com.marrowgate.larder", 1, "The item lies outside the domain"}));
  EXPECT_EQ(Decode(rep[1], true).size, 123456789012ull);
  MGLarderMessage both = Decode(rep[2], true);
  ASSERT_TRUE(both.data);
  EXPECT_EQ(*both.data, (std::vector<std::uint8_t>{1, 2, 3}));
  EXPECT_EQ(both.error->code, -5);
  MGLarderMessage empty = Decode(rep[3], true);
  ASSERT_TRUE(empty.data);  // empty data (end of file) is not "no data"
  EXPECT_TRUE(empty.data->empty());
  EXPECT_FALSE(empty.error);
}

TEST(LarderWire, EveryTruncationAndEveryExtraByteIsRefused) {
  for (bool fromService : {false, true}) {
    for (const auto& frame : SampleFrames(fromService)) {
      const std::uint8_t* p = frame.data() + 4;
      std::size_t n = frame.size() - 4;
      for (std::size_t cut = 0; cut < n; ++cut)
        EXPECT_FALSE(MGDecodeLarderPayload(p, cut, fromService)) << cut;
      std::vector<std::uint8_t> longer(p, p + n);
      longer.push_back(0);
      EXPECT_FALSE(MGDecodeLarderPayload(longer.data(), longer.size(), fromService));
      // Each direction accepts only its own types.
      EXPECT_FALSE(MGDecodeLarderPayload(p, n, !fromService));
    }
  }
}

TEST(LarderWire, HostileCountsAreRefusedWithoutReadingPastTheFrame) {
  // A read reply claiming 4 GiB of data, and strings claiming more than sent.
  std::vector<std::uint8_t> reply{0x83, 0, 0, 0, 0, 0, 0, 0, 1, 1, 0xff, 0xff, 0xff, 0xff, 'x'};
  EXPECT_FALSE(MGDecodeLarderPayload(reply.data(), reply.size(), true));
  std::vector<std::uint8_t> hello{0x01, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff, 'a'};
  EXPECT_FALSE(MGDecodeLarderPayload(hello.data(), hello.size(), false));
  std::vector<std::uint8_t> badFlags{0x83, 0, 0, 0, 0, 0, 0, 0, 1, 4};
  EXPECT_FALSE(MGDecodeLarderPayload(badFlags.data(), badFlags.size(), true));
  // Random payloads never crash the decoder.
  std::mt19937 rng(3);
  for (int i = 0; i < 20000; ++i) {
    std::vector<std::uint8_t> junk(rng() % 64);
    for (auto& b : junk) b = static_cast<std::uint8_t>(rng());
    if (!junk.empty()) junk[0] = static_cast<std::uint8_t>(0x80 + rng() % 5);
    MGDecodeLarderPayload(junk.data(), junk.size(), true);
    MGDecodeLarderPayload(junk.data(), junk.size(), false);
  }
}

TEST(LarderWire, ASizeNoFileCanHaveIsTheServicesFailure) {
  for (std::uint64_t size : {std::uint64_t{1} << 63, std::uint64_t{UINT64_MAX}}) {
    MGLarderMessage reply;
    reply.type = MGLarderMessageType::kSizeReply;
    reply.id = 9;
    reply.size = size;
    MGLarderMessage m = Decode(MGEncodeLarderFrame(reply), /*fromService=*/true);
    EXPECT_EQ(m.size, 0u);
    ASSERT_TRUE(m.error);
    EXPECT_EQ(m.error->domain, kRangeErrorDomain);
    EXPECT_EQ(m.error->code, 3);
    EXPECT_EQ(m.error->message, "The range service reported an impossible movie size");
  }
  MGLarderMessage reply;
  reply.type = MGLarderMessageType::kSizeReply;
  reply.size = (1ull << 63) - 1;
  EXPECT_FALSE(Decode(MGEncodeLarderFrame(reply), true).error);
}

TEST(LarderWire, FrameReaderRefusesLengthsBeyondItsLimit) {
  int sv[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
  std::uint8_t huge[4] = {0xff, 0xff, 0xff, 0xf0};
  ASSERT_EQ(write(sv[0], huge, 4), 4);
  EXPECT_FALSE(MGReadLarderFrame(sv[1], kLarderMaxReplyFrame));  // refused before allocating
  std::uint8_t zero[4] = {0, 0, 0, 0};
  ASSERT_EQ(write(sv[0], zero, 4), 4);
  EXPECT_FALSE(MGReadLarderFrame(sv[1], kLarderMaxReplyFrame));
  auto frame = SampleFrames(true)[1];
  ASSERT_TRUE(MGWriteLarderFrame(sv[0], frame));
  auto payload = MGReadLarderFrame(sv[1], kLarderMaxReplyFrame);
  ASSERT_TRUE(payload);
  EXPECT_EQ(*payload, std::vector<std::uint8_t>(frame.begin() + 4, frame.end()));
  close(sv[0]);
  EXPECT_FALSE(MGReadLarderFrame(sv[1], kLarderMaxReplyFrame));  // end of stream
  close(sv[1]);
}

}  // namespace
}  // namespace kf
