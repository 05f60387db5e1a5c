#include "export/controller/ExportController.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>

#include "base/ManualScheduler.h"

namespace kf {
namespace {

namespace fs = std::filesystem;

struct FakeDocument : ExportDocument {
  bool movie = true;
  std::string path;
  double duration = 10;
  std::vector<std::string> codecs{"h264", "aac"};
  kerfline::EditState edit;
  bool dirty = false;
  std::vector<std::string> exported;
  std::vector<std::string> reopened;
  int closes = 0, terminates = 0, pauses = 0;

  bool hasMovie() const override { return movie; }
  std::string sourcePath() const override { return path; }
  double movieDuration() const override { return duration; }
  std::vector<std::string> sourceCodecs() const override { return codecs; }
  kerfline::EditState editState() const override { return edit; }
  bool isDirty() const override { return dirty; }
  void markExported(const std::string& s) override { exported.push_back(s); }
  void pausePlayer() override { ++pauses; }
  void reopen(const std::string& p) override { reopened.push_back(p); }
  void performClose() override { ++closes; }
  void replyToTerminate(bool) override { ++terminates; }
};

struct FakeView : ExportView {
  std::vector<std::string> statuses;
  double progress = -1;
  bool progressShown = false;
  std::optional<std::string> badge;
  bool transport = true;
  std::string menuTitle = "Export As…";
  std::optional<std::string> savePanelAnswer, folderAnswer;
  SavePanelRequest lastSave;
  std::string folderPrompt;
  std::vector<std::string> revealed;
  int attention = 0;

  void setStatus(const std::string& t) override { statuses.push_back(t); }
  void showExportProgress(double f, bool) override {
    progress = f;
    progressShown = true;
  }
  void hideExportProgress() override { progressShown = false; }
  void setDockBadge(const std::optional<std::string>& t) override { badge = t; }
  void setTransportEnabled(bool e) override { transport = e; }
  void setExportMenuTitle(const std::string& t) override { menuTitle = t; }
  bool isMainWindowKey() const override { return false; }
  void requestAttention() override { ++attention; }
  void runSavePanel(const SavePanelRequest& r, std::function<void(std::optional<std::string>)> c) override {
    lastSave = r;
    c(savePanelAnswer);
  }
  void runFolderPanel(const std::string&, const std::string& prompt,
                      std::function<void(std::optional<std::string>)> c) override {
    folderPrompt = prompt;
    c(folderAnswer);
  }
  void revealInFileBrowser(const std::string& p) override { revealed.push_back(p); }
  const std::string& status() const { return statuses.back(); }
};

struct FakeAlerts : AlertPort {
  int answer = 0;
  std::vector<AlertSpec> asked;
  std::vector<Error> errors;
  int runModalAlert(const AlertSpec& a) override {
    asked.push_back(a);
    return answer;
  }
  void showErrorAlert(const Error& e) override { errors.push_back(e); }
};

// The destination a session's hidden temporary file ".base.UUID.PID.kerfline-tmp.ext"
// stands for ("base.ext").
std::string FinalName(const std::string& outputPath) {
  const std::string name = fs::path(outputPath).filename().string();
  const auto tag = name.rfind(".kerfline-tmp.");
  if (name.empty() || name[0] != '.' || tag == std::string::npos) return name;
  std::string head = name.substr(1, tag - 1);  // base.UUID.PID
  head = head.substr(0, head.rfind('.'));
  head = head.substr(0, head.rfind('.'));
  return head + "." + name.substr(tag + 14);
}

// A session whose outcome the test scripts by output file name: Completed
// writes the file; Failed fails (with or without an error); Hold runs until
// cancelled.
enum class Outcome { Complete, Fail, FailWithError, FailNamingTheFile, Hold };

class ScriptedSession : public ExportSessionPort {
 public:
  ScriptedSession(ExportRequest r, Outcome o) : request(std::move(r)), outcome_(o) {}
  void exportAsynchronously(std::function<void()> completion) override {
    std::unique_lock<std::mutex> lock(mu_);
    status_ = ExportStatus::Exporting;
    { std::ofstream(request.outputPath) << "partial"; }
    if (cancelled_) return finish(lock, ExportStatus::Cancelled, std::move(completion));
    switch (outcome_) {
      case Outcome::Complete: return finish(lock, ExportStatus::Completed, std::move(completion));
      case Outcome::Fail: return finish(lock, ExportStatus::Failed, std::move(completion));
      case Outcome::FailWithError:
        error_ = Error{"FFmpeg", -28, "No space left on device"};
        return finish(lock, ExportStatus::Failed, std::move(completion));
      case Outcome::FailNamingTheFile:
        // As the media library reports a file it cannot create.
        error_ = Error{"FFmpeg", -EACCES, "Cannot create " + request.outputPath + ": Permission denied"};
        return finish(lock, ExportStatus::Failed, std::move(completion));
      case Outcome::Hold: completion_ = std::move(completion); return;
    }
  }
  double progress() const override { return progressValue.load(); }
  ExportStatus status() const override {
    std::lock_guard<std::mutex> lock(mu_);
    return status_;
  }
  std::optional<Error> error() const override {
    std::lock_guard<std::mutex> lock(mu_);
    return error_;
  }
  void cancelExport() override {
    std::unique_lock<std::mutex> lock(mu_);
    cancelled_ = true;
    if (completion_) {
      // The session removes its partial file itself.
      fs::remove(request.outputPath);
      finish(lock, ExportStatus::Cancelled, std::move(completion_));
    }
  }
  // Ends a held session as completed (the test's "export finished").
  void complete() {
    std::unique_lock<std::mutex> lock(mu_);
    if (completion_) finish(lock, ExportStatus::Completed, std::move(completion_));
  }
  bool held() const {
    std::lock_guard<std::mutex> lock(mu_);
    return completion_ != nullptr;
  }

