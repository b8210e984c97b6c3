// Standard output and standard error of the test process itself, where the
// relay's code writes with write(2), captured for in-process tests. The one
// part of the kit that needs GoogleTest.
#pragma once

#include <gtest/gtest.h>

#include <regex>
#include <string>
#include <utility>

#include "base/LogWriter.h"
#include "tests/support/Patterns.h"

namespace veltor::testing {

// Captures from construction to the first Out() or Err(); always handed back,
// even when a test stops early. Only one may capture at a time.
class CapturedOutput {
 public:
  // The relay's log is written by threads of its own: what was queued before
  // the capture goes out first, and what the action queued is in before reading.
  CapturedOutput() {
    FlushLogMessages(kLogFlushWaitMs);
    ::testing::internal::CaptureStdout();
    ::testing::internal::CaptureStderr();
  }
  // Captures just what `action` writes.
  template <class Action>
  explicit CapturedOutput(Action&& action) : CapturedOutput() {
    std::forward<Action>(action)();
    Finish();
  }
  ~CapturedOutput() { Finish(); }
  CapturedOutput(const CapturedOutput&) = delete;
  CapturedOutput& operator=(const CapturedOutput&) = delete;
  const std::string& Out() {
    Finish();
    return out_;
  }
  const std::string& Err() {
    Finish();
    return err_;
  }

 private:
  void Finish() {
    if (done_) return;
    done_ = true;
    FlushLogMessages(kLogFlushWaitMs);
    out_ = ::testing::internal::GetCapturedStdout();
    err_ = ::testing::internal::GetCapturedStderr();
  }
  static constexpr int kLogFlushWaitMs = 5000;
  bool done_ = false;
  std::string out_;
  std::string err_;
};

// One whole log line: a time stamp, ": " and `body` (a regular expression).
inline ::testing::AssertionResult IsLogLine(const std::string& text, const std::string& body) {
  if (std::regex_match(text, std::regex("^" + kStampRegex + body + "\n$"))) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << "'" << text << "' is not one line of '" << body << "'";
}

}  // namespace veltor::testing
