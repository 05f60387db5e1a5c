#include <gtest/gtest.h>

#include <set>

#include "app/shell/StartupArguments.h"

namespace kf {
namespace {

TEST(StartupArgumentsTest, FirstExistingPlainArgument) {
  const std::set<std::string> existing = {"/m/a.mp4", "/m/b.mp4", "/m", "/work/rel.mp4"};
  auto exists = [&](const std::string& p) { return existing.count(p) > 0; };
  EXPECT_EQ(StartupURLFromArguments({"-psn_0_123", "/no/such/file", "/m/a.mp4"}, "/work", exists), "/m/a.mp4");
  EXPECT_EQ(StartupURLFromArguments({"/m/b.mp4", "/m/a.mp4"}, "/work", exists), "/m/b.mp4");
  EXPECT_EQ(StartupURLFromArguments({"/m/"}, "/work", exists), "/m") << "a folder passes too";
  EXPECT_EQ(StartupURLFromArguments({"rel.mp4"}, "/work", exists), "/work/rel.mp4");
  EXPECT_EQ(StartupURLFromArguments({"", "--foo", "/m/./x/../a.mp4"}, "/work", exists), "/m/a.mp4");
  EXPECT_EQ(StartupURLFromArguments({"file:///m/a.mp4"}, "/work", exists), "/m/a.mp4");
  EXPECT_EQ(StartupURLFromArguments({"/none"}, "/work", exists), std::nullopt);
  EXPECT_EQ(StartupURLFromArguments({"kerfline://larder/x.mp4?domain=d&item=i"}, "/work", exists),
            "kerfline://larder/x.mp4?domain=d&item=i");
  EXPECT_EQ(StartupURLFromArguments({"https://example.com/x.mp4", "/m/a.mp4"}, "/work", exists), "/m/a.mp4");
}

// Options of the toolkit or of the desktop may name files that exist (a
// file called "-x.mp4" in the working folder): none of them is a movie.
TEST(StartupArgumentsTest, AnArgumentBeginningWithADashIsNeverAMovie) {
  auto everything = [](const std::string&) { return true; };
  EXPECT_EQ(StartupURLFromArguments({"-x.mp4", "--", "-", "--x.mp4", "-/m/a.mp4"}, "/work", everything), std::nullopt);
  EXPECT_EQ(StartupURLFromArguments({"-x.mp4", "y.mp4"}, "/work", everything), "/work/y.mp4");
}

}  // namespace
}  // namespace kf
