// The player session, the transport and the edit session wired to scripted
// doubles, in virtual time.
#pragma once

#include <gtest/gtest.h>

#include "app/rules/SettingsStore.h"
#include "edit/TimeMap.h"
#include "playback/recovery/PlaybackRecoveryController.h"
#include "ScriptedMedia.h"

namespace kf::test {

class SessionFixture : public ::testing::Test {
 protected:
  SessionFixture()
      : edit(EditPorts{&transport, &editDoubles, &editDoubles, &status, &editDoubles, &editDoubles,
                       [this] { return busy; }}),
        session(PlayerSessionPorts{&scheduler, &player, &preparation, &alerts, &status, &view, &movies, &settings,
                                   &edit, [this] { return busy; }, [this] {
                                     ++scrubEnds;
                                     transport.endScrub();
                                   },
                                   nullptr,
                                   [this](double t) { transport.seek(t); },
                                   [this](const std::string& path) -> std::optional<FileAttributes> {
                                     auto it = attributes.find(path);
                                     if (it == attributes.end()) return std::nullopt;
                                     return it->second;
                                   }}),
        scrub(ScrubPorts{&scheduler, &player, [this] { return kerfline::EditedDuration(edit.segments()); },
                         [this] { edit.disarm(); }, [this] { return session.frameDuration(); },
                         [this] { return editDoubles.timelineDuration; }, [this] { return trackWidth; },
                         [this](double t) { transportView.setPlayhead(t); }, [this](double t) { transport.seek(t); },
                         [this](bool paused) { waveformPauses.push_back(paused); }, &scheduler,
                         [this] { return metrics; },
                         [this](const std::string& line) { metricLines.push_back(line); }}),
        transport(TransportPorts{&player, &session, &edit, &transportView, &settings, &scheduler, nullptr,
                                 [this] { recovery.reconnectAfterLoss(); }, &scrub}),
        recovery(PlaybackRecoveryPorts{&scheduler, &player, &session, &status, &preparation,
                                       [this] { return transport.playhead(); },
                                       [this](double t) { transport.refreshEditorUIAtSeconds(t); },
                                       [this] { player.currentItem()->setExposurePreview(edit.exposure()); }}) {}

  // Completes preparation request `i` with a new asset of `duration` seconds
  // and returns the asset.
  std::shared_ptr<ScriptedAsset> completePreparation(std::size_t i, double duration = 10,
                                                     std::shared_ptr<MGRangeAssetLoader> loader = nullptr) {
    auto asset = std::make_shared<ScriptedAsset>(scheduler, preparation.requests.at(i).url.text);
    asset->durationSeconds = duration;
    asset->trackList = {ScriptedAsset::videoTrack(640, 480, 25), ScriptedAsset::audioTrack()};
    completePreparation(i, asset, std::move(loader));
    return asset;
  }
  void completePreparation(std::size_t i, std::shared_ptr<ScriptedAsset> asset,
                           std::shared_ptr<MGRangeAssetLoader> loader = nullptr) {
    PreparedMovie p;
    p.asset = std::move(asset);
    p.loader = std::move(loader);
    preparation.requests.at(i).completion(std::move(p));
  }

  // Opens `path` all the way (preparation and key loading).
  std::shared_ptr<ScriptedAsset> openFully(const std::string& path, double duration = 10) {
    const std::size_t before = preparation.requests.size();
    session.openURL(path);
    EXPECT_EQ(preparation.requests.size(), before + 1);
    auto asset = completePreparation(before, duration);
    scheduler.runPending();
    return asset;
  }

  ManualScheduler scheduler;
  ScriptedPlayer player{scheduler};
  ScriptedPreparation preparation;
  RecordingAlerts alerts;
  RecordingStatus status;
  RecordingView view;
  RecordingMovies movies;
  MemorySettingsStore settings;
  EditDoubles editDoubles;
  RecordingTransportView transportView;
  std::map<std::string, FileAttributes> attributes;
  bool busy = false;
  int scrubEnds = 0;
  double trackWidth = 1000;
  bool metrics = false;
  std::vector<std::string> metricLines;
  std::vector<bool> waveformPauses;

  EditSession edit;
  PlayerSession session;
  ScrubController scrub;
  Transport transport;
  PlaybackRecoveryController recovery;
};

}  // namespace kf::test
