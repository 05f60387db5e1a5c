#include "export/files/FailureAdvice.h"

#include <gtest/gtest.h>

#include <cerrno>

#include "export/files/FileOps.h"

namespace kf {
namespace {

Error Posix(int err) { return Error{kPosixErrorDomain, err, "x"}; }
Error Media(int err, const std::string& message) { return Error{"FFmpeg", -err, message}; }

TEST(FailureAdvice, TheFileConcernedFollowsTheFailure) {
  const struct {
    Error error;
    std::optional<FailedFile> file;
  } rows[] = {
      {Posix(ENOSPC), FailedFile::Output},
      {Posix(EDQUOT), FailedFile::Output},
      {Posix(EFBIG), FailedFile::Output},
      {Posix(EROFS), FailedFile::Output},
      {Media(ENOSPC, "Cannot write the movie: No space left on device"), FailedFile::Output},
      {Media(EACCES, "Cannot create /a/.b.mp4: Permission denied"), FailedFile::Output},
      {Media(EIO, "Cannot finish the movie: I/O error"), FailedFile::Output},
      {Media(EIO, "Cannot read the source: I/O error"), FailedFile::Source},
      {Media(EINVAL, "Cannot decode the source: Invalid data"), FailedFile::Source},
      {Media(ENOENT, "Cannot open movie.mp4: No such file or directory"), FailedFile::Source},
      {Error{kKerflineErrorDomain, kSourceChangedCode, "changed"}, FailedFile::Source},
      {Error{kKerflineErrorDomain, 14, "The movie ends at 00:01.433"}, FailedFile::Source},
      {Posix(EACCES), std::nullopt},  // reading or writing: the caller knows
      {Posix(EIO), std::nullopt},
      {Error{kKerflineErrorDomain, 3, "Export failed."}, std::nullopt},
      {Media(EINVAL, "Cannot convert the picture"), std::nullopt},
  };
  for (const auto& r : rows) EXPECT_EQ(FileConcerned(r.error), r.file) << r.error.message << " " << r.error.code;
}

TEST(FailureAdvice, NamesTheFileAndKeepsTheMessage) {
  const FailureFiles files{"/movies/trip.mov", "/out/trip-cut.mp4", "/out/.trip-cut.UUID.1.kerfline-tmp.mp4", false};
  // The message stays, except that the hidden name reads as the output's.
  Error e = AdviseOnFailure(Media(EACCES, "Cannot create /out/.trip-cut.UUID.1.kerfline-tmp.mp4: Permission denied"),
                            files);
  EXPECT_EQ(e.message, "Cannot create /out/trip-cut.mp4: Permission denied");
  EXPECT_EQ(e.suggestion,
            "Kerfline may not write “trip-cut.mp4” in the folder “out”. Choose a folder you can write to, or change "
            "the folder's permissions.");
  e = AdviseOnFailure(Error{kPosixErrorDomain, EACCES, "Lossless copy failed: Permission denied"}, files,
                      FailedFile::Source);
  EXPECT_EQ(e.message, "Lossless copy failed: Permission denied");
  EXPECT_EQ(e.suggestion,
            "Kerfline may not read “trip.mov”. Change the file's permissions so that you can read it, then export "
            "again.");
  e = AdviseOnFailure(Posix(EFBIG), files);
  EXPECT_EQ(e.suggestion.rfind("“trip-cut.mp4” would be larger than the disk holding “out”", 0), 0u) << e.suggestion;
  e = AdviseOnFailure(Error{kKerflineErrorDomain, 14, "The movie ends at 00:01.433"}, files);
  EXPECT_EQ(e.suggestion.rfind("“trip.mov” ends earlier than its header says", 0), 0u) << e.suggestion;
  // Replacing the original: the way out is another name.
  e = AdviseOnFailure(Posix(EACCES), {"/movies/trip.mov", "/movies/trip.mov", "", true}, FailedFile::Original);
  EXPECT_EQ(e.suggestion,
            "Kerfline may not write “trip.mov” in the folder “movies”. Choose a folder you can write to, or change "
            "the folder's permissions. Or use Export As… to save the edit under another name; the original stays as "
            "it is.");
  // A suggestion already made is kept.
  Error made{kKerflineErrorDomain, 5, "A clip would replace the source movie.", "Rename the clip."};
  EXPECT_EQ(AdviseOnFailure(made, files).suggestion, "Rename the clip.");
}

}  // namespace
}  // namespace kf
