// The command line's known answers: what each argument list runs with, or the
// exact line that refuses it.
#include <gtest/gtest.h>

#include "relay/CommandLine.h"

namespace veltor {
namespace {

using Args = std::vector<std::string>;

TEST(CommandLine, NoOptionsRunsTheFileWithEveryDefault) {
  const CommandLine line = ParseCommandLine({"veltor.conf"});
  ASSERT_EQ(line.action, CommandLine::Action::kRun);
  EXPECT_EQ(line.configPath, "veltor.conf");
  const RelayOptions& o = line.options;
  EXPECT_EQ(o.replayBytes, 0);
  EXPECT_EQ(o.streamLogPath, "");
  EXPECT_EQ(o.streamLogRotateBytes, 0);
  EXPECT_EQ(o.streamLogKeep, 5);
  EXPECT_FALSE(o.listenAddress.has_value());
  EXPECT_EQ(o.controlPath, "");
  EXPECT_EQ(o.maxBacklogBytes, 16 * 1024 * 1024);
  EXPECT_EQ(o.maxTotalBacklogBytes, 256 * 1024 * 1024);
}

TEST(CommandLine, EveryOptionInBothForms) {
  const CommandLine line = ParseCommandLine({"--replay=4K", "--stream-log", "/var/log/c.log", "--stream-log-size=64k",
                                             "--stream-log-keep", "0", "--listen=127.0.0.2", "--control=/run/v.sock",
                                             "--max-backlog=1m", "--max-total-backlog", "1048577", "f.conf"});
  ASSERT_EQ(line.action, CommandLine::Action::kRun) << line.error;
  const RelayOptions& o = line.options;
  EXPECT_EQ(o.replayBytes, 4096);
  EXPECT_EQ(o.streamLogPath, "/var/log/c.log");
  EXPECT_EQ(o.streamLogRotateBytes, 65536);
  EXPECT_EQ(o.streamLogKeep, 0);
  EXPECT_EQ(o.listenAddress, 0x7F000002u);
  EXPECT_EQ(o.controlPath, "/run/v.sock");
  EXPECT_EQ(o.maxBacklogBytes, 1048576);
  EXPECT_EQ(o.maxTotalBacklogBytes, 1048577);
  EXPECT_EQ(line.configPath, "f.conf");
}

TEST(CommandLine, TheLastOfARepeatedOptionCountsAndDashDashEndsOptions) {
  const CommandLine line = ParseCommandLine({"--replay=1K", "--replay=2K", "--", "--x"});
  ASSERT_EQ(line.action, CommandLine::Action::kRun);
  EXPECT_EQ(line.options.replayBytes, 2048);
  EXPECT_EQ(line.configPath, "--x");
  EXPECT_EQ(ParseCommandLine({"-"}).configPath, "-");
  // The separate value is taken whatever it looks like, as getopt_long does.
  EXPECT_EQ(ParseCommandLine({"--stream-log", "--help", "f"}).options.streamLogPath, "--help");
}

TEST(CommandLine, HelpAndVersionActAsTheyAreMet) {
  EXPECT_EQ(ParseCommandLine({"--help"}).action, CommandLine::Action::kHelp);
  EXPECT_EQ(ParseCommandLine({"--version", "--bogus"}).action, CommandLine::Action::kVersion);
  EXPECT_EQ(ParseCommandLine({"--replay=1K", "--help", "a", "b"}).action, CommandLine::Action::kHelp);
  // After FILE, --help is one argument too many.
  EXPECT_EQ(ParseCommandLine({"f", "--help"}).action, CommandLine::Action::kRefuse);
}

TEST(CommandLine, WrongArgumentCountsGetTheUsageLineAlone) {
  for (const Args& args : {Args{}, Args{"a", "b"}, Args{"--replay=4K"}, Args{"--replay", "4K"}, Args{"--"},
                           Args{"--replay=4K", "a", "--listen=127.0.0.1"}, Args{"--stream-log-size=8K", "a", "b"}}) {
    const CommandLine line = ParseCommandLine(args);
    EXPECT_EQ(line.action, CommandLine::Action::kRefuse);
    EXPECT_EQ(line.error, "") << args.size();
  }
}

TEST(CommandLine, EachBadValueIsNamedOnOneLine) {
  const struct {
    Args args;
    const char* error;
  } cases[] = {
      {{"--bogus=1", "f"}, "Error: --bogus: unknown option\n"},
      {{"--repl=1K", "f"}, "Error: --repl: unknown option\n"},
      {{"-r", "f"}, "Error: -r: unknown option\n"},
      {{"--help=yes", "f"}, "Error: --help: takes no value\n"},
      {{"--replay"}, "Error: --replay: needs a value\n"},
      {{"--replay=12Q", "f"}, "Error: --replay: '12Q' is not a size (bytes, or K or M)\n"},
      {{"--replay=", "f"}, "Error: --replay: '' is not a size (bytes, or K or M)\n"},
      {{"--replay=-1", "f"}, "Error: --replay: '-1' is not a size (bytes, or K or M)\n"},
      {{"--replay=4KB", "f"}, "Error: --replay: '4KB' is not a size (bytes, or K or M)\n"},
      {{"--replay=16777217", "f"}, "Error: --replay: '16777217' is more than 16M\n"},
      {{"--max-backlog=9223372036854775808", "f"}, "Error: --max-backlog: '9223372036854775808' is too large\n"},
      {{"--max-backlog=8796093022208M", "f"}, "Error: --max-backlog: '8796093022208M' is too large\n"},
      {{"--max-backlog=65535", "f"}, "Error: --max-backlog: '65535' is less than 64K\n"},
      {{"--max-total-backlog=0", "f"}, "Error: --max-total-backlog: '0' is less than 64K\n"},
      {{"--stream-log=", "f"}, "Error: --stream-log: the path is empty\n"},
      {{"--stream-log=l", "--stream-log-size=4095", "f"},
       "Error: --stream-log-size: '4095' is less than 4K (0: no rotation)\n"},
      {{"--stream-log-keep=1001", "f"}, "Error: --stream-log-keep: '1001' is not a number from 0 to 1000\n"},
      {{"--stream-log-keep=+1", "f"}, "Error: --stream-log-keep: '+1' is not a number from 0 to 1000\n"},
      {{"--stream-log-size=1M", "f"}, "Error: --stream-log-size: needs --stream-log\n"},
      {{"--stream-log-keep=3", "f"}, "Error: --stream-log-keep: needs --stream-log\n"},
      {{"--listen=1.2.3", "f"}, "Error: --listen: '1.2.3' is not a dotted IPv4 address\n"},
      {{"--listen=1.2.3.256", "f"}, "Error: --listen: '1.2.3.256' is not a dotted IPv4 address\n"},
      {{"--listen=01.2.3.4", "f"}, "Error: --listen: '01.2.3.4' is not a dotted IPv4 address\n"},
      {{"--listen=localhost", "f"}, "Error: --listen: 'localhost' is not a dotted IPv4 address\n"},
      {{"--listen=a\nb", "f"}, "Error: --listen: 'a?b' is not a dotted IPv4 address\n"},
      {{"--control=" + std::string(108, 'x'), "f"}, "Error: --control: the path is longer than 107 bytes\n"},
      {{"--replay=1M", "--max-backlog=512K", "f"}, "Error: --replay: 1M is more than --max-backlog (512K)\n"},
  };
  for (const auto& c : cases) {
    const CommandLine line = ParseCommandLine(c.args);
    EXPECT_EQ(line.action, CommandLine::Action::kRefuse) << c.error;
    EXPECT_EQ(line.error, c.error);
  }
}

TEST(CommandLine, SizesReadAndShowInTheirUnits) {
  EXPECT_EQ(ParseSize("0"), 0);
  EXPECT_EQ(ParseSize("007"), 7);
  EXPECT_EQ(ParseSize("3k"), 3072);
  EXPECT_EQ(ParseSize("2M"), 2097152);
  EXPECT_EQ(ParseSize("9223372036854775807"), INT64_MAX);
  EXPECT_EQ(ParseSize("8796093022207M"), 8796093022207 * 1048576);
  for (const char* bad : {"", "K", "1.5M", " 1", "1 ", "1G", "0x10", "1KK"}) EXPECT_FALSE(ParseSize(bad)) << bad;
  EXPECT_EQ(SizeText(0), "0");
  EXPECT_EQ(SizeText(1000), "1000");
  EXPECT_EQ(SizeText(65536), "64K");
  EXPECT_EQ(SizeText(16 * 1048576), "16M");
  EXPECT_EQ(SizeText(1536 * 1024), "1536K");
}

}  // namespace
}  // namespace veltor