  ExportRequest request;
  std::atomic<double> progressValue{0};

 private:
  void finish(std::unique_lock<std::mutex>& lock, ExportStatus s, std::function<void()> c) {
    status_ = s;
    if (s == ExportStatus::Failed) fs::remove(request.outputPath);
    if (s == ExportStatus::Completed) std::ofstream(request.outputPath) << "movie:" << request.plan.ranges.size();
    completion_ = nullptr;
    lock.unlock();
    c();
  }
  Outcome outcome_;
  mutable std::mutex mu_;  // guards the fields below
  ExportStatus status_ = ExportStatus::Waiting;
  std::optional<Error> error_;
  bool cancelled_ = false;
  std::function<void()> completion_;
};

struct ScriptedFactory : ExportSessionFactory {
  std::mutex mu;  // guards everything here
  std::map<std::string, Outcome> outcomes;  // by file name; default Complete
  std::vector<ScriptedSession*> made;  // alive only while the controller holds them
  std::vector<ExportRequest> requests;  // every request, kept
  bool unavailable = false;
  std::unique_ptr<ExportSessionPort> makeSession(const ExportRequest& r) override {
    std::lock_guard<std::mutex> lock(mu);
    if (unavailable) return nullptr;
    auto it = outcomes.find(FinalName(r.outputPath));
    if (it == outcomes.end()) it = outcomes.find("*");
    auto s = std::make_unique<ScriptedSession>(r, it == outcomes.end() ? Outcome::Complete : it->second);
    made.push_back(s.get());
    requests.push_back(r);
    return s;
  }
  std::size_t heldCount() {
    std::lock_guard<std::mutex> lock(mu);
    std::size_t n = 0;
    for (auto* s : made) n += s->held();
    return n;
  }
};

class ExportControllerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() / ("kf-ctl-" + std::to_string(::getpid()) + "-" +
                                        ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::create_directories(dir_);
    doc.path = (dir_ / "movie.mov").string();
    { std::ofstream(doc.path) << std::string(5 * 1024 * 1024 + 7, 'm'); }
    doc.edit.segments = {{0, 10}};
    doc.edit.names = {""};
    doc.edit.fadeIns = {0};
    doc.edit.fadeOuts = {0};
    doc.edit.selected = 0;
    settings.load();
    controller = std::make_unique<ExportController>(sched, doc, view, alerts, settings, factory);
  }
  void TearDown() override {
    controller.reset();
    fs::remove_all(dir_);
  }
  std::string P(const std::string& n) const { return (dir_ / n).string(); }
  void Cut() {
    doc.edit.segments = {{1, 4}, {6, 9}};
    doc.edit.names = {"", ""};
    doc.edit.fadeIns = {0, 0};
    doc.edit.fadeOuts = {0, 0};
    doc.dirty = true;
  }
  bool Idle() const { return !controller->isBusy(); }

