// The open flow in virtual time against a scripted player and assets.
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <thread>

#include "SessionFixture.h"
#include "app/rules/MovieMemory.h"
#include "source/MGLarderRegistry.h"
#include "source/MGLarderServer.h"
#include "source/MGLarderWire.h"
#include "source/MGPrepareRangeAsset.h"
#include "source/MGURL.h"

namespace kf::test {
namespace {

using OpenFlow = SessionFixture;

TEST_F(OpenFlow, OpensAMovieAndShowsItsLines) {
  attributes["/m/first.mp4"] = {3 * 1048576 + 524288, 123.25};
  movies.suffix = " · 2 of 5 in folder (Ctrl+Alt+↑ Ctrl+Alt+↓)";
  session.openURL("/m/first.mp4");
  EXPECT_EQ(status.last(), "Opening…");
  EXPECT_EQ(session.openGeneration(), 1u);
  ASSERT_EQ(preparation.requests.size(), 1u);
  EXPECT_EQ(preparation.requests[0].url.text, "/m/first.mp4");
  completePreparation(0, 12.5);
  EXPECT_FALSE(session.sourceURL()) << "nothing changes before the main thread runs the result";
  scheduler.runPending();

  ASSERT_TRUE(session.sourceURL());
  EXPECT_EQ(session.sourceURL()->text, "/m/first.mp4");
  EXPECT_EQ(session.sourceIdentityKey(), "/m/first.mp4|3670016|123.250000");
  EXPECT_EQ(view.title, "first.mp4 — Kerfline");
  EXPECT_EQ(status.last(), "/m/first.mp4 · 2 of 5 in folder (Ctrl+Alt+↑ Ctrl+Alt+↓)");
  EXPECT_EQ(view.mediaInfo, "640×480 · 3.5 MB");
  EXPECT_EQ(view.exposureToolTip, "Auto-fix exposure");
  EXPECT_EQ(view.editorVisible, true);
  EXPECT_EQ(view.emptyState, false);
  EXPECT_EQ(movies.recent, std::vector<std::string>{"/m/first.mp4"});
  EXPECT_EQ(view.geometryRestores, 1);
  EXPECT_EQ(view.geometrySaves, 1);
  EXPECT_DOUBLE_EQ(session.frameDuration(), 1.0 / 25);
  EXPECT_DOUBLE_EQ(edit.frameDuration(), 1.0 / 25);

  // The initial edit reached the timeline, and playback started.
  ASSERT_EQ(editDoubles.segments.size(), 1u);
  EXPECT_DOUBLE_EQ(editDoubles.segments[0].end, 12.5);
  EXPECT_DOUBLE_EQ(editDoubles.timelineDuration, 12.5);
  EXPECT_FALSE(edit.dirty());
  ASSERT_TRUE(session.observedPlayerItem());
  EXPECT_EQ(player.currentItem(), session.observedPlayerItem());
  EXPECT_TRUE(session.playIntent());
  EXPECT_EQ(player.rate(), 1);
  EXPECT_TRUE(session.prepareDeadlineArmed());
  EXPECT_TRUE(player.seeks.empty()) << "no saved playhead, so no seek";

  // The item reports ready: the deadline is off and the player counts as opened.
  player.currentScripted()->setStatus(media::ItemStatus::ReadyToPlay);
  scheduler.runPending();
  EXPECT_TRUE(session.playerOpened());
  EXPECT_FALSE(session.prepareDeadlineArmed());
}

TEST_F(OpenFlow, OnlyTheSecondOfTwoQuickOpensOpens) {
  session.openURL("/m/a.mp4");
  session.openURL("/m/b.mp4");
  ASSERT_EQ(preparation.requests.size(), 2u);
  EXPECT_EQ(session.openGeneration(), 2u);

  // The first preparation finishes last: its loader is invalidated, its asset never loaded.
  auto loaderA = MakeLoader("/m/a.mp4");
  auto loaderB = MakeLoader("/m/b.mp4");
  auto assetB = completePreparation(1, 8, loaderB);
  scheduler.runPending();
  auto assetA = std::make_shared<ScriptedAsset>(scheduler, "/m/a.mp4");
  completePreparation(0, assetA, loaderA);
  scheduler.runPending();

  ASSERT_TRUE(session.sourceURL());
  EXPECT_EQ(session.sourceURL()->text, "/m/b.mp4");
  EXPECT_EQ(session.rangeLoader(), loaderB);
  EXPECT_FALSE(loaderB->terminalError());
  ASSERT_TRUE(loaderA->terminalError());
  EXPECT_EQ(loaderA->terminalError()->code, 4);
  EXPECT_EQ(assetA->loadCalls, 0);
  EXPECT_EQ(player.replaceCalls, 1);
  EXPECT_EQ(view.title, "b.mp4 — Kerfline");
  EXPECT_TRUE(alerts.errors.empty());
}

TEST_F(OpenFlow, ASecondOpenSupersedesOneThatIsLoadingItsKeys) {
  session.openURL("/m/a.mp4");
  auto assetA = std::make_shared<ScriptedAsset>(scheduler, "/m/a.mp4");
  assetA->autoFinish = false;
  auto loaderA = MakeLoader("/m/a.mp4");
  completePreparation(0, assetA, loaderA);
  scheduler.runPending();
  EXPECT_EQ(assetA->loadCalls, 1);

  session.openURL("/m/b.mp4");
  assetA->finishLoading();  // arrives after the newer request was accepted
  scheduler.runPending();
  EXPECT_FALSE(session.sourceURL());
  ASSERT_TRUE(loaderA->terminalError());
  EXPECT_EQ(player.replaceCalls, 0);

  completePreparation(1);
  scheduler.runPending();
  ASSERT_TRUE(session.sourceURL());
  EXPECT_EQ(session.sourceURL()->text, "/m/b.mp4");
}

TEST_F(OpenFlow, OpeningANewMovieEndsThePreviousLoader) {
  session.openURL("/m/a.mp4");
  auto loaderA = MakeLoader("/m/a.mp4");
  completePreparation(0, 10, loaderA);
  scheduler.runPending();
  EXPECT_FALSE(loaderA->terminalError());
  openFully("/m/b.mp4");
  EXPECT_TRUE(loaderA->terminalError()) << "the replaced movie's loader is invalidated";
  EXPECT_EQ(session.rangeLoader(), nullptr);
}

TEST_F(OpenFlow, DecliningTheDiscardPromptLeavesEverythingAlone) {
  openFully("/m/a.mp4", 10);
  player.currentScripted()->setStatus(media::ItemStatus::ReadyToPlay);
  scheduler.runPending();
  player.time = 5;
  edit.split();
  ASSERT_TRUE(edit.dirty());
  const auto segmentsBefore = edit.segments();
  const auto statusCount = status.texts.size();
  const auto itemBefore = player.currentItem();
  const auto ratesBefore = player.rateChanges.size();
  const auto savesBefore = view.geometrySaves;

  alerts.answer = 1;  // "Cancel"
  session.openURL("/m/b.mp4");
  ASSERT_EQ(alerts.modal.size(), 1u);
  EXPECT_EQ(alerts.modal[0].message, "Discard unexported edits?");
  EXPECT_EQ(alerts.modal[0].informativeText,
            "Opening another movie removes the current cuts, trims, fades, exposure, and clip names.");
  EXPECT_EQ(alerts.modal[0].buttons, (std::vector<std::string>{"Discard and Open", "Cancel"}));

  EXPECT_EQ(preparation.requests.size(), 1u);
  EXPECT_EQ(session.openGeneration(), 1u);
  EXPECT_EQ(status.texts.size(), statusCount);
  EXPECT_EQ(edit.segments(), segmentsBefore);
  EXPECT_TRUE(edit.dirty());
  EXPECT_EQ(player.currentItem(), itemBefore);
  EXPECT_EQ(player.rateChanges.size(), ratesBefore);
  EXPECT_EQ(view.geometrySaves, savesBefore);
  EXPECT_EQ(scrubEnds, 1) << "only the first open ended a scrub";
  EXPECT_TRUE(session.playerOpened());

  alerts.answer = 0;  // "Discard and Open"
  session.openURL("/m/b.mp4");
  EXPECT_EQ(preparation.requests.size(), 2u);
  EXPECT_EQ(status.last(), "Opening…");
  EXPECT_TRUE(edit.dirty()) << "the old edit stays until the new movie has opened";
  completePreparation(1);
  scheduler.runPending();
  EXPECT_FALSE(edit.dirty());
  EXPECT_EQ(edit.segments().size(), 1u);
}

TEST_F(OpenFlow, NoPromptWhenTheEditIsClean) {
  openFully("/m/a.mp4");
  session.openURL("/m/b.mp4");
  EXPECT_TRUE(alerts.modal.empty());
  EXPECT_EQ(preparation.requests.size(), 2u);
}

TEST_F(OpenFlow, RefusedWhileAnExportRuns) {
  openFully("/m/a.mp4");
  busy = true;
  session.openURL("/m/b.mp4");
  EXPECT_EQ(status.last(), "Finish or cancel the current export before opening another movie");
  EXPECT_EQ(preparation.requests.size(), 1u);
  EXPECT_EQ(session.openGeneration(), 1u);
}

TEST_F(OpenFlow, OnlyFilesAndHandoffLinksAreAccepted) {
  session.openURL("https://example.com/a.mp4");
  session.openURL("relative/a.mp4");
  session.openURL("kerfline://other?domain=d&item=i");
  session.openURL("");
  EXPECT_TRUE(preparation.requests.empty());
  EXPECT_TRUE(status.texts.empty());

  session.openURL("kerfline://larder/Holiday.mov?domain=D&item=I");
  ASSERT_EQ(preparation.requests.size(), 1u);
  EXPECT_EQ(preparation.requests[0].url.kind, MovieURL::Kind::Handoff);
  auto loader = MakeLoader("kerfline://larder/Holiday.mov?domain=D&item=I", 2 * 1048576);
  completePreparation(0, 10, loader);
  scheduler.runPending();
  ASSERT_TRUE(session.sourceURL());
  EXPECT_EQ(session.sourceIdentityKey(), "") << "only files have an identity";
  EXPECT_EQ(view.title, "Holiday.mov — Kerfline");
  EXPECT_EQ(view.mediaInfo, "640×480 · 2.0 MB") << "the size comes from the served movie";
  EXPECT_EQ(status.last(), "kerfline://larder/Holiday.mov?domain=D&item=I");
}

TEST_F(OpenFlow, FailuresKeepThePreviousMovie) {
  openFully("/m/a.mp4", 10);
  const auto item = player.currentItem();

  // No usable duration.
  session.openURL("/m/zero.mp4");
  auto loaderZero = MakeLoader("/m/zero.mp4");
  completePreparation(0 + 1, 0.0, loaderZero);
  scheduler.runPending();
  ASSERT_EQ(alerts.errors.size(), 1u);
  EXPECT_EQ(alerts.errors[0], (Error{"Kerfline", 2, "The movie has no usable duration."}));
  EXPECT_EQ(status.last(), "The movie has no usable duration.");
  EXPECT_TRUE(loaderZero->terminalError());

  // Infinite and not-a-number durations.
  session.openURL("/m/inf.mp4");
  completePreparation(2, INFINITY);
  session.openURL("/m/nan.mp4");
  completePreparation(3, std::nan(""));
  scheduler.runPending();
  EXPECT_EQ(alerts.errors.size(), 2u) << "the infinite one was superseded by the NaN one";
  EXPECT_EQ(alerts.errors.back().code, 2);

  // Not playable, without and with a load error.
  session.openURL("/m/np.mp4");
  auto np = std::make_shared<ScriptedAsset>(scheduler, "/m/np.mp4");
  np->playable = false;
  completePreparation(4, np);
  scheduler.runPending();
  EXPECT_EQ(alerts.errors.back(), (Error{"Kerfline", 1, "This movie cannot be played."}));
  session.openURL("/m/bad.mp4");
  auto bad = std::make_shared<ScriptedAsset>(scheduler, "/m/bad.mp4");
  bad->failure = Error{"FFmpeg", -1094995529, "Invalid data found when processing input"};
  completePreparation(5, bad);
  scheduler.runPending();
  EXPECT_EQ(alerts.errors.back(), *bad->failure);

  // The preparation gives neither asset nor error, then an error of its own.
  session.openURL("/m/x.mp4");
  preparation.requests[6].completion(PreparedMovie{});
  scheduler.runPending();
  EXPECT_EQ(alerts.errors.back(), (Error{"Kerfline", 3, "The movie could not be prepared for playback."}));
  session.openURL("/m/y.mp4");
  PreparedMovie failed;
  failed.error = Error{kRangeErrorDomain, 2, "The range service replied without data."};
  preparation.requests[7].completion(failed);
  scheduler.runPending();
  EXPECT_EQ(alerts.errors.back(), *failed.error);
  EXPECT_EQ(status.last(), failed.error->message);

  ASSERT_TRUE(session.sourceURL());
  EXPECT_EQ(session.sourceURL()->text, "/m/a.mp4");
  EXPECT_EQ(player.currentItem(), item);
  EXPECT_EQ(player.replaceCalls, 1);
  EXPECT_DOUBLE_EQ(editDoubles.timelineDuration, 10);
}

TEST_F(OpenFlow, DeadlineFiresAtTwentySecondsNotNineteen) {
  openFully("/m/a.mp4");
  scheduler.advance(19.0);
  EXPECT_TRUE(alerts.errors.empty());
  EXPECT_TRUE(session.prepareDeadlineArmed());
  scheduler.advance(0.999);
  EXPECT_TRUE(alerts.errors.empty());
  scheduler.advance(0.001);
  ASSERT_EQ(alerts.errors.size(), 1u);
  EXPECT_EQ(alerts.errors[0], (Error{"Kerfline", 11, "The movie did not finish opening."}));
  EXPECT_FALSE(session.prepareDeadlineArmed());
  scheduler.advance(60);
  EXPECT_EQ(alerts.errors.size(), 1u) << "the deadline is one-shot";
}

TEST_F(OpenFlow, AMovieThatNeverArrivesEndsAtTheDeadlineWithAnAlert) {
  // The preparation never answers (a range service that went silent).
  session.openURL("/m/a.mp4");
  EXPECT_EQ(status.last(), "Opening\u2026");
  scheduler.advance(19.9);
  EXPECT_TRUE(alerts.errors.empty());
  EXPECT_EQ(status.last(), "Opening\u2026");
  scheduler.advance(0.1);
  ASSERT_EQ(alerts.errors.size(), 1u);
  EXPECT_EQ(alerts.errors[0], (Error{"Kerfline", 11, "The movie did not finish opening."}));
  EXPECT_EQ(status.last(), "The movie did not finish opening.");
  // Arriving late, it is dropped and its loader ended.
  auto late = MakeLoader("/m/a.mp4");
  completePreparation(0, 10, late);
  scheduler.runPending();
  EXPECT_FALSE(session.sourceURL());
  EXPECT_TRUE(late->terminalError());
  EXPECT_EQ(player.replaceCalls, 0);
  scheduler.advance(60);
  EXPECT_EQ(alerts.errors.size(), 1u);

  // Prepared, but the asset never finishes loading its values: the deadline
  // ends the loader it reads through.
  session.openURL("/m/b.mp4");
  auto asset = std::make_shared<ScriptedAsset>(scheduler, "/m/b.mp4");
  asset->autoFinish = false;
  auto loader = MakeLoader("/m/b.mp4");
  completePreparation(1, asset, loader);
  scheduler.runPending();
  scheduler.advance(20);
  ASSERT_EQ(alerts.errors.size(), 2u);
  EXPECT_TRUE(loader->terminalError());
  asset->finishLoading();
  scheduler.runPending();
  EXPECT_FALSE(session.sourceURL());

  // An open that completes in time is not touched by it.
  openFully("/m/c.mp4");
  scheduler.advance(10);
  player.currentScripted()->setStatus(media::ItemStatus::ReadyToPlay);
  scheduler.advance(60);
  EXPECT_EQ(alerts.errors.size(), 2u);
  ASSERT_TRUE(session.sourceURL());
  EXPECT_EQ(session.sourceURL()->text, "/m/c.mp4");
}

TEST_F(OpenFlow, ReadyAfterNineteenSecondsCancelsTheDeadline) {
  std::vector<std::pair<std::optional<Error>, media::PlayerItem*>> failures;
  session.setFailureHandler([&](const std::optional<Error>& e, const std::shared_ptr<media::PlayerItem>& item) {
    failures.push_back({e, item.get()});
  });
  openFully("/m/a.mp4");
  scheduler.advance(19.0);
  player.currentScripted()->setStatus(media::ItemStatus::ReadyToPlay);
  scheduler.advance(30);
  EXPECT_TRUE(failures.empty());
  EXPECT_TRUE(session.playerOpened());
}

TEST_F(OpenFlow, FailuresOfTheObservedItemGoToTheFailureHandler) {
  std::vector<std::pair<std::optional<Error>, media::PlayerItem*>> failures;
  session.setFailureHandler([&](const std::optional<Error>& e, const std::shared_ptr<media::PlayerItem>& item) {
    failures.push_back({e, item.get()});
  });
  openFully("/m/a.mp4");
  auto first = player.items.back();
  // A second movie replaces the item; the old item's late status is ignored.
  openFully("/m/b.mp4");
  auto second = player.items.back();
  EXPECT_EQ(first->observerCount(), 0u) << "observation moved to the new item";
  first->setStatus(media::ItemStatus::Failed, Error{"mpv", -13, "loading failed"});
  scheduler.runPending();
  EXPECT_TRUE(failures.empty());

  second->setStatus(media::ItemStatus::Failed, Error{"mpv", -13, "loading failed"});
  scheduler.runPending();
  ASSERT_EQ(failures.size(), 1u);
  EXPECT_EQ(failures[0].second, second.get());
  EXPECT_EQ(failures[0].first->code, -13);
  EXPECT_FALSE(session.prepareDeadlineArmed()) << "a failure stops the deadline";
  scheduler.advance(25);
  EXPECT_EQ(failures.size(), 1u);
}

TEST_F(OpenFlow, MediaInfoOfARotatedMovie) {
  attributes["/m/r.mov"] = {1048576 * 10, 0};
  session.openURL("/m/r.mov");
  auto asset = std::make_shared<ScriptedAsset>(scheduler, "/m/r.mov");
  asset->trackList = {ScriptedAsset::videoTrack(1920, 1080, 30, {0, 1, -1, 0, 1080, 0})};
  completePreparation(0, asset);
  scheduler.runPending();
  EXPECT_EQ(view.mediaInfo, "1080×1920 · 10.0 MB");
  ASSERT_TRUE(view.restoredTrack);
  EXPECT_EQ(view.restoredTrack->naturalSize, (Size{1920, 1080}));
}

TEST_F(OpenFlow, MediaInfoOfAMovieWithoutVideo) {
  attributes["/m/sound.m4a"] = {1048576, 0};
  session.openURL("/m/sound.m4a");
  auto asset = std::make_shared<ScriptedAsset>(scheduler, "/m/sound.m4a");
  asset->trackList = {ScriptedAsset::audioTrack()};
  completePreparation(0, asset);
  scheduler.runPending();
  EXPECT_EQ(view.mediaInfo, "0×0 · 1.0 MB");
  EXPECT_DOUBLE_EQ(session.frameDuration(), 0.03333333333333333);
  EXPECT_FALSE(view.restoredTrack);
}

TEST_F(OpenFlow, UnreadableAttributesGiveZeroes) {
  openFully("/m/gone.mp4");
  EXPECT_EQ(session.sourceIdentityKey(), "/m/gone.mp4|0|0.000000");
  EXPECT_EQ(view.mediaInfo, "640×480 · 0.0 MB");
}

TEST_F(OpenFlow, SavedPlayheadIsAppliedOnlyInsideTheMovie) {
  attributes["/m/a.mp4"] = {100, 5};
  StorePlayhead(settings, "/m/a.mp4|100|5.000000", 7.5);
  openFully("/m/a.mp4", 10);
  ASSERT_EQ(player.seeks.size(), 1u);
  EXPECT_NEAR(player.seeks[0], 7.5, 1.0 / 600);

  player.seeks.clear();
  StorePlayhead(settings, "/m/a.mp4|100|5.000000", 10);
  openFully("/m/a.mp4", 10);
  EXPECT_TRUE(player.seeks.empty()) << "a playhead at the duration is not applied";

  // The file changed on disk: the old key no longer matches; the bare path does.
  attributes["/m/a.mp4"] = {200, 6};
  StorePlayhead(settings, "/m/a.mp4|100|5.000000", 3);
  openFully("/m/a.mp4", 10);
  EXPECT_TRUE(player.seeks.empty());
  StorePlayhead(settings, "/m/a.mp4", 4);
  openFully("/m/a.mp4", 10);
  ASSERT_EQ(player.seeks.size(), 1u);
  EXPECT_NEAR(player.seeks[0], 4, 1.0 / 600);
}

TEST_F(OpenFlow, AcceptingResetsRecoveryAndPlayState) {
  openFully("/m/a.mp4");
  player.currentScripted()->setStatus(media::ItemStatus::ReadyToPlay);
  scheduler.runPending();
  session.playbackRecovery().recovering = true;
  session.playbackRecovery().attempts = 2;
  session.playbackRecovery().revivable = true;
  session.stallWatchdog().position = 3;
  session.openURL("/m/b.mp4");
  EXPECT_FALSE(session.playbackRecovery().recovering);
  EXPECT_EQ(session.playbackRecovery().attempts, 0);
  EXPECT_FALSE(session.playbackRecovery().revivable);
  EXPECT_TRUE(std::isnan(session.stallWatchdog().position));
  EXPECT_FALSE(session.playerOpened());
  EXPECT_FALSE(session.playIntent());
  EXPECT_EQ(player.rate(), 1) << "the previous movie keeps playing while the next one prepares";
}

TEST_F(OpenFlow, ResultsAfterTheSessionIsGoneOnlyInvalidateTheirLoader) {
  auto* doomed = new PlayerSession(PlayerSessionPorts{&scheduler, &player, &preparation, &alerts, &status, &view,
                                                      &movies, &settings, &edit, nullptr, nullptr, nullptr,
                                                      [](double) {}, nullptr});
  doomed->openURL("/m/a.mp4");
  delete doomed;
  auto loader = MakeLoader("/m/a.mp4");
  completePreparation(0, 10, loader);
  scheduler.runPending();
  EXPECT_TRUE(loader->terminalError());
  EXPECT_EQ(player.replaceCalls, 0);
}

TEST(MovieURLTest, ParsesFilesAndLinks) {
  EXPECT_EQ(ParseMovieURL("/a/./b//c/../d.mp4")->text, "/a/b/d.mp4");
  EXPECT_EQ(ParseMovieURL("file:///a/b%20c.mp4")->text, "/a/b c.mp4");
  EXPECT_EQ(ParseMovieURL("file://localhost/a.mp4")->text, "/a.mp4");
  EXPECT_EQ(ParseMovieURL("FILE:///a.mp4")->text, "/a.mp4");
  EXPECT_FALSE(ParseMovieURL("file://host/a.mp4"));
  EXPECT_FALSE(ParseMovieURL("file:///a%2"));
  EXPECT_FALSE(ParseMovieURL("file:///a%00b"));
  EXPECT_FALSE(ParseMovieURL("KERFLINE://larder?domain=d&item=i"));
  EXPECT_FALSE(ParseMovieURL("kerfline://larderx?domain=d&item=i"));
  auto link = ParseMovieURL("kerfline://larder/My%20Movie.mp4?domain=d&item=i");
  ASSERT_TRUE(link);
  EXPECT_EQ(link->kind, MovieURL::Kind::Handoff);
  EXPECT_EQ(link->lastPathComponent(), "My Movie.mp4");
  EXPECT_EQ(ParseMovieURL("kerfline://larder?domain=d&item=i")->lastPathComponent(), "");
  EXPECT_EQ(ParseMovieURL("/movies/x.mkv")->lastPathComponent(), "x.mkv");
}

TEST(MovieURLTest, TextsAreLocaleIndependent) {
  EXPECT_EQ(IdentityKeyText("/a", FileAttributes{42, 1.5}), "/a|42|1.500000");
  EXPECT_EQ(IdentityKeyText("/a", std::nullopt), "/a|0|0.000000");
  EXPECT_EQ(MediaInfoText(1919.6, 1080, 1572864), "1920×1080 · 1.5 MB");
}

// A Larder service that accepts the hello and then never answers: it reads
// the requests and notes when the program closes its connection.
class SilentLarderService {
 public:
  explicit SilentLarderService(const std::string& socketPath) {
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, socketPath.c_str(), sizeof addr.sun_path - 1);
    listenFd_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    EXPECT_EQ(::bind(listenFd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    EXPECT_EQ(::listen(listenFd_, 4), 0);
    thread_ = std::thread([this] { run(); });
  }
  ~SilentLarderService() {
    ::shutdown(listenFd_, SHUT_RDWR);
    {
      std::lock_guard<std::mutex> lock(mu_);
      if (connection_ >= 0) ::shutdown(connection_, SHUT_RDWR);
    }
    thread_.join();
    ::close(listenFd_);
  }
  // Waits (real time, at most 10 s) until `done` holds under the lock.
  bool waitUntil(const std::function<bool(int requests, int closed)>& done) {
    std::unique_lock<std::mutex> lock(mu_);
    return cv_.wait_for(lock, std::chrono::seconds(10), [&] { return done(requests_, closed_); });
  }

 private:
  void run() {
    for (;;) {
      const int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
      if (fd < 0) return;
      {
        std::lock_guard<std::mutex> lock(mu_);
        connection_ = fd;
      }
      if (auto frame = MGReadLarderFrame(fd, kLarderMaxRequestFrame)) {
        auto hello = MGDecodeLarderPayload(frame->data(), frame->size(), /*fromService=*/false);
        MGLarderMessage reply;
        reply.type = MGLarderMessageType::kHelloReply;
        reply.id = hello ? hello->id : 0;
        reply.accepted = true;
        MGWriteLarderMessage(fd, reply);
        while (MGReadLarderFrame(fd, kLarderMaxRequestFrame)) {
          std::lock_guard<std::mutex> lock(mu_);
          ++requests_;
          cv_.notify_all();
        }
      }
      std::lock_guard<std::mutex> lock(mu_);
      ::close(fd);
      connection_ = -1;
      ++closed_;
      cv_.notify_all();
    }
  }

  int listenFd_ = -1;
  std::thread thread_;
  std::mutex mu_;  // guards everything below
  std::condition_variable cv_;
  int connection_ = -1;
  int requests_ = 0;
  int closed_ = 0;
};

std::size_t EntriesIn(const char* folder) {
  std::size_t n = 0;
  for ([[maybe_unused]] auto& e : std::filesystem::directory_iterator(folder)) ++n;
  return n;
}

TEST_F(OpenFlow, ASilentLarderServiceLosesItsConnectionAtTheDeadline) {
  char tmpl[] = "/tmp/kf-silent-larder-XXXXXX";
  ASSERT_TRUE(::mkdtemp(tmpl));
  const std::string dir = tmpl;
  std::filesystem::create_directories(dir + "/root");
  std::ofstream(dir + "/root/movie.mp4") << "bytes the service never sends";
  const std::string registry = dir + "/registry";
  MGLarderDomain domain;
  domain.identifier = "com.example.silent";
  domain.root = dir + "/root";
  domain.socketPath = dir + "/silent.sock";
  domain.services = {kLarderByteRangeServiceName};
  ASSERT_FALSE(MGPublishLarderDomain(registry, domain));
  // The program's own preparation, in front of the scripted media engine.
  preparation.through = [&](const MovieURL& url, std::function<void(PreparedMovie)> completion) {
    MGPreparationOptions options;
    options.registryDirectory = registry;
    return MGPrepareRangeAssetForURL(
        MGFileURLFromPath(url.text), scheduler,
        [completion](MGPreparation p) {
          PreparedMovie out;
          out.loader = p.loader;
          out.error = p.error;
          completion(std::move(out));
        },
        options);
  };
  {
    SilentLarderService service(domain.socketPath);
    const std::size_t threads = EntriesIn("/proc/self/task");
    const std::size_t descriptors = EntriesIn("/proc/self/fd");

    session.openURL(dir + "/root/movie.mp4");
    EXPECT_EQ(status.last(), "Opening\u2026");
    // Connected: the size request has arrived and waits for its answer.
    ASSERT_TRUE(service.waitUntil([](int requests, int) { return requests >= 1; }));
    scheduler.advance(19.9);
    EXPECT_TRUE(alerts.errors.empty());
    EXPECT_TRUE(service.waitUntil([](int, int closed) { return closed == 0; }));
    scheduler.advance(0.1);
    ASSERT_EQ(alerts.errors.size(), 1u);
    EXPECT_EQ(alerts.errors[0], (Error{"Kerfline", 11, "The movie did not finish opening."}));
    EXPECT_EQ(status.last(), "The movie did not finish opening.");

    // The program closed its end, and its reader and preparation threads
    // and its socket are gone.
    EXPECT_TRUE(service.waitUntil([](int, int closed) { return closed == 1; }));
    EXPECT_TRUE(scheduler.runUntil(
        [&] { return EntriesIn("/proc/self/task") <= threads && EntriesIn("/proc/self/fd") <= descriptors; }))
        << EntriesIn("/proc/self/task") << " threads (" << threads << " before), "
        << EntriesIn("/proc/self/fd") << " descriptors (" << descriptors << " before)";
    // The abandoned preparation's completion changes nothing.
    scheduler.runPending();
    EXPECT_EQ(alerts.errors.size(), 1u);
    EXPECT_FALSE(session.sourceURL());
  }
  std::filesystem::remove_all(dir);
}

TEST_F(OpenFlow, ASupersededOrAbandonedPreparationIsCancelled) {
  session.openURL("/m/a.mp4");
  session.openURL("/m/b.mp4");
  EXPECT_EQ(preparation.cancelled, std::vector<std::size_t>{0});
  scheduler.advance(20);
  EXPECT_EQ(preparation.cancelled, (std::vector<std::size_t>{0, 1}));
  // A finished preparation is not cancelled by the next open.
  openFully("/m/c.mp4");
  session.openURL("/m/d.mp4");
  EXPECT_EQ(preparation.cancelled, (std::vector<std::size_t>{0, 1}));
  scheduler.advance(20);
  EXPECT_EQ(preparation.cancelled, (std::vector<std::size_t>{0, 1, 3}));
}

}  // namespace
}  // namespace kf::test
