#include <gtest/gtest.h>

#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "app/rules/FolderRules.h"
#include "app/rules/RecentlyUsed.h"

namespace kf {
namespace {

RecentUse Use(const std::string& path, const std::string& time) {
  RecentUse u;
  u.path = path;
  u.mimeType = MovieMimeType(path);
  u.time = time;
  return u;
}

std::size_t Count(const std::string& text, const std::string& what) {
  std::size_t n = 0;
  for (auto at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

// A list written by another toolkit: single quotes, an older entry of ours
// under the old "timestamp" attribute, groups, another application.
const std::string kForeign =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
    "<xbel version=\"1.0\" xmlns:bookmark=\"http://www.freedesktop.org/standards/desktop-bookmarks\" "
    "xmlns:mime=\"http://www.freedesktop.org/standards/shared-mime-info\">\n"
    "  <bookmark href='file:///home/u/notes.txt' added='2020-01-01T00:00:00Z' modified='2020-01-01T00:00:00Z' "
    "visited='2020-01-01T00:00:00Z'>\n"
    "    <info><metadata owner='http://freedesktop.org'><mime:mime-type type='text/plain'/>"
    "<bookmark:groups><bookmark:group>Editors</bookmark:group></bookmark:groups>"
    "<bookmark:applications><bookmark:application name='gedit' exec='&apos;gedit %u&apos;' "
    "modified='2020-01-01T00:00:00Z' count='4'/></bookmark:applications></metadata></info>\n"
    "  </bookmark>\n"
    "  <bookmark href=\"file:///m/Tom%20&amp;%20Jerry.mp4\" added=\"2021-01-01T00:00:00Z\" "
    "modified=\"2021-01-01T00:00:00Z\" visited=\"2021-01-01T00:00:00Z\">\n"
    "    <info>\n"
    "      <metadata owner=\"http://freedesktop.org\">\n"
    "        <mime:mime-type type=\"video/mp4\"/>\n"
    "        <bookmark:applications>\n"
    "          <bookmark:application name=\"Totem\" exec=\"&apos;totem %u&apos;\" "
    "modified=\"2021-01-01T00:00:00Z\" count=\"2\"/>\n"
    "          <bookmark:application name=\"Kerfline\" exec=\"&apos;kerfline %u&apos;\" "
    "timestamp=\"1609459200\" count=\"7\"/>\n"
    "        </bookmark:applications>\n"
    "      </metadata>\n"
    "    </info>\n"
    "  </bookmark>\n"
    "</xbel>\n";

TEST(RecentlyUsedTest, UrisAndMimeTypesOfMovies) {
  EXPECT_EQ(FileURIFromPath("/m/Tom & Jerry (1).mp4"), "file:///m/Tom%20&%20Jerry%20(1).mp4");
  EXPECT_EQ(FileURIFromPath("/m/Müller%.mkv"), "file:///m/M%C3%BCller%25.mkv");
  EXPECT_EQ(PathFromFileURI("file:///m/M%C3%BCller%25.mkv"), "/m/Müller%.mkv");
  EXPECT_EQ(PathFromFileURI("FILE://localhost/a%2fb"), "/a/b");
  for (const char* bad : {"http://x/a", "file://host/a", "file:///a%2", "file:///a%zz", "file:///a%00", "file:"})
    EXPECT_EQ(PathFromFileURI(bad), std::nullopt) << bad;
  // Every movie extension the program opens has a video type, and the
  // desktop entry announces each of them.
  std::ifstream desktop(std::string(KERFLINE_SOURCE_DIR) + "/data/com.marrowgate.Kerfline.desktop");
  std::stringstream entry;
  entry << desktop.rdbuf();
  std::string mimeLine;
  for (std::string line; std::getline(entry, line);)
    if (line.rfind("MimeType=", 0) == 0) mimeLine = ";" + line.substr(9);
  ASSERT_FALSE(mimeLine.empty());
  for (const char* ext : kerfline::kMovieExtensions) {
    const std::string type = MovieMimeType(std::string("x.") + ext);
    EXPECT_EQ(type.rfind("video/", 0), 0u) << ext;
    EXPECT_EQ(MovieMimeType(std::string("Y.") + ext), type);
    EXPECT_NE(mimeLine.find(";" + type + ";"), std::string::npos) << ext << " " << type;
  }
  EXPECT_NE(mimeLine.find(";x-scheme-handler/kerfline;"), std::string::npos);
  EXPECT_EQ(MovieMimeType("a.mpeg"), "application/octet-stream");
  EXPECT_EQ(Iso8601UTC(1700000000123456), "2023-11-14T22:13:20.123456Z");
  EXPECT_EQ(Iso8601UTC(-1), "1969-12-31T23:59:59.999999Z");
}

TEST(RecentlyUsedTest, NewListAndRepeatedUse) {
  auto first = NoteRecentUse("", Use("/m/a b.mp4", "2026-01-01T00:00:00.000000Z"));
  ASSERT_TRUE(first.ok());
  EXPECT_NE(first->find("<xbel version=\"1.0\""), std::string::npos);
  EXPECT_NE(first->find("xmlns:bookmark=\"http://www.freedesktop.org/standards/desktop-bookmarks\""), std::string::npos);
  EXPECT_NE(first->find("<bookmark href=\"file:///m/a%20b.mp4\" added=\"2026-01-01T00:00:00.000000Z\""),
            std::string::npos);
  EXPECT_NE(first->find("<mime:mime-type type=\"video/mp4\"/>"), std::string::npos);
  EXPECT_NE(first->find("<bookmark:application name=\"Kerfline\" exec=\"&apos;kerfline %u&apos;\" "
                        "modified=\"2026-01-01T00:00:00.000000Z\" count=\"1\"/>"),
            std::string::npos);

  auto second = NoteRecentUse(*first, Use("/m/a b.mp4", "2026-02-02T00:00:00.000000Z"));
  ASSERT_TRUE(second.ok());
  EXPECT_EQ(Count(*second, "<bookmark href="), 1u) << "one bookmark per file";
  EXPECT_NE(second->find("added=\"2026-01-01T00:00:00.000000Z\" modified=\"2026-02-02T00:00:00.000000Z\" "
                         "visited=\"2026-02-02T00:00:00.000000Z\""),
            std::string::npos)
      << *second;
  EXPECT_NE(second->find("modified=\"2026-02-02T00:00:00.000000Z\" count=\"2\"/>"), std::string::npos) << *second;

  auto other = NoteRecentUse(*second, Use("/m/c.mkv", "2026-03-03T00:00:00.000000Z"));
  ASSERT_TRUE(other.ok());
  EXPECT_EQ(Count(*other, "<bookmark href="), 2u);
  EXPECT_EQ(other->find(*second), std::string::npos);
  EXPECT_NE(other->find("video/x-matroska"), std::string::npos);
  EXPECT_EQ(other->substr(other->size() - 8), "</xbel>\n");
}

TEST(RecentlyUsedTest, OtherApplicationsEntriesStayAsTheyAre) {
  auto updated = NoteRecentUse(kForeign, Use("/m/Tom & Jerry.mp4", "2026-05-05T00:00:00.000000Z"));
  ASSERT_TRUE(updated.ok());
  // The other bookmark, byte for byte.
  const auto notesBegin = kForeign.find("  <bookmark href='file:///home/u/notes.txt'");
  const auto notesEnd = kForeign.find("</bookmark>", notesBegin) + 11;
  EXPECT_NE(updated->find(kForeign.substr(notesBegin, notesEnd - notesBegin)), std::string::npos);
  // Totem's entry too; ours is counted up and moves to the new attribute.
  EXPECT_NE(updated->find("<bookmark:application name=\"Totem\" exec=\"&apos;totem %u&apos;\" "
                          "modified=\"2021-01-01T00:00:00Z\" count=\"2\"/>"),
            std::string::npos);
  EXPECT_NE(updated->find("<bookmark:application name=\"Kerfline\" exec=\"&apos;kerfline %u&apos;\" "
                          "count=\"8\" modified=\"2026-05-05T00:00:00.000000Z\"/>"),
            std::string::npos)
      << *updated;
  EXPECT_EQ(updated->find("timestamp="), std::string::npos);
  EXPECT_EQ(Count(*updated, "<bookmark href="), 2u);

  // A file only another program used gains our entry beside its own.
  auto beside = NoteRecentUse(kForeign, Use("/home/u/notes.txt", "2026-06-06T00:00:00.000000Z"));
  ASSERT_TRUE(beside.ok());
  const auto notes = beside->find("file:///home/u/notes.txt");
  const auto notesClose = beside->find("</bookmark>", notes);
  const std::string body = beside->substr(notes, notesClose - notes);
  EXPECT_NE(body.find("<bookmark:application name='gedit' exec='&apos;gedit %u&apos;' "
                      "modified='2020-01-01T00:00:00Z' count='4'/>"),
            std::string::npos)
      << "kept as written";
  EXPECT_NE(body.find("name=\"Kerfline\""), std::string::npos);
  EXPECT_NE(body.find("<bookmark:group>Editors</bookmark:group>"), std::string::npos);
  EXPECT_LT(body.find("name=\"Kerfline\""), body.find("</bookmark:applications>"));
}

TEST(RecentlyUsedTest, ClearingRemovesOnlyOurUses) {
  auto mine = NoteRecentUse(kForeign, Use("/m/only-ours.webm", "2026-05-05T00:00:00.000000Z"));
  ASSERT_TRUE(mine.ok());
  auto cleared = ForgetApplication(*mine, "Kerfline");
  ASSERT_TRUE(cleared.ok());
  EXPECT_EQ(cleared->find("only-ours"), std::string::npos) << "a bookmark only we used goes";
  EXPECT_EQ(cleared->find("Kerfline"), std::string::npos);
  EXPECT_NE(cleared->find("name=\"Totem\""), std::string::npos) << "a shared one stays with the others' entries";
  EXPECT_NE(cleared->find("notes.txt"), std::string::npos);
  EXPECT_EQ(ForgetApplication(*cleared, "Kerfline").value(), *cleared);
}

TEST(RecentlyUsedTest, DocumentsItCannotEditAreRefused) {
  for (const std::string& bad : {std::string("not xml at all"), std::string("<xbel version=\"1.0\">"),
                                std::string("<xbel><bookmark href=\"file:///a\"></xbel>"),
                                std::string("<xbel><bookmark href=\"file:///a></bookmark></xbel>")}) {
    EXPECT_FALSE(NoteRecentUse(bad, Use("/m/a.mp4", "t")).ok()) << bad;
    EXPECT_FALSE(ForgetApplication(bad, "Kerfline").ok()) << bad;
  }
  // Missing namespace declarations are added to the root.
  auto plain = NoteRecentUse("<xbel version=\"1.0\">\n</xbel>", Use("/m/a.mp4", "t"));
  ASSERT_TRUE(plain.ok());
  EXPECT_NE(plain->find("<xbel version=\"1.0\" xmlns:bookmark="), std::string::npos) << *plain;
}

TEST(RecentlyUsedTest, TheFileIsReplacedWholeAndKeptWhenUnreadable) {
  namespace fs = std::filesystem;
  const fs::path dir = fs::temp_directory_path() / ("kf-recent-" + std::to_string(::getpid()));
  fs::remove_all(dir);
  const std::string file = (dir / "sub" / "recently-used.xbel").string();
  ASSERT_EQ(NoteRecentlyUsedFile(file, "/m/é.mp4"), std::nullopt);
  ASSERT_EQ(NoteRecentlyUsedFile(file, "/m/é.mp4"), std::nullopt);
  std::ifstream in(file);
  std::stringstream text;
  text << in.rdbuf();
  EXPECT_NE(text.str().find("file:///m/%C3%A9.mp4"), std::string::npos);
  EXPECT_NE(text.str().find("count=\"2\""), std::string::npos);
  struct stat st {};
  ASSERT_EQ(::stat(file.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u) << "private to the user";
  EXPECT_EQ(std::distance(fs::directory_iterator(dir / "sub"), fs::directory_iterator()), 1)
      << "no temporary file left";

  ASSERT_EQ(ForgetRecentlyUsedFile(file), std::nullopt);
  std::ifstream again(file);
  std::stringstream after;
  after << again.rdbuf();
  EXPECT_EQ(after.str().find("bookmark href"), std::string::npos);

  // A damaged list is left alone.
  { std::ofstream(file, std::ios::trunc) << "garbage"; }
  EXPECT_NE(NoteRecentlyUsedFile(file, "/m/a.mp4"), std::nullopt);
  std::ifstream damaged(file);
  std::stringstream kept;
  kept << damaged.rdbuf();
  EXPECT_EQ(kept.str(), "garbage");
  fs::remove_all(dir);
}

}  // namespace
}  // namespace kf
