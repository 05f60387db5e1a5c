// kf-save-in-place: runs the window's "Save (Replace Original)" or "Optimize
// for Editing" on a movie, through the export controller, the file staging
// and the FFmpeg export sessions the window uses, with the replacement
// confirmed. The fault tests kill it at chosen moments.
//
//   kf-save-in-place MOVIE [--keep A-B[,A-B...]] [--mode lossless|reencode] [--optimize]
//
// Exits 0 once the original has been replaced, 1 on failure (the message on
// standard error), 2 for a usage error.
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "app/rules/SettingsStore.h"
#include "base/ManualScheduler.h"
#include "edit/EditState.h"
#include "export/controller/ExportController.h"
#include "export/settings/ExportSettings.h"
#include "platform/export/FfmpegExportSession.h"

namespace {

struct Document : kf::ExportDocument {
  std::string path;
  double duration = 0;
  std::vector<std::string> codecs;
  kerfline::EditState edit;
  bool hasMovie() const override { return true; }
  std::string sourcePath() const override { return path; }
  double movieDuration() const override { return duration; }
  std::vector<std::string> sourceCodecs() const override { return codecs; }
  kerfline::EditState editState() const override { return edit; }
  bool isDirty() const override { return true; }
  void markExported(const std::string&) override {}
  void pausePlayer() override {}
  void reopen(const std::string&) override {}
  void performClose() override {}
  void replyToTerminate(bool) override {}
};

struct View : kf::ExportView {
  std::string status;
  void setStatus(const std::string& t) override { status = t; }
  void showExportProgress(double, bool) override {}
  void hideExportProgress() override {}
  void setDockBadge(const std::optional<std::string>&) override {}
  void setTransportEnabled(bool) override {}
  void setExportMenuTitle(const std::string&) override {}
  bool isMainWindowKey() const override { return true; }
  void requestAttention() override {}
  void runSavePanel(const kf::SavePanelRequest&, std::function<void(std::optional<std::string>)> c) override {
    c(std::nullopt);
  }
  void runFolderPanel(const std::string&, const std::string&,
                      std::function<void(std::optional<std::string>)> c) override {
    c(std::nullopt);
  }
  void revealInFileBrowser(const std::string&) override {}
};

// The user confirms the replacement.
struct Alerts : kf::AlertPort {
  std::optional<kf::Error> error;
  int runModalAlert(const kf::AlertSpec&) override { return 0; }
  void showErrorAlert(const kf::Error& e) override {
    if (!error) error = e;
  }
};

int UsageError(const char* why) {
  std::fprintf(stderr,
               "kf-save-in-place: %s\nusage: kf-save-in-place MOVIE [--keep A-B[,A-B...]] "
               "[--mode lossless|reencode] [--optimize]\n",
               why);
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  Document doc;
  std::vector<kf::TimeSpan> keep;
  std::int64_t mode = kf::kExportModeLossless;
  bool optimize = false;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if ((a == "--keep" || a == "--mode") && i + 1 >= argc) return UsageError("missing value");
    if (a == "--keep") {
      const std::string v = argv[++i];
      for (std::size_t pos = 0; pos < v.size();) {
        std::size_t comma = v.find(',', pos);
        if (comma == std::string::npos) comma = v.size();
        const std::string part = v.substr(pos, comma - pos);
        const auto dash = part.find('-');
        if (dash == std::string::npos) return UsageError("expected A-B");
        keep.push_back({std::atof(part.substr(0, dash).c_str()), std::atof(part.substr(dash + 1).c_str())});
        pos = comma + 1;
      }
    } else if (a == "--mode") {
      const std::string v = argv[++i];
      if (v == "reencode")
        mode = kf::kExportModeReencode;
      else if (v != "lossless")
        return UsageError("--mode is lossless or reencode");
    } else if (a == "--optimize") {
      optimize = true;
    } else if (doc.path.empty()) {
      doc.path = a;
    } else {
      return UsageError("unexpected argument");
    }
  }
  if (doc.path.empty()) return UsageError("no movie");

  auto source = kf::OpenCheckedSource(doc.path);
  if (!source) {
    std::fprintf(stderr, "kf-save-in-place: %s\n", source.error().message.c_str());
    return 1;
  }
  doc.duration = source->duration;
  doc.codecs = source->codecs;
  doc.edit.segments = keep.empty() ? std::vector<kf::TimeSpan>{{0, doc.duration}} : keep;
  const std::size_t n = doc.edit.segments.size();
  doc.edit.names.assign(n, "");
  doc.edit.fadeIns.assign(n, 0);
  doc.edit.fadeOuts.assign(n, 0);
  kerfline::NormalizeEdit(doc.edit);

  kf::MemorySettingsStore store;
  kf::ExportSettings settings(store);
  settings.setExportMode(mode);
  kf::ManualScheduler scheduler;
  View view;
  Alerts alerts;
  kf::FfmpegExportSessionFactory factory(source->input);
  kf::ExportController controller(scheduler, doc, view, alerts, settings, factory);
  if (optimize)
    controller.optimizeForEditing();
  else
    controller.saveInPlace();
  scheduler.runUntil([&] { return !controller.isBusy(); }, 600);
  scheduler.runPending();
  if (alerts.error) {
    std::fprintf(stderr, "kf-save-in-place: %s\n", alerts.error->message.c_str());
    return 1;
  }
  std::fprintf(stderr, "%s\n", view.status.c_str());
  return view.status.find("safely replaced the original") != std::string::npos ? 0 : 1;
}
