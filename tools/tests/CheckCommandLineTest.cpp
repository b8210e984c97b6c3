// veltor-check's command line as a program: the relay's options, refused with
// the relay's line and status; its own usage error without a FILE.
#include <gtest/gtest.h>

#include "tests/support/ChildProcess.h"

namespace veltor::testing {
namespace {

using namespace std::chrono_literals;

using Ran = ProgramRun;

Ran RunCheck(const std::vector<std::string>& args) { return RunProgram(VELTOR_CHECK_BINARY, args); }

TEST(CheckCommandLine, ABadOptionIsRefusedAsTheRelayRefusesIt) {
  const Ran ran = RunCheck({"--stream-log-keep=many", "veltor.conf"});
  EXPECT_EQ(ran.status, 254);
  EXPECT_EQ(ran.err,
            "Error: --stream-log-keep: 'many' is not a number from 0 to 1000\nUsage: veltor-check [OPTION]... FILE\n");
  EXPECT_EQ(ran.out, "");
}

TEST(CheckCommandLine, NoFileIsItsOwnUsageError) {
  const Ran ran = RunCheck({"--replay=4K"});
  EXPECT_EQ(ran.status, 2);
  EXPECT_EQ(ran.err, "Usage: veltor-check [OPTION]... FILE\n");
}

}  // namespace
}  // namespace veltor::testing
