#include "core/event_line.h"

#include <gtest/gtest.h>

#include <climits>
#include <string>

#include "core/event_table.h"

namespace corvane {
namespace {

struct Parsed {
  int id = -7;
  std::string name;
  std::uint32_t flags = 0xDEAD;
  std::string text;
};

Parsed Parse(const std::string& line) {
  char name[kEventNameSize];
  char text[kEventTextSize];
  Parsed parsed;
  EXPECT_EQ(1, ParseEventLine(line.c_str(), &parsed.id, name, &parsed.flags, text));
  parsed.name = name;
  parsed.text = text;
  return parsed;
}

TEST(ParseEventLine, TextOnlyEventsCarryNoNameOrFlags) {
  for (const EventRoute& route : kEventRoutes) {
    if (!route.textOnly) continue;
    const int id = route.id;
    Parsed p = Parse(std::to_string(id) + " KEYWORD someone 0010 \"hello\"\r");
    EXPECT_EQ(id, p.id);
    EXPECT_EQ("", p.name) << id;
    EXPECT_EQ(0u, p.flags) << id;
    EXPECT_EQ("hello", p.text) << id;
  }
}

TEST(ParseEventLine, UserEventsCarryNameHexFlagsAndText) {
  Parsed p = Parse("1005 TALK someone 0010 \"say \"hi\" now\"\r");
  EXPECT_EQ(1005, p.id);
  EXPECT_EQ("someone", p.name);
  EXPECT_EQ(0x10u, p.flags);
  EXPECT_EQ("say \"hi\" now", p.text);

  Parsed name = Parse("2010 NAME statbot\r");
  EXPECT_EQ(2010, name.id);
  EXPECT_EQ("statbot", name.name) << "the CR before the line end is white space";
  EXPECT_EQ("", name.text);

  Parsed user = Parse("1001 USER alice 0002 [CHAT]\r");
  EXPECT_EQ("alice", user.name);
  EXPECT_EQ(2u, user.flags);
  EXPECT_EQ(0xFFu, Parse("1009 USER bob 0xff").flags);
  EXPECT_EQ(0xABCDu, Parse("1009 USER bob abcdzz").flags);
}

TEST(ParseEventLine, MissingFieldsStayEmpty) {
  Parsed bare = Parse("1005");
  EXPECT_EQ(1005, bare.id);
  EXPECT_EQ("", bare.name);
  EXPECT_EQ(0u, bare.flags);
  EXPECT_EQ("", bare.text);

  Parsed noFlags = Parse("1002 JOIN bob");
  EXPECT_EQ("bob", noFlags.name);
  EXPECT_EQ(0u, noFlags.flags);

  Parsed notHex = Parse("1002 JOIN bob [CHAT]");
  EXPECT_EQ(0u, notHex.flags);

  Parsed noNumber = Parse("INFO \"x\"");
  EXPECT_EQ(0, noNumber.id);
  EXPECT_EQ("", noNumber.name);
  EXPECT_EQ("x", noNumber.text);
}

TEST(ParseEventLine, LoneOpeningQuoteKeepsTheRestOfTheLineWithItsCr) {
  EXPECT_EQ("unfinished text\r", Parse("1018 INFO \"unfinished text\r").text);
  EXPECT_EQ("", Parse("1018 INFO \"\"\r").text);
  EXPECT_EQ("", Parse("1018 INFO no quotes\r").text);
}

TEST(ParseEventLine, OverLongFieldsAreCutToTheirBuffers) {
  std::string longName(300, 'n');
  Parsed p = Parse("1005 TALK " + longName + " 0010 \"x\"");
  EXPECT_EQ(std::string(127, 'n'), p.name);
  EXPECT_EQ(0x10u, p.flags) << "the rest of the long name must not be read as the flags";

  Parsed keyword = Parse("1005 " + std::string(500, 'K') + " bob 0001");
  EXPECT_EQ("bob", keyword.name);
  EXPECT_EQ(1u, keyword.flags);

  std::string longText(600, 't');
  Parsed text = Parse("1018 INFO \"" + longText + "\"");
  EXPECT_EQ(std::string(255, 't'), text.text);

  // The last quote among the first 255 characters ends the text.
  Parsed cut = Parse("1018 INFO \"ab\"" + longText + "\"");
  EXPECT_EQ("ab", cut.text);
}

TEST(ParseEventLine, NumbersOutOfRangeSaturate) {
  EXPECT_EQ(INT_MAX, Parse("99999999999999999999 X").id);
  EXPECT_EQ(INT_MIN, Parse("-99999999999999999999 X").id);
  EXPECT_EQ(-5, Parse("-5 X").id);
  EXPECT_EQ(1018, Parse("  +1018 INFO \"a\"").id);
  EXPECT_EQ(0xFFFFFFFFu, Parse("1009 USER bob " + std::string(40, 'f')).flags);
  EXPECT_EQ(0xFFFFFFFFu, Parse("1009 USER bob 123456789").flags);
  EXPECT_EQ(0xFFFFFFFFu, Parse("1009 USER bob -1").flags);
}

TEST(ParseEventLine, NullArgumentsWriteNothing) {
  char name[kEventNameSize] = "keep";
  char text[kEventTextSize] = "keep";
  int id = 42;
  std::uint32_t flags = 7;
  EXPECT_EQ(1, ParseEventLine(nullptr, &id, name, &flags, text));
  EXPECT_EQ(1, ParseEventLine("1005 TALK a 1 \"b\"", &id, name, nullptr, text));
  EXPECT_EQ(42, id);
  EXPECT_EQ(7u, flags);
  EXPECT_STREQ("keep", name);
  EXPECT_STREQ("keep", text);
}

}  // namespace
}  // namespace corvane
