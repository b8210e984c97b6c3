// Fuzz target: the configuration loader on arbitrary file contents.
//
// Besides the sanitizers, it checks what the rest of the relay takes for
// granted of a file that loaded (status 0), and compares the two hand-written
// scanners with the C library on every line of the input: the rule scanner
// against sscanf where no number can overflow, the leading-number parser
// against strtol with the same saturation.
#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>

#include "FuzzSupport.h"
#include "clients/GreetingFrame.h"
#include "relay/ConfigLoader.h"
#include "base/Constants.h"

namespace {

using veltor::fuzz::QuietStderr;

// The loader takes a path; a memory file reached through /proc keeps the
// fuzzer off the disk and needs no clean-up.
int memoryFile = -1;
std::string memoryPath;

bool IsSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r'; }

void CheckFrame(const std::string& text) {
  const uint32_t tick = 0x89ABCDEFu;
  const std::vector<uint8_t> frame = veltor::BuildTextFrame(text, tick);
  FUZZ_CHECK(frame.size() == text.size() + veltor::kTextFrameOverheadBytes);
  FUZZ_CHECK(frame[0] == veltor::kTextFrameType);
  FUZZ_CHECK((frame[1] | (frame[2] << 8)) == static_cast<int>(frame.size()));
  FUZZ_CHECK((frame[3] | (frame[4] << 8) | (frame[5] << 16) | (static_cast<uint32_t>(frame[6]) << 24)) == tick);
  FUZZ_CHECK(std::string_view(reinterpret_cast<const char*>(frame.data()) + 7, text.size()) == text);
  FUZZ_CHECK(frame[frame.size() - 3] == 0);
  uint32_t sum = 0;
  for (size_t i = 0; i + 2 < frame.size(); ++i) sum += frame[i];
  FUZZ_CHECK((frame[frame.size() - 2] | (frame[frame.size() - 1] << 8)) == static_cast<int>(sum & 0xFFFFu));
}

void CheckLoaded(const veltor::RelaySettings& settings) {
  FUZZ_CHECK(!settings.serverHost.empty());
  FUZZ_CHECK(settings.serverPort != 0);
  FUZZ_CHECK(settings.listenPort != 0);
  FUZZ_CHECK(settings.maxClients != 0);
  FUZZ_CHECK(!settings.rules.empty());
  // The host is a whole cleaned line: no comment, no surrounding blanks, and
  // never a greeting line.
  const std::string& host = settings.serverHost;
  FUZZ_CHECK(host.find('#') == std::string::npos && host.find('\n') == std::string::npos);
  FUZZ_CHECK(!IsSpace(host.front()) && !IsSpace(host.back()));
  FUZZ_CHECK(host.compare(0, 4, "MOD:") != 0);
  for (const std::string& text : settings.modTexts) {
    FUZZ_CHECK(text.size() <= veltor::kModTextMaxBytes);
    FUZZ_CHECK(text.find('#') == std::string::npos && text.find('\n') == std::string::npos);
    FUZZ_CHECK(text.empty() || !IsSpace(text.back()));
    CheckFrame(text);
  }
}

// strtol's reading, pinned to the 32-bit range.
int32_t ReferenceLeadingInt(const std::string& text) {
  errno = 0;
  const long value = std::strtol(text.c_str(), nullptr, 10);
  if (value > INT32_MAX) return INT32_MAX;
  if (value < INT32_MIN) return INT32_MIN;
  return static_cast<int32_t>(value);
}

// True when no run of digits could overflow an int, where sscanf's result
// would be undefined.
bool DigitRunsShort(std::string_view text) {
  size_t run = 0;
  for (char c : text) {
    run = (c >= '0' && c <= '9') ? run + 1 : 0;
    if (run > 9) return false;
  }
  return true;
}

void CompareRuleScanner(const std::string& stripped) {
  const std::optional<veltor::MaskRule> rule = veltor::ParseRuleLine(stripped);
  if (!DigitRunsShort(stripped)) return;
  char allow = 0, passRx = 0, dupeOK = 0;
  int o[8] = {};
  long limit = 0;
  // c_str() ends the text at its first NUL, as the loader's scanner does.
  const int fields = std::sscanf(stripped.c_str(), "%c,%d.%d.%d.%d,%d.%d.%d.%d,%c,%ld,%c", &allow, &o[0], &o[1],
                                 &o[2], &o[3], &o[4], &o[5], &o[6], &o[7], &passRx, &limit, &dupeOK);
  FUZZ_CHECK(rule.has_value() == (fields == 12));
  if (!rule) return;
  auto compose = [](int a, int b, int c, int d) {
    auto low = [](int v) { return static_cast<uint32_t>(v) & 0xFFFFu; };
    return (low(a) << 24) | (low(b) << 16) | (low(c) << 8) | low(d);
  };
  FUZZ_CHECK(rule->allow == (allow == 'Y'));
  FUZZ_CHECK(rule->passRx == (passRx == 'Y'));
  FUZZ_CHECK(rule->dupeOK == (dupeOK == 'Y'));
  FUZZ_CHECK(rule->timeLimit == limit);
  FUZZ_CHECK(rule->address == compose(o[0], o[1], o[2], o[3]));
  FUZZ_CHECK(rule->mask == compose(o[4], o[5], o[6], o[7]));
}

void CompareScanners(std::string_view input) {
  size_t start = 0;
  while (start <= input.size()) {
    size_t end = input.find('\n', start);
    if (end == std::string_view::npos) end = input.size();
    const std::string_view raw = input.substr(start, end - start);
    const std::string line = veltor::CleanLine(raw);
    FUZZ_CHECK(veltor::ParseLeadingInt(line) == ReferenceLeadingInt(line));
    CompareRuleScanner(veltor::StripWhitespace(line));
    start = end + 1;
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  veltor::fuzz::PrepareOutput();
  memoryFile = ::memfd_create("veltor-config", MFD_CLOEXEC);
  if (memoryFile < 0) std::abort();
  memoryPath = "/proc/self/fd/" + std::to_string(memoryFile);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (::ftruncate(memoryFile, 0) != 0) std::abort();
  size_t written = 0;
  while (written < size) {
    const ssize_t step = ::pwrite(memoryFile, data + written, size - written, static_cast<off_t>(written));
    if (step <= 0) std::abort();
    written += static_cast<size_t>(step);
  }

  veltor::RelaySettings settings;
  int status = 0;
  {
    QuietStderr quiet;
    status = veltor::LoadSettings(memoryPath, settings);
  }
  FUZZ_CHECK(status == 0 || status == veltor::kStatusBadRuleLine || status == veltor::kStatusBadFormat);
  if (status == 0) CheckLoaded(settings);

  CompareScanners(std::string_view(reinterpret_cast<const char*>(data), size));
  return 0;
}
