// The configuration file: line cleaning, MOD lines and the index rule, the
// leading-number parse, rule lines, their echo and the three failures.
#include <gtest/gtest.h>

#include <climits>

#include "base/EventText.h"
#include "relay/ConfigLoader.h"
#include "tests/support/CapturedOutput.h"
#include "tests/support/TempDir.h"

namespace veltor {
namespace {

struct LoadResult {
  int status;
  RelaySettings settings;
  std::string errors;
};

LoadResult Load(const std::string& contents) {
  testing::TempDir dir;
  const std::string path = dir.WriteFile("veltor.conf", contents);
  LoadResult result{};
  testing::CapturedOutput output([&] { result.status = LoadSettings(path, result.settings); });
  result.errors = output.Err();
  return result;
}

constexpr const char* kSettings = "10.1.2.3\n23\n24\n5\n";

TEST(ConfigLineCleaning, CutsCommentsAndTrimsEveryWhitespaceKind) {
  EXPECT_EQ(CleanLine("  host # comment"), "host");
  EXPECT_EQ(CleanLine("\t\v\f host \r"), "host");
  EXPECT_EQ(CleanLine("# only a comment"), "");
  EXPECT_EQ(CleanLine("a#b#c"), "a");
  EXPECT_EQ(CleanLine("in\rside"), "in\rside");
  EXPECT_EQ(StripWhitespace(" Y ,\t1 . 2,\r3 "), "Y,1.2,3");
}

TEST(ConfigLeadingNumber, KeepsAtoiMeaningAndSaturates) {
  EXPECT_EQ(ParseLeadingInt("23"), 23);
  EXPECT_EQ(ParseLeadingInt("+23abc"), 23);
  EXPECT_EQ(ParseLeadingInt("-7"), -7);
  EXPECT_EQ(ParseLeadingInt("abc"), 0);
  EXPECT_EQ(ParseLeadingInt("-"), 0);
  EXPECT_EQ(ParseLeadingInt("99999999999999999999"), INT32_MAX);
  EXPECT_EQ(ParseLeadingInt("-99999999999999999999"), INT32_MIN);
  EXPECT_EQ(ParseLeadingInt("2147483648"), INT32_MAX);
  EXPECT_EQ(ParseLeadingInt("-2147483648"), INT32_MIN);
}

TEST(ConfigRuleLine, ParsesAllTwelveFieldsAndUpperCaseFlagsOnly) {
  auto rule = ParseRuleLine(StripWhitespace("Y, 10.1.0.0, 255.255.0.0, Y, 600, N"));
  ASSERT_TRUE(rule);
  EXPECT_TRUE(rule->allow);
  EXPECT_TRUE(rule->passRx);
  EXPECT_FALSE(rule->dupeOK);
  EXPECT_EQ(rule->address, 0x0A010000u);
  EXPECT_EQ(rule->mask, 0xFFFF0000u);
  EXPECT_EQ(rule->timeLimit, 600);

  auto lower = ParseRuleLine("y,1.2.3.4,255.255.255.255,y,0,y");
  ASSERT_TRUE(lower);
  EXPECT_FALSE(lower->allow);
  EXPECT_FALSE(lower->passRx);
  EXPECT_FALSE(lower->dupeOK);

  auto trailing = ParseRuleLine("Y,1.2.3.4,0.0.0.0,N,-5,Yextra,stuff");
  ASSERT_TRUE(trailing);
  EXPECT_EQ(trailing->timeLimit, -5);
  EXPECT_TRUE(trailing->dupeOK);
}

TEST(ConfigRuleLine, RefusesMissingOrMalformedFields) {
  EXPECT_FALSE(ParseRuleLine("Y,1.2.3.4,255.255.255.255,Y,0"));
  EXPECT_FALSE(ParseRuleLine("Y,1.2.3,255.255.255.255,Y,0,N"));
  EXPECT_FALSE(ParseRuleLine("Y;1.2.3.4,255.255.255.255,Y,0,N"));
  EXPECT_FALSE(ParseRuleLine("Y,1.2.3.x,255.255.255.255,Y,0,N"));
  EXPECT_FALSE(ParseRuleLine("Y,1.2.3.4,255.255.255.255,Y,,N"));
  EXPECT_FALSE(ParseRuleLine(""));
}

TEST(ConfigRuleLine, OctetsAboveTwoFiftyFiveSpillIntoTheOctetAbove) {
  EXPECT_EQ(ComposeAddress(10, 0, 0, 256), 0x0A000100u);
  EXPECT_EQ(ComposeAddress(0, 300, 0, 0), 0x012C0000u);
  EXPECT_EQ(ComposeAddress(1, 300, 0, 0), 0x012C0000u);  // spill is OR-ed, not added
  EXPECT_EQ(ComposeAddress(0, 0, 0, 65537), 0x00000001u);  // cut to 16 bits first
  EXPECT_EQ(ComposeAddress(-1, 0, 0, 0), 0xFF000000u);
  auto rule = ParseRuleLine("Y,99999999999.0.0.0,0.0.0.0,N,99999999999,N");
  ASSERT_TRUE(rule);
  EXPECT_EQ(rule->address, 0xFF000000u);  // saturated to INT32_MAX, low 16 bits 0xFFFF
  EXPECT_EQ(rule->timeLimit, INT32_MAX);
}

TEST(ConfigRuleEcho, MatchesTheOperatorsFormat) {
  MaskRule rule{0x0A010000u, 0xFFFF0000u, 0, true, true, false};
  EXPECT_EQ(RuleEchoText(1, rule), "Mask   1: Allow   10.  1.  0.  0  255.255.  0.  0    PassRx NoDupe  0\n");
  MaskRule deny{0, 0, 600, false, false, true};
  EXPECT_EQ(RuleEchoText(12, deny), "Mask  12:  Deny    0.  0.  0.  0    0.  0.  0.  0  NoPassRx DupeOK  600\n");
}

TEST(ConfigFile, LoadsTheExampleWithModTextsAndEchoesRulesInOrder) {
  const LoadResult result = Load(
      "# greeting first\n"
      "MOD: Welcome\r\n"
      "MOD:hello   # trailing comment\n"
      "\n"
      "10.1.2.3\r\n23\n24\n5\n"
      "Y, 10.1.0.0, 255.255.0.0, Y, 0, N\n"
      "Y, 0.0.0.0, 0.0.0.0, N, 600, Y\n");
  ASSERT_EQ(result.status, 0);
  EXPECT_EQ(result.settings.modTexts, (std::vector<std::string>{" Welcome", "hello"}));
  EXPECT_EQ(result.settings.serverHost, "10.1.2.3");
  EXPECT_EQ(result.settings.serverPort, 23);
  EXPECT_EQ(result.settings.listenPort, 24);
  EXPECT_EQ(result.settings.maxClients, 5);
  ASSERT_EQ(result.settings.rules.size(), 2u);
  EXPECT_EQ(result.errors,
            "Mask   1: Allow   10.  1.  0.  0  255.255.  0.  0    PassRx NoDupe  0\n"
            "Mask   2: Allow    0.  0.  0.  0    0.  0.  0.  0  NoPassRx DupeOK  600\n");
}

TEST(ConfigFile, ModPrefixCountsOnlyBeforeTheServerLineAndOnlyInUpperCase) {
  EXPECT_EQ(Load("mod:x\n23\n24\n5\nY,0.0.0.0,0.0.0.0,N,0,N\n").settings.serverHost, "mod:x");
  const LoadResult empty = Load("MOD:\nMOD:   # only spaces after the colon\n" + std::string(kSettings) +
                                "Y,0.0.0.0,0.0.0.0,N,0,N\n");
  ASSERT_EQ(empty.status, 0);
  EXPECT_EQ(empty.settings.modTexts, (std::vector<std::string>{"", ""}));
  EXPECT_EQ(Load("host\nMOD:1\n24\n5\nY,0.0.0.0,0.0.0.0,N,0,N\n").status, kStatusBadFormat);
  const LoadResult asRule = Load(std::string(kSettings) + "MOD:x\n");
  EXPECT_EQ(asRule.status, kStatusBadRuleLine);
  EXPECT_EQ(asRule.errors, "Error: invalid configuration line:\n  MOD:x\n");
}

TEST(ConfigFile, PortsAreCutToSixteenBits) {
  const LoadResult result = Load("h\n70000\n-1\n-3\nY,0.0.0.0,0.0.0.0,N,0,N\n");
  ASSERT_EQ(result.status, 0);
  EXPECT_EQ(result.settings.serverPort, 4464);
  EXPECT_EQ(result.settings.listenPort, 65535);
  EXPECT_EQ(result.settings.maxClients, -3);  // negative passes; it denies everyone later
}

TEST(ConfigFile, BadRuleStopsReadingAfterEchoingTheRulesBeforeIt) {
  const LoadResult result = Load(std::string(kSettings) +
                                 "Y,1.2.3.4,255.255.255.255,Y,0,N\n"
                                 "Y, 1.2.3 .4 ,bad\n"
                                 "this line is never read\n");
  EXPECT_EQ(result.status, kStatusBadRuleLine);
  EXPECT_EQ(result.errors,
            "Mask   1: Allow    1.  2.  3.  4  255.255.255.255    PassRx NoDupe  0\n"
            "Error: invalid configuration line:\n  Y,1.2.3.4,bad\n");
}

TEST(ConfigFile, IncompleteFilesGiveTheFormatError) {
  const std::string formatError = "Error: invalid configuration file format\n";
  for (const std::string& contents : {
           std::string("# nothing but comments\n\n   \n"),
           std::string(kSettings),                                  // no rule
           std::string("MOD:a\nMOD:b\n") + "h\n1\n2\n",            // too few lines
           std::string("h\nletters\n24\n5\nY,0.0.0.0,0.0.0.0,N,0,N\n"),  // port 0
           std::string("h\n23\n0\n5\nY,0.0.0.0,0.0.0.0,N,0,N\n"),
           std::string("h\n23\n24\n0\nY,0.0.0.0,0.0.0.0,N,0,N\n"),
       }) {
    const LoadResult result = Load(contents);
    EXPECT_EQ(result.status, kStatusBadFormat) << contents;
    ASSERT_GE(result.errors.size(), formatError.size());
    EXPECT_EQ(result.errors.substr(result.errors.size() - formatError.size()), formatError) << contents;
  }
}

TEST(ConfigFile, ModTextTooLongForItsFrameIsRefused) {
  const std::string longest(65525, 'x');
  EXPECT_EQ(Load("MOD:" + longest + "\n" + kSettings + "Y,0.0.0.0,0.0.0.0,N,0,N\n").status, 0);
  const LoadResult result = Load("MOD:" + longest + "x\n" + kSettings + "Y,0.0.0.0,0.0.0.0,N,0,N\n");
  EXPECT_EQ(result.status, kStatusBadFormat);
  EXPECT_EQ(result.errors, "Error: MOD text of 65526 bytes is too long (at most 65525 bytes)\n");
}

TEST(ConfigFile, MissingFileIsReportedWithItsPath) {
  RelaySettings settings;
  testing::CapturedOutput output;
  EXPECT_EQ(LoadSettings("/nonexistent/veltor.conf", settings), kStatusBadArguments);
  EXPECT_EQ(output.Err(), "Error: unable to open configuration file /nonexistent/veltor.conf\n");
}

}  // namespace
}  // namespace veltor
