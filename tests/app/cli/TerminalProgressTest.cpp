#include <gtest/gtest.h>

#include <algorithm>

#include "app/cli/TerminalProgress.h"

namespace kf {
namespace {

TEST(TerminalProgressTest, PlainLinesWhenNotATerminal) {
  std::string out;
  TerminalProgress p(false, 80, [&](const std::string& t) { out += t; });
  for (double f : {0.0, 0.004, 0.01, 0.5, 0.505, 0.999, 1.0, 7.0}) p.update(f, 3);
  p.finish();
  EXPECT_EQ(out, "0%\n1%\n50%\n99%\n100%\n") << "one line per whole percent, no control characters";
  p.update(0.2, 0);
  EXPECT_EQ(out.substr(out.size() - 4), "20%\n");
}

TEST(TerminalProgressTest, OneBarRedrawnInPlaceWithinTheTerminalWidth) {
  std::string out;
  TerminalProgress p(true, 60, [&](const std::string& t) { out += t; });
  p.update(0, 0);
  ASSERT_EQ(out.front(), '\r');
  const std::string first = out;
  p.update(0.001, 0.1);
  EXPECT_EQ(out, first) << "nothing changed on the screen: nothing written";
  p.update(0.5, 10);
  const std::string half = out.substr(first.size());
  EXPECT_EQ(half.front(), '\r');
  EXPECT_NE(half.find(" 50%  about 00:10 left"), std::string::npos) << half;
  const auto open = half.find('['), close = half.find(']');
  const std::string bar = half.substr(open + 1, close - open - 1);
  EXPECT_EQ(std::count(bar.begin(), bar.end(), '#'), static_cast<long>((bar.size() + 1) / 2));
  EXPECT_EQ(bar.find_first_not_of('#'), bar.find('.')) << "filled from the left";
  EXPECT_LT(half.size() - 1, 60u) << "never wraps";
  // A shorter line blanks what the longer one left.
  out.clear();
  p.update(1.0, 20);
  EXPECT_EQ(out.find("left"), std::string::npos);
  EXPECT_EQ(out.size(), half.size()) << out;
  EXPECT_NE(out.find("] 100%"), std::string::npos);
  EXPECT_EQ(out.find('.'), std::string::npos);
  out.clear();
  p.finish();
  EXPECT_EQ(out, "\n");
  p.finish();
  EXPECT_EQ(out, "\n") << "one line end per bar";

  std::string hours;
  TerminalProgress slow(true, 200, [&](const std::string& t) { hours += t; });
  slow.update(0.1, 3600);
  EXPECT_NE(hours.find("about 9:00:00 left"), std::string::npos) << hours;
  EXPECT_EQ(hours.find('['), 1u);
  EXPECT_EQ(hours.find(']') - hours.find('[') - 1, 50u) << "at most 50 cells";
}

}  // namespace
}  // namespace kf
