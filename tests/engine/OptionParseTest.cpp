#include <gtest/gtest.h>

#include "engine/FFmpegException.h"
#include "engine/OptionParse.h"

namespace quenza {
namespace {

using Pairs = std::vector<std::pair<std::string, std::string>>;

TEST(OptionList, SplitsOnEveryLineBreakAndToken) {
  struct Case {
    std::string text;
    Pairs expected;
  };
  const std::vector<Case> cases = {
      {"b=800000<CRLF>G=12", {{"b", "800000"}, {"g", "12"}}},
      {"b=1\r\nab=2\rac=3\nar=4", {{"b", "1"}, {"ab", "2"}, {"ac", "3"}, {"ar", "4"}}},
      {"  \n  VCODEC=LibX264\n\n", {{"vcodec", "LibX264"}}},
      {"newaudio<CRLF>metadata=title=A=B", {{"newaudio", ""}, {"metadata", "title=A=B"}}},
      {"vf=crop=10:10:0:0<CRLF><CRLF>y", {{"vf", "crop=10:10:0:0"}, {"y", ""}}},
      {"", {}},
  };
  for (const Case& c : cases) EXPECT_EQ(ParseOptionList(c.text), c.expected) << c.text;
}

TEST(OptionArguments, ConversionsFollowTheConventions) {
  EXPECT_TRUE(OptionBool(""));
  EXPECT_TRUE(OptionBool("1"));
  EXPECT_TRUE(OptionBool("no"));
  EXPECT_FALSE(OptionBool("0"));

  EXPECT_EQ(OptionInt("42"), 42);
  EXPECT_EQ(OptionInt("-7"), -7);
  for (const char* bad : {"", "abc", "12x", "1.5", "99999999999"})
    EXPECT_THROW(OptionInt(bad), FFmpegException) << bad;
  EXPECT_EQ(OptionInt64("99999999999"), 99999999999LL);
  EXPECT_DOUBLE_EQ(OptionFloat("0.25"), 0.25);
  EXPECT_THROW(OptionFloat("x"), FFmpegException);

  EXPECT_EQ(OptionTime("t", "00:01:02.5", true), 62500000);
  EXPECT_EQ(OptionTime("t", "3", true), 3000000);
  try {
    OptionTime("ss", "abc", true);
    FAIL();
  } catch (const FFmpegException& e) {
    EXPECT_STREQ(e.what(), "Invalid duration specification for ss: abc");
  }
  try {
    OptionTime("timestamp", "not a date", false);
    FAIL();
  } catch (const FFmpegException& e) {
    EXPECT_STREQ(e.what(), "Invalid date specification for timestamp: not a date");
  }
}

TEST(OptionArguments, CIntegerLiterals) {
  struct Case {
    const char* text;
    long value;
    size_t end;
  };
  for (const Case& c : {Case{"12.3", 12, 2}, Case{"0x1f:", 31, 4}, Case{"017", 15, 3}}) {
    size_t pos = 0;
    long v = -1;
    ASSERT_TRUE(ParseCInteger(c.text, pos, v)) << c.text;
    EXPECT_EQ(v, c.value) << c.text;
    EXPECT_EQ(pos, c.end) << c.text;
  }
  size_t pos = 0;
  long v = 0;
  EXPECT_FALSE(ParseCInteger("x", pos, v));
}

}  // namespace
}  // namespace quenza
