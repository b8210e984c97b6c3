#include "relay/ConfigLoader.h"

#include <climits>
#include <cstdio>
#include <filesystem>
#include <fstream>

#include "base/Constants.h"
#include "base/EventText.h"
#include "base/Ipv4.h"
#include "base/Output.h"

namespace veltor {

namespace {

constexpr std::string_view kWhitespace = " \t\n\v\f\r";
constexpr std::string_view kModPrefix = "MOD:";
constexpr std::string_view kUtf8ByteOrderMark = "\xEF\xBB\xBF";
// Server host, server port, listen port, client maximum and at least one rule.
constexpr int kMinimumIndexedLines = 5;

bool IsSpace(char c) { return kWhitespace.find(c) != std::string_view::npos; }
bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// Reads an optional sign and at least one digit at `pos`, saturating at the
// 32-bit limits. Returns false (and leaves `pos`) when no digit follows.
bool ScanInt(std::string_view text, size_t& pos, int32_t& value) {
  size_t at = pos;
  bool negative = false;
  if (at < text.size() && (text[at] == '+' || text[at] == '-')) {
    negative = text[at] == '-';
    ++at;
  }
  if (at >= text.size() || !IsDigit(text[at])) return false;
  int64_t magnitude = 0;
  const int64_t limit = negative ? -static_cast<int64_t>(INT32_MIN) : INT32_MAX;
  for (; at < text.size() && IsDigit(text[at]); ++at) {
    magnitude = magnitude * 10 + (text[at] - '0');
    if (magnitude > limit) magnitude = limit;  // keeps scanning digits, value stays pinned
  }
  value = static_cast<int32_t>(negative ? -magnitude : magnitude);
  pos = at;
  return true;
}

bool ScanChar(std::string_view text, size_t& pos, char& value) {
  if (pos >= text.size()) return false;
  value = text[pos++];
  return true;
}

bool ScanLiteral(std::string_view text, size_t& pos, char literal) {
  if (pos >= text.size() || text[pos] != literal) return false;
  ++pos;
  return true;
}

// Counted lines after the greetings: server host, two ports, client maximum, rules.
ConfigLineRole RoleAt(int index) {
  static constexpr ConfigLineRole kRoles[] = {ConfigLineRole::kServerHost, ConfigLineRole::kServerPort,
                                              ConfigLineRole::kListenPort, ConfigLineRole::kMaxClients};
  return index < 4 ? kRoles[index] : ConfigLineRole::kRule;
}

}  // namespace

int32_t ParseLeadingInt(std::string_view text) {
  size_t pos = 0;
  while (pos < text.size() && IsSpace(text[pos])) ++pos;
  int32_t value = 0;
  return ScanInt(text, pos, value) ? value : 0;
}

std::string CleanLine(std::string_view rawLine) {
  std::string_view line = rawLine.substr(0, rawLine.find('#'));
  const size_t first = line.find_first_not_of(kWhitespace);
  if (first == std::string_view::npos) return {};
  const size_t last = line.find_last_not_of(kWhitespace);
  return std::string(line.substr(first, last - first + 1));
}

std::string StripWhitespace(std::string_view line) {
  std::string stripped;
  stripped.reserve(line.size());
  for (char c : line) {
    if (!IsSpace(c)) stripped.push_back(c);
  }
  return stripped;
}

uint32_t ComposeAddress(int32_t a, int32_t b, int32_t c, int32_t d) {
  auto low16 = [](int32_t v) { return static_cast<uint32_t>(static_cast<uint16_t>(v)); };
  return (((((low16(a) << 8) | low16(b)) << 8) | low16(c)) << 8) | low16(d);
}

std::optional<RuleFields> ScanRuleFields(std::string_view stripped) {
  // The form is "%c,%d.%d.%d.%d,%d.%d.%d.%d,%c,%ld,%c"; everything after the
  // twelfth field is ignored. A NUL ends the line as it would a C string.
  stripped = stripped.substr(0, stripped.find('\0'));
  size_t pos = 0;
  RuleFields fields;

  if (!ScanChar(stripped, pos, fields.allow) || !ScanLiteral(stripped, pos, ',')) return std::nullopt;
  for (int i = 0; i < 8; ++i) {
    if (!ScanInt(stripped, pos, fields.octets[i])) return std::nullopt;
    const char separator = (i == 3 || i == 7) ? ',' : '.';
    if (!ScanLiteral(stripped, pos, separator)) return std::nullopt;
  }
  if (!ScanChar(stripped, pos, fields.passRx) || !ScanLiteral(stripped, pos, ',')) return std::nullopt;
  if (!ScanInt(stripped, pos, fields.timeLimit) || !ScanLiteral(stripped, pos, ',')) return std::nullopt;
  if (!ScanChar(stripped, pos, fields.dupeOK)) return std::nullopt;
  fields.rest = stripped.substr(pos);
  return fields;
}

std::optional<MaskRule> ParseRuleLine(std::string_view stripped) {
  const std::optional<RuleFields> fields = ScanRuleFields(stripped);
  if (!fields) return std::nullopt;
  const int32_t* octets = fields->octets;
  MaskRule rule;
  rule.allow = fields->allow == 'Y';
  rule.address = ComposeAddress(octets[0], octets[1], octets[2], octets[3]);
  rule.mask = ComposeAddress(octets[4], octets[5], octets[6], octets[7]);
  rule.passRx = fields->passRx == 'Y';
  rule.timeLimit = fields->timeLimit;
  rule.dupeOK = fields->dupeOK == 'Y';
  return rule;
}

int LoadSettings(const std::string& path, RelaySettings& settings, const ConfigLineObserver& observer) {
  // Only a regular file is read: opening a FIFO would block for ever, and a
  // device such as /dev/zero would never end. A directory opens on Linux but
  // holds no lines.
  std::error_code statusError;
  const std::filesystem::file_status status = std::filesystem::status(path, statusError);
  std::ifstream file;
  if (!statusError && std::filesystem::is_regular_file(status)) file.open(path, std::ios::in | std::ios::binary);
  if (!file.is_open()) {
    LogErr("Error: unable to open configuration file %s\n", path.c_str());
    return kStatusBadArguments;
  }
  std::error_code sizeError;
  const uintmax_t size = std::filesystem::file_size(path, sizeError);
  if (!sizeError && size > kConfigFileMaxBytes) {
    LogErr("Error: configuration file %s is too large (at most %zu bytes)\n", path.c_str(), kConfigFileMaxBytes);
    return kStatusBadArguments;
  }

  settings = RelaySettings{};
  int index = 0;
  std::string raw;
  size_t bytesRead = 0;
  bool firstLine = true;
  int lineNumber = 0;
  while (std::getline(file, raw)) {
    ++lineNumber;
    // A file that grows while it is read is held to the same bound.
    bytesRead += raw.size() + 1;
    if (bytesRead > kConfigFileMaxBytes + 1) {
      LogErr("Error: configuration file %s is too large (at most %zu bytes)\n", path.c_str(), kConfigFileMaxBytes);
      return kStatusBadArguments;
    }
    // Windows editors begin a UTF-8 file with a byte-order mark; it is not text.
    if (firstLine && raw.compare(0, kUtf8ByteOrderMark.size(), kUtf8ByteOrderMark) == 0) {
      raw.erase(0, kUtf8ByteOrderMark.size());
    }
    firstLine = false;
    if (!raw.empty() && raw.back() == '\r') raw.pop_back();  // text mode: CRLF ends a line too
    const std::string line = CleanLine(raw);
    if (line.empty()) continue;

    const bool greeting = index == 0 && line.compare(0, kModPrefix.size(), kModPrefix) == 0;
    if (observer) observer(ConfigLine{lineNumber, raw, line, greeting ? ConfigLineRole::kGreeting : RoleAt(index)});
    if (greeting) {
      std::string text = line.substr(kModPrefix.size());
      if (text.size() > kModTextMaxBytes) {
        // A longer text would not fit the 16-bit length of its greeting frame.
        LogErr("Error: MOD text of %zu bytes is too long (at most %zu bytes)\n", text.size(), kModTextMaxBytes);
        return kStatusBadFormat;
      }
      settings.modTexts.push_back(std::move(text));
      continue;
    }

    switch (index) {
      case 0:
        settings.serverHost = line;
        break;
      case 1:
        settings.serverPort = static_cast<uint16_t>(ParseLeadingInt(line));
        break;
      case 2:
        settings.listenPort = static_cast<uint16_t>(ParseLeadingInt(line));
        break;
      case 3:
        settings.maxClients = ParseLeadingInt(line);
        break;
      default: {
        const std::string stripped = StripWhitespace(line);
        const std::optional<MaskRule> rule = ParseRuleLine(stripped);
        if (!rule) {
          LogErr("Error: invalid configuration line:\n  %s\n", stripped.c_str());
          return kStatusBadRuleLine;
        }
        settings.rules.push_back(*rule);
        LogErr("%s", RuleEchoText(static_cast<int>(settings.rules.size()), *rule).c_str());
        break;
      }
    }
    ++index;
  }

  if (index < kMinimumIndexedLines || settings.serverHost.empty() || settings.serverPort == 0 ||
      settings.listenPort == 0 || settings.maxClients == 0) {
    LogErr("Error: invalid configuration file format\n");
    return kStatusBadFormat;
  }
  return 0;
}

}  // namespace veltor
