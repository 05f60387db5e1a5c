// A movie prepared ahead of its request (the movie named on the command
// line, prepared while the window is built): the first request for it gets
// that preparation, finished or not; other requests are prepared afresh.
// With the shipped preparer, the asset handed over has begun its probe on
// the preparation's thread, before the main thread asked for it.
#include <gtest/gtest.h>

#include <filesystem>
#include <vector>

#include "app/shell/MGMediaServices.h"
#include "base/ManualScheduler.h"
#include "platform/ffmpeg/TestMovies.h"

namespace kf::test {
namespace {

namespace tm = kf::testmovies;

// The preparer under MGPrepareAhead: records each request and lets the test
// finish it.
struct RecordingPreparer {
  struct Request {
    MovieURL url;
    std::function<void(PreparedMovie)> completion;
    bool cancelled = false;
  };
  std::shared_ptr<std::vector<Request>> requests = std::make_shared<std::vector<Request>>();
  MGAppDelegate::Preparer preparer() {
    return [requests = requests](const MovieURL& url, std::function<void(PreparedMovie)> completion) {
      requests->push_back({url, std::move(completion)});
      const std::size_t index = requests->size() - 1;
      return CancelPreparation([requests, index] { (*requests)[index].cancelled = true; });
    };
  }
};

MovieURL File(const std::string& path) { return MovieURL{MovieURL::Kind::File, path}; }

PreparedMovie Failed(const std::string& message) {
  PreparedMovie p;
  p.error = Error{"test", 1, message};
  return p;
}

TEST(PrepareAheadTest, BeginsAtOnceAndHandsAFinishedPreparationToTheFirstRequest) {
  RecordingPreparer inner;
  auto prepare = MGPrepareAhead(inner.preparer(), File("/m/a.mp4"));
  ASSERT_EQ(inner.requests->size(), 1u) << "the preparation begins before any request";
  EXPECT_EQ((*inner.requests)[0].url, File("/m/a.mp4"));
  (*inner.requests)[0].completion(Failed("first"));

  std::vector<std::string> got;
  auto cancel = prepare(File("/m/a.mp4"), [&](PreparedMovie p) { got.push_back(p.error->message); });
  EXPECT_EQ(got, std::vector<std::string>{"first"}) << "handed over at once";
  EXPECT_FALSE(cancel) << "nothing left to abandon";
  EXPECT_EQ(inner.requests->size(), 1u) << "not prepared twice";

  // The same movie again is prepared afresh.
  prepare(File("/m/a.mp4"), [&](PreparedMovie p) { got.push_back(p.error->message); });
  ASSERT_EQ(inner.requests->size(), 2u);
  (*inner.requests)[1].completion(Failed("second"));
  EXPECT_EQ(got, (std::vector<std::string>{"first", "second"}));
}

TEST(PrepareAheadTest, ARequestBeforeTheResultWaitsForItAndMayCancelIt) {
  RecordingPreparer inner;
  auto prepare = MGPrepareAhead(inner.preparer(), File("/m/a.mp4"));
  std::vector<std::string> got;
  auto cancel = prepare(File("/m/a.mp4"), [&](PreparedMovie p) { got.push_back(p.error->message); });
  EXPECT_TRUE(got.empty());
  ASSERT_TRUE(cancel);
  cancel();
  EXPECT_TRUE((*inner.requests)[0].cancelled) << "the request's cancel reaches the preparation begun ahead";
  (*inner.requests)[0].completion(Failed("cancelled"));
  EXPECT_EQ(got, std::vector<std::string>{"cancelled"});
  EXPECT_EQ(inner.requests->size(), 1u);
}

TEST(PrepareAheadTest, AnotherMovieIsPreparedOnItsOwn) {
  RecordingPreparer inner;
  auto prepare = MGPrepareAhead(inner.preparer(), File("/m/a.mp4"));
  std::vector<std::string> got;
  prepare(File("/m/b.mp4"), [&](PreparedMovie p) { got.push_back(p.error->message); });
  ASSERT_EQ(inner.requests->size(), 2u);
  EXPECT_EQ((*inner.requests)[1].url, File("/m/b.mp4"));
  (*inner.requests)[0].completion(Failed("a"));
  EXPECT_TRUE(got.empty()) << "the movie prepared ahead is not another's";
  (*inner.requests)[1].completion(Failed("b"));
  EXPECT_EQ(got, std::vector<std::string>{"b"});

  // The movie prepared ahead is still handed to its own first request.
  prepare(File("/m/a.mp4"), [&](PreparedMovie p) { got.push_back(p.error->message); });
  EXPECT_EQ(got, (std::vector<std::string>{"b", "a"}));
  EXPECT_EQ(inner.requests->size(), 2u);
}

TEST(PrepareAheadTest, TheShippedPreparerProbesBeforeTheMainThreadAsks) {
  const std::string movie = tm::ensure(tm::MovieSpec{});
  ManualScheduler main;
  auto prepare = MGPrepareAhead(MGMakeMoviePreparer(main), File(movie));
  // The preparation and the probe run on their own threads; the main thread
  // has not run anything yet. The preparation's result is then waiting.
  ASSERT_TRUE(main.waitForPosted(20));

  std::shared_ptr<media::MediaAsset> asset;
  prepare(File(movie), [&](PreparedMovie p) { asset = p.asset; });
  ASSERT_TRUE(main.runUntil([&] { return asset != nullptr; }, 20));
  EXPECT_NE(asset->loadStatus(), media::LoadStatus::Unknown) << "the probe began on the preparation's thread";
  bool loaded = false;
  asset->loadValuesAsynchronously([&] { loaded = true; });
  ASSERT_TRUE(main.runUntil([&] { return loaded; }, 20));
  ASSERT_EQ(asset->loadStatus(), media::LoadStatus::Loaded);
  EXPECT_TRUE(asset->isPlayable());
  EXPECT_NEAR(asset->duration(), 3.0, 0.05);
}

}  // namespace
}  // namespace kf::test
