// Header tag lookup and array tag comparison, with their exact console lines.
#include <gtest/gtest.h>

#include "dump/tags.hpp"
#include "tests/support/harness.hpp"

using namespace pg;

namespace {

HeaderTags list_of(std::vector<std::string> tags) {
  HeaderTags h;
  for (std::size_t i = 0; i < tags.size(); ++i) {
    h.tags[i] = make_tag(tags[i]);
    if (i < 30) h.values[i] = static_cast<double>(i + 1);
  }
  return h;
}

struct Lookup {
  double value;
  int not_found;
  std::string printed;
};

Lookup look(std::string_view name, const HeaderTags& h, std::int32_t count) {
  pgtest::ConsoleCapture cap;
  Lookup l{-7.0, -7, {}};
  const std::optional<double> v = extract(cap, name, h, count);
  l.value = v.value_or(0.0);
  l.not_found = !v;
  l.printed = cap.text();
  return l;
}

}  // namespace

TEST(Extract, MatchesIgnoringTrailingBlanksOnly) {
  const HeaderTags h = list_of({"gt", " dtmax", "Gamma", "rhozero", "RK2"});
  EXPECT_EQ(look("gt", h, 5).value, 1.0);
  EXPECT_EQ(look("  rhozero  ", h, 5).value, 4.0);  // the key is left-aligned
  Lookup lead = look("dtmax", h, 5);                 // a leading blank in the list does count
  EXPECT_EQ(lead.not_found, 1);
  EXPECT_EQ(lead.value, 0.0);
  EXPECT_EQ(lead.printed, " ERROR: could not find dtmax in header\n");
  EXPECT_EQ(look("gamma", h, 5).not_found, 1);  // case-sensitive
  EXPECT_EQ(look("gt", h, 0).not_found, 1);     // nothing announced, nothing found
}

TEST(Extract, FirstMatchWinsAndOnlyThirtyValuesExist) {
  std::vector<std::string> tags(40, "pad");
  tags[2] = "dup";
  tags[6] = "dup";
  tags[30] = "late";
  const HeaderTags h = list_of(tags);
  EXPECT_EQ(look("dup", h, 40).value, 3.0);
  Lookup late = look("late", h, 40);
  EXPECT_EQ(late.not_found, 1);
  EXPECT_EQ(late.value, 0.0);
  EXPECT_EQ(late.printed.size(), 38u);  // " ERROR: could not find late in header\n"
}

TEST(Extract, SearchesAtMost128Positions) {
  std::vector<std::string> tags(128, "pad");
  tags[127] = "last";
  HeaderTags h = list_of(tags);
  EXPECT_EQ(look("last", h, 200).not_found, 1);  // found beyond 30: absent all the same
  EXPECT_EQ(look("last", h, 200).printed, " ERROR: could not find last in header\n");
}

TEST(Checktag, WarnsWithSixteenCharacterFields) {
  {
    pgtest::ConsoleCapture cap;
    EXPECT_FALSE(checktag(cap, "rho", make_tag("rho")));
    EXPECT_FALSE(checktag(cap, "rho   ", make_tag("rho")));
    EXPECT_EQ(cap.text(), "");
  }
  pgtest::ConsoleCapture cap;
  EXPECT_TRUE(checktag(cap, "iphase", make_tag("vy")));
  EXPECT_EQ(cap.text(), " WARNING: read tag vy               but expected           iphase\n");
  pgtest::ConsoleCapture cap2;
  checktag(cap2, "a_name_longer_than_16", make_tag(" x"));
  EXPECT_EQ(cap2.text(), " WARNING: read tag  x               but expected a_name_longer_th\n");
}
