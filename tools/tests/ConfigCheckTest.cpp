// veltor-check's known answers: small files and the exact report for each.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <fstream>
#include <sstream>
#include <string>

#include "tests/support/CapturedOutput.h"
#include "tests/support/TempDir.h"
#include "relay/CommandLine.h"
#include "tools/check/ConfigCheck.h"

namespace veltor::check {
namespace {

// No name leaves the machine: these three stand for every answer a resolver gives.
tools::HostLookup FakeResolver(const std::string& host) {
  tools::HostLookup lookup;
  if (host == "127.0.0.1" || host == "console.example") {
    lookup.outcome = tools::HostLookup::Outcome::kFound;
  } else if (host == "slow.example") {
    lookup.outcome = tools::HostLookup::Outcome::kTimedOut;
  } else {
    lookup.reason = "Name or service not known";
  }
  return lookup;
}

struct Checked {
  CheckResult result;
  std::string stderrText;
  std::string path;
};

Checked Check(const std::string& contents, mode_t mode = 0644) {
  veltor::testing::TempDir dir;
  const std::string path = dir.WriteFile("veltor.conf", contents);
  ::chmod(path.c_str(), mode);
  Checked checked;
  checked.path = path;
  veltor::testing::CapturedOutput output([&] { checked.result = CheckConfigFile(path, FakeResolver); });
  checked.stderrText = output.Err();
  return checked;
}

// "{F}" in an expected report stands for the file's path.
std::string WithPath(std::string text, const std::string& path) {
  for (size_t at = text.find("{F}"); at != std::string::npos; at = text.find("{F}", at + path.size())) {
    text.replace(at, 3, path);
  }
  return text;
}

constexpr const char* kHead = "127.0.0.1\n7023\n7024\n20\n";
constexpr const char* kLoopback = "Y, 127.0.0.0, 255.0.0.0, Y, 0, Y\n";
constexpr const char* kOthers = "N, 0.0.0.0, 0.0.0.0, N, 0, N\n";

struct Case {
  const char* name;
  std::string file;
  int status;
  std::string report;
  mode_t mode = 0644;
};

TEST(ConfigCheck, KnownAnswers) {
  const std::string head = kHead;
  const Case cases[] = {
      {"a clean file", "MOD:Hello\n" + head + kLoopback + kOthers, 0, ""},
      {"letters inside a port", "127.0.0.1\n7023\n17O24\n20\n" + std::string(kLoopback), 1,
       "{F}:3: warning: listen port \"17O24\" has text after the number: the relay reads it as 17\n"
       "    17O24\n"
       "{F}: 1 warning\n"},
      {"a port above 65535", "127.0.0.1\n7023\n70000  # listen\n20\n" + std::string(kLoopback), 1,
       "{F}:3: warning: listen port 70000 is outside 1-65535: the relay reads it as 4464\n"
       "    70000  # listen\n"
       "{F}: 1 warning\n"},
      {"a privileged listen port", "127.0.0.1\n7023\n23\n20\n" + std::string(kLoopback), 1,
       "{F}:3: warning: listen port 23 is below 1024: only a privileged process may listen on it, and the "
       "packaged service runs unprivileged\n"
       "    23\n"
       "{F}: 1 warning\n"},
      {"a port of letters", "127.0.0.1\ntelnet\n7024\n20\n" + std::string(kLoopback), 252,
       "{F}:2: error: server port \"telnet\" is not a number: the relay reads it as 0 and refuses a zero port\n"
       "    telnet\n"
       "{F}: the relay refuses this file (exit status 252)\n"},
      {"an octet above 255", head + "Y, 10.0.0.300, 255.255.255.255, Y, 0, Y\n", 1,
       "{F}:5: warning: address 10.0.0.300 is read as 10.0.1.44: each part is 0-255\n"
       "    Y, 10.0.0.300, 255.255.255.255, Y, 0, Y\n"
       "{F}: 1 warning\n"},
      {"a lower-case y", head + "y, 127.0.0.0, 255.0.0.0, Y, 0, Y\n", 1,
       "{F}:5: warning: Allow flag \"y\" is read as no, so this rule denies: only a capital Y means yes\n"
       "    y, 127.0.0.0, 255.0.0.0, Y, 0, Y\n"
       "{F}: 1 warning\n"},
      {"a word for the last flag", head + "Y, 127.0.0.0, 255.0.0.0, Y, 0, yes\n", 1,
       "{F}:5: warning: DupeOK flag \"yes\" is a word: the relay reads only its first letter, as no\n"
       "    Y, 127.0.0.0, 255.0.0.0, Y, 0, yes\n"
       "{F}: 1 warning\n"},
      {"address bits outside the mask", head + "Y, 127.0.0.1, 255.0.0.0, Y, 0, Y\n" + kOthers, 1,
       "{F}:5: warning: address 127.0.0.1 has bits outside mask 255.0.0.0: this rule never matches (within the "
       "mask the address is 127.0.0.0)\n"
       "    Y, 127.0.0.1, 255.0.0.0, Y, 0, Y\n"
       "{F}: 1 warning\n"},
      {"a rule behind a wider one", head + kOthers + "Y, 127.0.0.0, 255.0.0.0, Y, 0, Y\n", 1,
       "{F}:6: warning: this rule never decides: the rule on line 5 comes first and matches every address this "
       "one matches\n"
       "    Y, 127.0.0.0, 255.0.0.0, Y, 0, Y\n"
       "{F}: 1 warning\n"},
      {"a seventh field", head + "Y, 127.0.0.0, 255.0.0.0, Y, 0, Y, 600\n", 1,
       "{F}:5: warning: text after the sixth field is ignored: \",600\"\n"
       "    Y, 127.0.0.0, 255.0.0.0, Y, 0, Y, 600\n"
       "{F}: 1 warning\n"},
      {"a negative time limit", head + "Y, 127.0.0.0, 255.0.0.0, Y, -60, Y\n", 1,
       "{F}:5: warning: time limit -60 cuts every client off at once\n"
       "    Y, 127.0.0.0, 255.0.0.0, Y, -60, Y\n"
       "{F}: 1 warning\n"},
      {"a negative client maximum", "127.0.0.1\n7023\n7024\n-5\n" + std::string(kLoopback), 1,
       "{F}:4: warning: client maximum -5 admits no client: every connection is denied (max conns)\n"
       "    -5\n"
       "{F}: 1 warning\n"},
      {"a zero client maximum", "127.0.0.1\n7023\n7024\n0\n" + std::string(kLoopback), 252,
       "{F}:4: error: client maximum is 0: the relay refuses it\n"
       "    0\n"
       "{F}: the relay refuses this file (exit status 252)\n"},
      {"words after the client maximum", "127.0.0.1\n7023\n7024\n20 clients\n" + std::string(kLoopback), 1,
       "{F}:4: warning: client maximum \"20 clients\" has text after the number: the relay reads it as 20\n"
       "    20 clients\n"
       "{F}: 1 warning\n"},
      {"a greeting after the server line", head + kLoopback + "MOD:Welcome\n", 253,
       "{F}:6: error: a greeting after the server host is read as the rule, and the relay refuses it: MOD lines "
       "come first\n"
       "    MOD:Welcome\n"
       "{F}: the relay refuses this file (exit status 253)\n"},
      {"a rule the relay cannot read", head + "Y, 127.0.0.0, 255.0.0.0, Yes, 0, Y\n", 253,
       "{F}:5: error: the relay cannot read this rule: the form is Allow, address, mask, PassRx, seconds, DupeOK\n"
       "    Y, 127.0.0.0, 255.0.0.0, Yes, 0, Y\n"
       "{F}: the relay refuses this file (exit status 253)\n"},
      {"no server host", "MOD:Hello\n# nothing else\n", 252,
       "{F}: error: the file ends before its server host: the relay needs a server host, server port, listen "
       "port, client maximum and at least one rule\n"
       "{F}: the relay refuses this file (exit status 252)\n"},
      {"no rule", head, 252,
       "{F}: error: the file ends before its first rule: the relay needs a server host, server port, listen "
       "port, client maximum and at least one rule\n"
       "{F}: the relay refuses this file (exit status 252)\n"},
      {"a host that does not resolve", "no-such-host.example\n7023\n7024\n20\n" + std::string(kLoopback), 1,
       "{F}:1: warning: server host \"no-such-host.example\" does not resolve (Name or service not known): the "
       "relay keeps trying\n"
       "    no-such-host.example\n"
       "{F}: 1 warning\n"},
      {"a host whose look-up takes too long", "slow.example\n7023\n7024\n20\n" + std::string(kLoopback), 1,
       "{F}:1: warning: server host \"slow.example\" did not resolve in time: the relay keeps trying\n"
       "    slow.example\n"
       "{F}: 1 warning\n"},
      {"a greeting in lower case", "mod:Hello\n7023\n7024\n20\n" + std::string(kLoopback), 1,
       "{F}:1: warning: server host \"mod:Hello\" looks like a greeting: only \"MOD:\" in capitals starts one\n"
       "    mod:Hello\n"
       "{F}: 1 warning\n"},
      {"a file only its owner can read", head + kLoopback, 1,
       "{F}: warning: not readable by all: the packaged service's unprivileged user cannot read it\n"
       "{F}: 1 warning\n",
       0600},
      {"findings by line, each line once", "console.example\n7023\n70000\n20\n" + std::string(kOthers) +
           "y, 127.0.0.0, 255.0.0.0, y, 0, N, x\n",
       1,
       "{F}:3: warning: listen port 70000 is outside 1-65535: the relay reads it as 4464\n"
       "    70000\n"
       "{F}:6: warning: Allow flag \"y\" is read as no, so this rule denies: only a capital Y means yes\n"
       "{F}:6: warning: PassRx flag \"y\" is read as no: only a capital Y means yes\n"
       "{F}:6: warning: text after the sixth field is ignored: \",x\"\n"
       "{F}:6: warning: this rule never decides: the rule on line 5 comes first and matches every address this "
       "one matches\n"
       "    y, 127.0.0.0, 255.0.0.0, y, 0, N, x\n"
       "{F}: 5 warnings\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const Checked checked = Check(c.file, c.mode);
    EXPECT_EQ(checked.result.status, c.status);
    EXPECT_EQ(checked.result.report, WithPath(c.report, checked.path));
  }
}

TEST(ConfigCheck, SilentOnTheBundledExample) {
  std::ifstream example(std::string(VELTOR_SOURCE_DIR) + "/examples/veltor.conf");
  std::stringstream text;
  text << example.rdbuf();
  ASSERT_FALSE(text.str().empty());
  const Checked checked = Check(text.str());
  EXPECT_EQ(checked.result.status, 0);
  EXPECT_EQ(checked.result.report, "");
}

// The rule echo and the refusal are the relay's own words, on standard error.
TEST(ConfigCheck, EchoesTheRulesAndTheRelaysErrorAsTheRelayDoes) {
  const Checked checked = Check(std::string(kHead) + kLoopback + "Y, 1.2.3\n");
  EXPECT_EQ(checked.stderrText,
            "Mask   1: Allow  127.  0.  0.  0  255.  0.  0.  0    PassRx DupeOK  0\n"
            "Error: invalid configuration line:\n"
            "  Y,1.2.3\n");
}

TEST(ConfigCheck, AFileThatCannotBeOpenedGetsTheRelaysStatus) {
  veltor::testing::TempDir dir;
  const std::string path = dir.Path() + "/missing.conf";
  veltor::testing::CapturedOutput output;
  const CheckResult result = CheckConfigFile(path, FakeResolver);
  EXPECT_EQ(output.Err(), "Error: unable to open configuration file " + path + "\n");
  EXPECT_EQ(result.status, 254);
  EXPECT_EQ(result.report, path + ": error: cannot be opened: No such file or directory\n" + path +
                               ": the relay refuses this file (exit status 254)\n");
}

// Each option the relay accepts but could not use here: under the option's
// name, after the file's findings, counted with them.
TEST(ConfigCheck, OptionsTheRelayCouldNotUseHereAreWarnings) {
  veltor::testing::TempDir dir;
  const std::string path = dir.WriteFile("veltor.conf", std::string(kHead) + kLoopback);
  ::chmod(path.c_str(), 0644);
  const std::string missing = dir.Path() + "/missing";
  const CommandLine line = ParseCommandLine({"--stream-log=" + missing + "/c.log", "--stream-log-keep=3",
                                             "--listen=192.0.2.7", "--control=" + missing + "/v.sock",
                                             "--max-total-backlog=1M", path});
  ASSERT_EQ(line.action, CommandLine::Action::kRun);
  CheckResult result;
  veltor::testing::CapturedOutput output([&] { result = CheckConfigFile(path, line.options, FakeResolver); });
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(result.report,
            "--stream-log: warning: directory " + missing + " does not exist: the relay cannot create " + missing +
                "/c.log\n"
                "--stream-log-keep: warning: has no effect without --stream-log-size\n"
                "--listen: warning: 192.0.2.7 is not an address of this machine (Cannot assign requested address): "
                "the relay cannot listen on it\n"
                "--control: warning: directory " + missing + " does not exist: the relay cannot create its socket " +
                missing + "/v.sock\n"
                "--max-total-backlog: warning: 1M is less than --max-backlog (16M): the total binds first\n" +
                path + ": 5 warnings\n");

  const CommandLine usable = ParseCommandLine({"--stream-log=" + dir.Path() + "/c.log", "--stream-log-size=1M",
                                               "--listen=127.0.0.1", "--control=" + dir.Path() + "/v.sock", path});
  veltor::testing::CapturedOutput quiet([&] { result = CheckConfigFile(path, usable.options, FakeResolver); });
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(result.report, "");
}

}  // namespace
}  // namespace veltor::check