  fs::path dir_;
  ManualScheduler sched;
  FakeDocument doc;
  FakeView view;
  FakeAlerts alerts;
  MemorySettingsStore store;
  ExportSettings settings{store};
  ExportSettings& settings_ = settings;
  ScriptedFactory factory;
  std::unique_ptr<ExportController> controller;
};

TEST_F(ExportControllerTest, UntouchedLosslessMovieIsCopiedByteForByte) {
  view.savePanelAnswer = P("movie-copy.mov");
  controller->exportDocument();
  EXPECT_EQ(view.lastSave.proposedName, "movie-copy.mov");
  EXPECT_EQ(view.lastSave.allowedExtension, "");
  EXPECT_TRUE(controller->isBusy());
  EXPECT_EQ(view.menuTitle, "Cancel Export");
  EXPECT_FALSE(view.transport);
  ASSERT_TRUE(sched.runUntil([&] { return Idle(); }));
  EXPECT_TRUE(factory.made.empty());
  EXPECT_EQ(view.status(), "Copied movie-copy.mov byte-for-byte");
  EXPECT_EQ(fs::file_size(P("movie-copy.mov")), fs::file_size(doc.path));
  EXPECT_EQ(doc.exported.size(), 1u);
  EXPECT_EQ(controller->lastExportPath(), P("movie-copy.mov"));
  EXPECT_EQ(view.menuTitle, "Export As…");
  EXPECT_TRUE(view.transport);
  EXPECT_FALSE(view.badge);
  EXPECT_FALSE(view.progressShown);
  EXPECT_EQ(view.attention, 1);
  controller->showLastExport();
  EXPECT_EQ(view.revealed, std::vector<std::string>{P("movie-copy.mov")});
}

TEST_F(ExportControllerTest, CopyFailureAndCancelLeaveNoFile) {
  if (::geteuid() != 0) {
    ::chmod(doc.path.c_str(), 0);
    controller->exportToPath(P("copy.mov"));
    ASSERT_TRUE(sched.runUntil([&] { return Idle(); }));
    ASSERT_EQ(alerts.errors.size(), 1u);
    EXPECT_EQ(alerts.errors[0].message, std::string("Lossless copy failed: ") + std::strerror(EACCES));
    EXPECT_EQ(view.status(), alerts.errors[0].message);
    EXPECT_FALSE(fs::exists(P("copy.mov")));
    ::chmod(doc.path.c_str(), 0644);
  }
  controller->exportToPath(P("copy.mov"));
  controller->exportDocument();  // cancels
  EXPECT_EQ(view.status(), "Cancelling lossless copy…");
  ASSERT_TRUE(sched.runUntil([&] { return Idle(); }));
  // The copy may have finished before it saw the flag; either way no half file.
  if (view.status() == "Lossless copy cancelled") {
    EXPECT_FALSE(fs::exists(P("copy.mov")));
  } else {
    EXPECT_EQ(fs::file_size(P("copy.mov")), fs::file_size(doc.path));
  }
  EXPECT_TRUE(doc.exported.empty() || view.status() != "Lossless copy cancelled");
}

TEST_F(ExportControllerTest, EditedMovieGoesThroughTheSessionWithProgress) {
  Cut();
  doc.edit.fadeIns = {1, 0};
  view.savePanelAnswer = P("movie-cut.mp4");
  factory.outcomes["movie-cut.mp4"] = Outcome::Hold;
  controller->exportDocument();
  EXPECT_EQ(view.lastSave.proposedName, "movie-cut.mp4");
  EXPECT_EQ(view.lastSave.allowedExtension, "mp4");
  ASSERT_EQ(factory.made.size(), 1u);
  ScriptedSession* s = factory.made[0];
  EXPECT_EQ(s->request.plan.preset, ExportPreset::HighestQuality);  // a fade needs the re-encode
  EXPECT_EQ(s->request.plan.ranges, (std::vector<SourceRange>{{600, 1800}, {3600, 1800}}));
  EXPECT_TRUE(s->request.plan.audioMix);
  EXPECT_EQ(view.status(), "Exporting 0%");
  EXPECT_EQ(view.badge, "0%");
  s->progressValue = 0.5;
  sched.advance(2.05);
  EXPECT_EQ(view.status(), "Exporting 50% — 00:03.000 processed, about 00:02.000 left");
  EXPECT_EQ(view.badge, "50%");
  EXPECT_DOUBLE_EQ(view.progress, 0.5);
  s->complete();
  ASSERT_TRUE(sched.runUntil([&] { return Idle(); }));
  EXPECT_EQ(view.status(), "Exported movie-cut.mp4");
  EXPECT_EQ(doc.exported.size(), 1u);
  EXPECT_FALSE(view.badge);
  EXPECT_EQ(view.menuTitle, "Export As…");
  EXPECT_TRUE(view.transport);
}

TEST_F(ExportControllerTest, SessionCancelAndFailuresRemoveTheOutput) {
  Cut();
  factory.outcomes["held.mp4"] = Outcome::Hold;
  controller->exportToPath(P("held.mp4"));
  controller->setCloseAfterExport();
  controller->exportDocument();
  EXPECT_EQ(view.status(), "Cancelling export…");
  ASSERT_TRUE(sched.runUntil([&] { return Idle(); }));
  EXPECT_EQ(view.status(), "Export cancelled");
  EXPECT_FALSE(fs::exists(P("held.mp4")));
  EXPECT_EQ(doc.closes, 1);  // the deferred close ran once the export ended
  EXPECT_TRUE(doc.exported.empty());

  factory.outcomes["bad.mp4"] = Outcome::Fail;
  controller->exportToPath(P("bad.mp4"));
  ASSERT_TRUE(sched.runUntil([&] { return Idle(); }));
  ASSERT_EQ(alerts.errors.size(), 1u);
  EXPECT_EQ(alerts.errors[0], (Error{"Kerfline", 3, "Export failed."}));
  EXPECT_FALSE(fs::exists(P("bad.mp4")));

  factory.outcomes["full.mp4"] = Outcome::FailWithError;
  controller->exportToPath(P("full.mp4"));
  ASSERT_TRUE(sched.runUntil([&] { return Idle(); }));
  EXPECT_EQ(view.status(), "No space left on device");

  factory.unavailable = true;
  controller->exportToPath(P("none.mp4"));
  EXPECT_EQ(alerts.errors.back(),
            (Error{"Kerfline", 7, "The selected export preset is not available for this movie."}));
  EXPECT_FALSE(controller->isBusy());
}

// Every failure keeps its own message (the alert's title and the status
// line) and says, naming the file, what the user can change.
TEST_F(ExportControllerTest, FailureMessagesNameTheFileAndSayWhatToChange) {
  const std::string movie = fs::path(doc.path).filename().string();
  const std::string folder = dir_.filename().string();
  auto last = [&] { return alerts.errors.back(); };
  Cut();
  factory.outcomes["full.mp4"] = Outcome::FailWithError;
  controller->exportToPath(P("full.mp4"));
  ASSERT_TRUE(sched.runUntil([&] { return Idle(); }));
  EXPECT_EQ(last().message, "No space left on device");
  EXPECT_EQ(last().suggestion, "There is not enough free space for “full.mp4” in the folder “" + folder +
                                   "”. Free some space there, or export to a folder on another disk.");
  EXPECT_EQ(view.status(), "No space left on device");

  // The hidden name the movie is written under never shows.
  factory.outcomes["denied.mp4"] = Outcome::FailNamingTheFile;
  controller->exportToPath(P("denied.mp4"));
  ASSERT_TRUE(sched.runUntil([&] { return Idle(); }));
  EXPECT_EQ(last().message, "Cannot create " + P("denied.mp4") + ": Permission denied");
  EXPECT_EQ(last().suggestion, "Kerfline may not write “denied.mp4” in the folder “" + folder +
                                   "”. Choose a folder you can write to, or change the folder's permissions.");

  factory.outcomes["bad.mp4"] = Outcome::Fail;
  controller->exportToPath(P("bad.mp4"));
  ASSERT_TRUE(sched.runUntil([&] { return Idle(); }));
  EXPECT_EQ(last(), (Error{"Kerfline", 3, "Export failed."}));
  EXPECT_EQ(last().suggestion, "Exporting “" + movie + "” to “bad.mp4” failed; nothing was written there. Try the "
                               "other export mode in Export Settings (lossless or re-encode), or another output size.");

  factory.outcomes["*"] = Outcome::FailWithError;
  controller->saveInPlace();
  ASSERT_TRUE(sched.runUntil([&] { return Idle(); }));
  EXPECT_EQ(last().suggestion, "There is not enough free space for “" + movie + "” in the folder “" + folder +
                                   "”. Free some space there, or export to a folder on another disk. Or use Export "
                                   "As… to save the edit under another name; the original stays as it is.");
  factory.outcomes.clear();

  factory.unavailable = true;
  controller->exportToPath(P("none.mp4"));
  EXPECT_EQ(last(), (Error{"Kerfline", 7, "The selected export preset is not available for this movie."}));
  EXPECT_NE(last().suggestion.find("Exporting “" + movie + "” to “none.mp4” failed"), std::string::npos);
  factory.unavailable = false;

  // A byte copy of a movie that was moved away meanwhile.
  doc.edit = {};
  doc.edit.segments = {{0, doc.duration}};
  doc.edit.names = {""};
  doc.edit.fadeIns = {0};
  doc.edit.fadeOuts = {0};
  const std::string moved = P("moved.mov");
  fs::rename(doc.path, moved);
  controller->exportToPath(P("copy.mov"));
  ASSERT_TRUE(sched.runUntil([&] { return Idle(); }));
  EXPECT_EQ(last().message, std::string("Lossless copy failed: ") + std::strerror(ENOENT));
  EXPECT_EQ(last().suggestion, "The movie “" + movie + "” was moved or deleted from the folder “" + folder +
                                   "”. Open it again from where it is now, then export again.");
  fs::rename(moved, doc.path);

  // A folder that cannot take the hidden file.
  fs::create_directory(dir_ / "taken.mov");
  controller->exportToPath(P("taken.mov"));
  EXPECT_EQ(last().message, "“taken.mov” is a folder, not a regular file");
  EXPECT_EQ(last().suggestion, "Choose another name for the export; what is at “taken.mov” stays as it is.");
}

TEST_F(ExportControllerTest, SaveInPlaceSwapsOnlyACompleteMovie) {
  // Unedited: nothing to save, no alert.
  controller->saveInPlace();
  EXPECT_EQ(view.status(), "Nothing to save — this movie is unedited");
  EXPECT_TRUE(alerts.asked.empty());

  Cut();
  ::chmod(doc.path.c_str(), 0640);
  const auto originalSize = fs::file_size(doc.path);
  // Declined: nothing happens.
  alerts.answer = 1;
  controller->saveInPlace();
  ASSERT_EQ(alerts.asked.size(), 1u);
  EXPECT_EQ(alerts.asked[0].message, "Replace “movie.mov” with this edit?");
  EXPECT_EQ(alerts.asked[0].buttons, (std::vector<std::string>{"Replace Original", "Cancel"}));
  EXPECT_TRUE(factory.made.empty());

  // A failing export leaves the original and no hidden file.
  alerts.answer = 0;
  auto hidden = [&] {
    int n = 0;
    for (auto& e : fs::directory_iterator(dir_)) n += e.path().filename().string().find(".kerfline-tmp.") != std::string::npos;
    return n;
  };
  controller->saveInPlace();
  ASSERT_EQ(factory.made.size(), 1u);
  const std::string tmp = factory.made[0]->request.outputPath;
  EXPECT_EQ(fs::path(tmp).parent_path(), dir_);
  EXPECT_EQ(fs::path(tmp).filename().string().rfind(".movie.", 0), 0u);
  EXPECT_EQ(factory.made[0]->request.fileType, OutputFileType::QuickTimeMovie);
  ASSERT_TRUE(sched.runUntil([&] { return Idle(); }));
  // It completed: the original path holds the new movie with its permissions.
  EXPECT_EQ(view.status(), "Saved and safely replaced the original");
  EXPECT_NE(fs::file_size(doc.path), originalSize);
  struct stat st {};
  ASSERT_EQ(::stat(doc.path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0640u);
  EXPECT_EQ(hidden(), 0);
  EXPECT_EQ(doc.pauses, 1);
  sched.runPending();
  EXPECT_EQ(doc.reopened, std::vector<std::string>{doc.path});
  EXPECT_EQ(controller->lastExportPath(), doc.path);

  // Failure and cancellation never touch the original.
  const std::string before = [&] {
    std::ifstream in(doc.path);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
  }();
  for (Outcome o : {Outcome::Fail, Outcome::Hold}) {
    factory.made.clear();
    // The temporary name is fresh each time: script every session alike.
    factory.outcomes["*"] = o;
    controller->saveInPlace();
    ASSERT_EQ(factory.made.size(), 1u);
    if (o == Outcome::Hold) controller->exportDocument();
    ASSERT_TRUE(sched.runUntil([&] { return Idle(); }));
    std::ifstream in(doc.path);
    std::stringstream ss;
    ss << in.rdbuf();
    EXPECT_EQ(ss.str(), before);
    EXPECT_EQ(hidden(), 0);
  }
}

TEST_F(ExportControllerTest, OptimizeCopiesTheWholeMovieIgnoringTheEdit) {
  Cut();
  doc.edit.fadeIns = {1, 0};
  doc.edit.exposure = 0.5;
  settings_.setExportSize(kExportSize720p);
  controller->optimizeForEditing();
  ASSERT_EQ(alerts.asked.size(), 1u);
  EXPECT_EQ(alerts.asked[0].message, "Rebuild the index in “movie.mov”?");
  EXPECT_EQ(alerts.asked[0].buttons, (std::vector<std::string>{"Optimize and Replace", "Cancel"}));
  ASSERT_EQ(factory.made.size(), 1u);
  const CompositionPlan& plan = factory.made[0]->request.plan;
  EXPECT_EQ(plan.preset, ExportPreset::Passthrough);
  EXPECT_EQ(plan.ranges, (std::vector<SourceRange>{{0, 6000}}));
  EXPECT_EQ(plan.exposure, 0);
  EXPECT_FALSE(plan.renderSize);
  EXPECT_FALSE(plan.videoComposition);
  EXPECT_FALSE(plan.audioMix);
  ASSERT_TRUE(sched.runUntil([&] { return Idle(); }));
  EXPECT_EQ(view.status(), "Optimized movie and safely replaced the original");
  // The next ordinary export is not a replacement any more.
  controller->exportToPath(P("after.mp4"));
  // The session is the controller's to delete once it finishes.
  ASSERT_EQ(factory.made.size(), 2u);
  EXPECT_EQ(factory.made.back()->request.plan.renderSize, (RenderSize{1280, 720}));
  ASSERT_TRUE(sched.runUntil([&] { return Idle(); }));
  EXPECT_EQ(view.status(), "Exported after.mp4");
}

TEST_F(ExportControllerTest, ProposedNamesTakeTheExtensionThatFitsTheCodecsAndTheNameDecidesTheContainer) {
  // VP8/Vorbis WebM: MP4 cannot hold it, so a lossless cut is proposed as
  // WebM, clips too; the re-encode writes H.264/AAC and proposes MP4.
  doc.path = P("trip.webm");
  { std::ofstream(doc.path) << "webm"; }
  doc.codecs = {"vp8", "vorbis"};
  Cut();
  view.savePanelAnswer.reset();
  controller->exportDocument();
  EXPECT_EQ(view.lastSave.proposedName, "trip-cut.webm");
  EXPECT_EQ(view.lastSave.allowedExtension, "webm");
  settings_.setExportMode(kExportModeReencode);
  controller->exportDocument();
  EXPECT_EQ(view.lastSave.proposedName, "trip-cut.mp4");
  EXPECT_EQ(view.lastSave.allowedExtension, "mp4");
  settings_.setExportMode(kExportModeLossless);
  // Uncompressed sound in Matroska: QuickTime keeps the cut exact.
  doc.path = P("take.mkv");
  doc.codecs = {"h264", "pcm_s16le"};
  controller->exportDocument();
  EXPECT_EQ(view.lastSave.proposedName, "take-cut.mov");
  doc.codecs = {"h264", "aac"};
  controller->exportDocument();
  EXPECT_EQ(view.lastSave.proposedName, "take-cut.mp4");

  doc.path = P("trip.webm");
  doc.codecs = {"vp8", "vorbis"};
  doc.edit.names = {"Intro", ""};
  settings_.setExportOutput(1);
  view.folderAnswer = dir_.string();
  controller->exportDocument();
  ASSERT_TRUE(sched.runUntil([&] { return Idle(); }));
  EXPECT_TRUE(fs::exists(P("01 - Intro.webm")));
  EXPECT_TRUE(fs::exists(P("clip-02.webm")));
  ASSERT_EQ(factory.made.size(), 2u);
  for (auto* s : factory.made) {
    EXPECT_EQ(s->request.fileType, OutputFileType::WebM);
    EXPECT_EQ(s->request.fileName, FinalName(s->request.outputPath));
  }
}

TEST_F(ExportControllerTest, AnUntouchedMovieNamedForAnotherContainerIsWrittenNotCopied) {
  // movie.mov saved as .mkv: the bytes would stay QuickTime under a
  // Matroska name; the session writes Matroska instead.
  controller->exportToPath(P("movie.mkv"));
  ASSERT_TRUE(sched.runUntil([&] { return Idle(); }));
  // (The finished session is gone: its request is read from the factory's record.)
  ASSERT_EQ(factory.requests.size(), 1u);
  EXPECT_EQ(factory.requests[0].fileType, OutputFileType::Matroska);
  EXPECT_EQ(factory.requests[0].fileName, "movie.mkv");
  EXPECT_EQ(factory.requests[0].plan.preset, ExportPreset::Passthrough);
  EXPECT_EQ(view.status(), "Exported movie.mkv");
  // The same container under another name is still a byte copy.
  controller->exportToPath(P("other.MOV"));
  ASSERT_TRUE(sched.runUntil([&] { return Idle(); }));
  EXPECT_EQ(factory.made.size(), 1u);
  EXPECT_EQ(fs::file_size(P("other.MOV")), fs::file_size(doc.path));
}

TEST_F(ExportControllerTest, ClipsAreNamedNumberedAndReportedOnce) {
  Cut();
  doc.edit.segments = {{0, 1}, {2, 3}, {4, 5}};
  doc.edit.names = {"Intro", "", "a/b: c?"};
  doc.edit.fadeIns = {0.5, 0, 0};
  doc.edit.fadeOuts = {0, 0, 0.25};
  settings_.setExportOutput(1);
  view.folderAnswer = dir_.string();
  controller->exportDocument();
  EXPECT_EQ(view.folderPrompt, "Export Clips");
  EXPECT_EQ(view.statuses.front(), "Exporting 3 clips with two workers…");
  ASSERT_TRUE(sched.runUntil([&] { return Idle(); }));
  EXPECT_EQ(view.status(), "Exported 3 clips");
  EXPECT_TRUE(fs::exists(P("01 - Intro.mp4")));
  EXPECT_TRUE(fs::exists(P("clip-02.mp4")));
  EXPECT_TRUE(fs::exists(P("03 - a-b- c-.mp4")));
  EXPECT_EQ(controller->lastExportPath(), dir_.string());
  EXPECT_EQ(doc.exported.size(), 1u);
  // Each clip carries its own segment and fades, from time zero.
  ASSERT_EQ(factory.made.size(), 3u);
  for (auto* s : factory.made) {
    ASSERT_EQ(s->request.plan.ranges.size(), 1u);
    EXPECT_EQ(fs::path(s->request.outputPath).parent_path(), dir_);
    if (FinalName(s->request.outputPath) == "01 - Intro.mp4") {
      EXPECT_EQ(s->request.plan.fadesIn, std::vector<double>{0.5});
    }
    if (FinalName(s->request.outputPath) == "03 - a-b- c-.mp4") {
      EXPECT_EQ(s->request.plan.fadesOut, std::vector<double>{0.25});
      EXPECT_EQ(s->request.plan.ranges[0], (SourceRange{2400, 600}));
    }
  }
}

TEST_F(ExportControllerTest, ClipFailuresAreSummedAndCancelStopsTheRest) {
  doc.edit.segments = {{0, 1}, {1, 2}, {2, 3}, {3, 4}, {4, 5}};
  doc.edit.names = {};
  doc.dirty = true;
  factory.outcomes["clip-02.mp4"] = Outcome::FailWithError;
  factory.outcomes["clip-04.mp4"] = Outcome::Fail;
  controller->exportClipsToDirectory(dir_.string());
  ASSERT_TRUE(sched.runUntil([&] { return Idle(); }));
  ASSERT_EQ(alerts.errors.size(), 1u);
  EXPECT_EQ(alerts.errors[0].code, 6);
  EXPECT_TRUE(alerts.errors[0].message == "2 clip export failures — No space left on device" ||
              alerts.errors[0].message == "2 clip export failures — A clip export failed.");
  // What the first failure suggests, for its clip.
  EXPECT_TRUE(alerts.errors[0].suggestion.find("“clip-02.mp4”") != std::string::npos ||
              alerts.errors[0].suggestion.find("to “clip-04.mp4” failed") != std::string::npos)
      << alerts.errors[0].suggestion;
  EXPECT_EQ(view.status(), alerts.errors[0].message);
  EXPECT_TRUE(doc.exported.empty());
  EXPECT_FALSE(fs::exists(P("clip-02.mp4")));
  EXPECT_TRUE(fs::exists(P("clip-05.mp4")));

  // A clip that would be written over the source movie fails; the source
  // stays.
  alerts.errors.clear();
  factory.outcomes.clear();
  const std::string original = doc.path;
  doc.path = P("clip-03.mp4");
  fs::copy_file(original, doc.path, fs::copy_options::overwrite_existing);
  const auto sourceSize = fs::file_size(doc.path);
  controller->exportClipsToDirectory(dir_.string());
  ASSERT_TRUE(sched.runUntil([&] { return Idle(); }));
  ASSERT_EQ(alerts.errors.size(), 1u);
  EXPECT_EQ(alerts.errors[0].message, "1 clip export failure — A clip would replace the source movie.");
  EXPECT_EQ(alerts.errors[0].suggestion, "The clip “clip-03.mp4” has the name of the movie it is cut from. Rename "
                                         "the clip, or export the clips to another folder.");
  EXPECT_EQ(fs::file_size(doc.path), sourceSize);
  doc.path = original;

  // Cancel while clips 2 and 3 run: clip 1 stays, the running ones are
  // removed, the rest never start.
  for (int i = 1; i <= 5; ++i) fs::remove(P("clip-0" + std::to_string(i) + ".mp4"));
  factory.made.clear();
  factory.outcomes.clear();
  factory.outcomes["clip-02.mp4"] = Outcome::Hold;
  factory.outcomes["clip-03.mp4"] = Outcome::Hold;
  controller->setTerminateAfterExport();
  controller->exportClipsToDirectory(dir_.string());
  for (int i = 0; i < 2000 && factory.heldCount() < 2; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  ASSERT_EQ(factory.heldCount(), 2u);
  controller->exportDocument();
  EXPECT_EQ(view.status(), "Cancelling clip exports…");
  ASSERT_TRUE(sched.runUntil([&] { return Idle(); }));
  EXPECT_EQ(view.status(), "Clip export cancelled");
  EXPECT_TRUE(fs::exists(P("clip-01.mp4")));
  EXPECT_FALSE(fs::exists(P("clip-02.mp4")));
  EXPECT_FALSE(fs::exists(P("clip-03.mp4")));
  EXPECT_FALSE(fs::exists(P("clip-04.mp4")));
  EXPECT_EQ(factory.made.size(), 3u);
  EXPECT_EQ(doc.terminates, 1);
}

}  // namespace
}  // namespace kf

namespace kf {
namespace {

// ---- outputs appear only when complete ------------------------------------

std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

int HiddenFiles(const fs::path& dir) {
  int n = 0;
  for (auto& e : fs::directory_iterator(dir)) n += e.path().filename().string().find(".kerfline-tmp.") != std::string::npos;
  return n;
}

TEST_F(ExportControllerTest, AFailedExportLeavesThePreviousFileAtTheDestinationByteForByte) {
  const std::string precious = "the user's earlier export\n";
  // Byte copy that fails (the source is not a regular file) and one that is
  // cancelled.
  std::ofstream(P("copy.mov")) << precious;
  const std::string movie = doc.path;
  doc.path = P("folder.mov");
  fs::create_directory(doc.path);
  controller->exportToPath(P("copy.mov"));
  ASSERT_TRUE(sched.runUntil([&] { return Idle(); }));
  ASSERT_EQ(alerts.errors.size(), 1u);
  EXPECT_EQ(alerts.errors[0].message, "Lossless copy failed: “folder.mov” is a folder, not a regular file");
  EXPECT_EQ(ReadAll(P("copy.mov")), precious);
  doc.path = movie;
  controller->exportToPath(P("copy.mov"));
  EXPECT_EQ(ReadAll(P("copy.mov")), precious);  // untouched while the copy runs
  controller->exportDocument();
  ASSERT_TRUE(sched.runUntil([&] { return Idle(); }));
  if (view.status() == "Lossless copy cancelled")
    EXPECT_EQ(ReadAll(P("copy.mov")), precious);
  else
    EXPECT_EQ(ReadAll(P("copy.mov")), ReadAll(doc.path));

  // Joined session: failed, cancelled while it was writing.
  Cut();
  std::ofstream(P("cut.mp4")) << precious;
  factory.outcomes["cut.mp4"] = Outcome::FailWithError;
  controller->exportToPath(P("cut.mp4"));
  ASSERT_TRUE(sched.runUntil([&] { return Idle(); }));
  EXPECT_EQ(view.status(), "No space left on device");
  EXPECT_EQ(ReadAll(P("cut.mp4")), precious);
  factory.outcomes["cut.mp4"] = Outcome::Hold;
  controller->exportToPath(P("cut.mp4"));
  EXPECT_EQ(ReadAll(P("cut.mp4")), precious);  // the session writes beside it
  controller->exportDocument();
  ASSERT_TRUE(sched.runUntil([&] { return Idle(); }));
  EXPECT_EQ(view.status(), "Export cancelled");
  EXPECT_EQ(ReadAll(P("cut.mp4")), precious);
  // And a completed one replaces it.
  factory.outcomes["cut.mp4"] = Outcome::Complete;
  controller->exportToPath(P("cut.mp4"));
  ASSERT_TRUE(sched.runUntil([&] { return Idle(); }));
  EXPECT_EQ(ReadAll(P("cut.mp4")), "movie:2");

  // Clips: the failing clip's earlier file stays.
  std::ofstream(P("clip-02.mp4")) << precious;
  factory.outcomes["clip-02.mp4"] = Outcome::Fail;
  controller->exportClipsToDirectory(dir_.string());
  ASSERT_TRUE(sched.runUntil([&] { return Idle(); }));
  EXPECT_EQ(ReadAll(P("clip-02.mp4")), precious);
  EXPECT_EQ(ReadAll(P("clip-01.mp4")), "movie:1");

  // Optimize that fails: the original stays.
  const std::string original = ReadAll(doc.path);
  factory.outcomes["*"] = Outcome::Fail;
  controller->optimizeForEditing();
  ASSERT_TRUE(sched.runUntil([&] { return Idle(); }));
  EXPECT_EQ(ReadAll(doc.path), original);
  EXPECT_EQ(HiddenFiles(dir_), 0);
}

TEST_F(ExportControllerTest, DestinationsThatAreNotRegularFilesAreRefusedUntouched) {
  Cut();
  ASSERT_EQ(::mkfifo(P("pipe.mp4").c_str(), 0600), 0);
  controller->exportToPath(P("pipe.mp4"));
  EXPECT_FALSE(controller->isBusy());
  ASSERT_EQ(alerts.errors.size(), 1u);
  EXPECT_EQ(alerts.errors[0].message, "“pipe.mp4” is a named pipe, not a regular file");
  EXPECT_EQ(view.status(), alerts.errors[0].message);
  EXPECT_TRUE(fs::is_fifo(P("pipe.mp4")));
  EXPECT_TRUE(factory.made.empty());

  fs::create_directory(P("folder.mp4"));
  controller->exportToPath(P("folder.mp4"));
  EXPECT_EQ(alerts.errors.back().message, "“folder.mp4” is a folder, not a regular file");
  EXPECT_TRUE(fs::is_directory(P("folder.mp4")));

  // The same for the untouched movie's byte copy.
  doc.edit.segments = {{0, 10}};
  doc.edit.names = {""};
  doc.edit.fadeIns = doc.edit.fadeOuts = {0};
  controller->exportToPath(P("pipe.mp4"));
  EXPECT_FALSE(controller->isBusy());
  EXPECT_EQ(alerts.errors.size(), 3u);
  EXPECT_TRUE(fs::is_fifo(P("pipe.mp4")));

  // A clip whose name is taken by a folder fails alone.
  Cut();
  fs::create_directory(P("clip-01.mp4"));
  controller->exportClipsToDirectory(dir_.string());
  ASSERT_TRUE(sched.runUntil([&] { return Idle(); }));
  EXPECT_EQ(alerts.errors.back().message, "1 clip export failure — “clip-01.mp4” is a folder, not a regular file");
  EXPECT_TRUE(fs::is_directory(P("clip-01.mp4")));
  EXPECT_EQ(ReadAll(P("clip-02.mp4")), "movie:1");
  EXPECT_EQ(HiddenFiles(dir_), 0);
}

TEST_F(ExportControllerTest, StaleTemporaryFilesOfEndedProcessesAreRemovedOnExport) {
  Cut();
  // A writer that no longer runs (no process has an id past pid_max), one
  // that runs (this process), and a hidden file that is not ours.
  const std::string uuid = "1B4E28BA-2FA1-41D2-883F-0016D3CCA427";
  const std::string stale = P(".movie." + uuid + ".2147483646.kerfline-tmp.mov");
  const std::string live = P(".cut." + uuid + "." + std::to_string(::getpid()) + ".kerfline-tmp.mp4");
  const std::string other = P(".notes.kerfline-tmp.txt");
  for (const auto& p : {stale, live, other}) std::ofstream(p) << "x";
  controller->exportToPath(P("cut.mp4"));
  ASSERT_TRUE(sched.runUntil([&] { return Idle(); }));
  EXPECT_EQ(view.status(), "Exported cut.mp4");
  EXPECT_FALSE(fs::exists(stale));
  EXPECT_TRUE(fs::exists(live));
  EXPECT_TRUE(fs::exists(other));
}

TEST_F(ExportControllerTest, TheFolderOfEachExportIsRememberedForTheNextLaunchToSweep) {
  Cut();
  MemorySettingsStore memory;
  controller->rememberOutputFoldersIn(&memory);
  fs::create_directories(dir_ / "exports" / "clips");
  const std::string uuid = "1B4E28BA-2FA1-41D2-883F-0016D3CCA427";
  auto sweepFinds = [&](const fs::path& folder) {
    std::ofstream((folder / (".movie." + uuid + ".2147483646.kerfline-tmp.mov")).string()) << "x";
    return SweepLastExportFolder(memory);
  };
  EXPECT_EQ(SweepLastExportFolder(memory), 0);  // nothing recorded yet
  controller->exportToPath(P("exports/cut.mp4"));
  ASSERT_TRUE(sched.runUntil([&] { return Idle(); }));
  EXPECT_EQ(memory.value(kLastExportFolderKey), SettingsValue(P("exports")));
  EXPECT_EQ(sweepFinds(dir_ / "exports"), 1);
  EXPECT_EQ(HiddenFiles(dir_ / "exports"), 0);

  controller->exportClipsToDirectory(P("exports/clips"));
  ASSERT_TRUE(sched.runUntil([&] { return Idle(); }));
  EXPECT_EQ(memory.value(kLastExportFolderKey), SettingsValue(P("exports/clips")));
  EXPECT_EQ(sweepFinds(dir_ / "exports" / "clips"), 1);

  controller->saveInPlace();
  ASSERT_TRUE(sched.runUntil([&] { return Idle(); }));
  EXPECT_EQ(memory.value(kLastExportFolderKey), SettingsValue(dir_.string()));
  EXPECT_EQ(sweepFinds(dir_), 1);
  // A live writer's file and a hidden file that is not ours stay.
  const std::string live = P(".cut." + uuid + "." + std::to_string(::getpid()) + ".kerfline-tmp.mp4");
  std::ofstream(live) << "x";
  std::ofstream(P(".notes.kerfline-tmp.txt")) << "x";
  EXPECT_EQ(SweepLastExportFolder(memory), 0);
  EXPECT_TRUE(fs::exists(live));
}

TEST_F(ExportControllerTest, SymbolicLinksKeepPointingAtTheNewMovie) {
  Cut();
  // Save in place of a movie opened through a link: the linked file is
  // replaced, the link stays a link.
  fs::create_directory(dir_ / "store");
  const std::string real = (dir_ / "store" / "real.mov").string();
  fs::rename(doc.path, real);
  fs::create_symlink("store/real.mov", doc.path);
  controller->saveInPlace();
  ASSERT_TRUE(sched.runUntil([&] { return Idle(); }));
  EXPECT_EQ(view.status(), "Saved and safely replaced the original");
  EXPECT_TRUE(fs::is_symlink(doc.path));
  EXPECT_EQ(ReadAll(real), "movie:2");
  EXPECT_EQ(HiddenFiles(dir_ / "store"), 0);
  EXPECT_EQ(HiddenFiles(dir_), 0);

  // An export to a link writes the file it names.
  std::ofstream(P("old.mp4")) << "old";
  fs::create_symlink("old.mp4", P("latest.mp4"));
  controller->exportToPath(P("latest.mp4"));
  ASSERT_TRUE(sched.runUntil([&] { return Idle(); }));
  EXPECT_TRUE(fs::is_symlink(P("latest.mp4")));
  EXPECT_EQ(ReadAll(P("old.mp4")), "movie:2");
}

}  // namespace
}  // namespace kf
