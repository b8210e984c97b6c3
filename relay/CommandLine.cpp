#include "relay/CommandLine.h"

#include <limits>

namespace veltor {

namespace {

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// Digits and at most one unit letter at the end, whatever their value.
bool LooksLikeSize(std::string_view text) {
  if (!text.empty() && (text.back() == 'K' || text.back() == 'k' || text.back() == 'M' || text.back() == 'm')) {
    text.remove_suffix(1);
  }
  if (text.empty()) return false;
  for (char c : text) {
    if (!IsDigit(c)) return false;
  }
  return true;
}

// A value shown back in a message stays on its one line.
std::string Shown(std::string_view value) {
  std::string shown = "'";
  for (char c : value) shown.push_back(static_cast<unsigned char>(c) < 0x20 || c == 0x7F ? '?' : c);
  shown.push_back('\'');
  return shown;
}

std::string Problem(std::string_view option, const std::string& what) {
  return "Error: " + std::string(option) + ": " + what + "\n";
}

// Each reader fills its field from `value` or returns the message naming what is wrong.
using ReadValue = std::string (*)(std::string_view option, std::string_view value, RelayOptions& options);

std::string ReadSize(std::string_view option, std::string_view value, int64_t& size) {
  const std::optional<int64_t> parsed = ParseSize(value);
  if (!parsed) {
    return Problem(option, Shown(value) + (LooksLikeSize(value) ? " is too large" : " is not a size (bytes, or K or M)"));
  }
  size = *parsed;
  return {};
}

std::string ReadAtLeast(std::string_view option, std::string_view value, int64_t minimum, int64_t& size) {
  std::string problem = ReadSize(option, value, size);
  if (problem.empty() && size < minimum) problem = Problem(option, Shown(value) + " is less than " + SizeText(minimum));
  return problem;
}

std::string ReadPath(std::string_view option, std::string_view value, std::string& path) {
  if (value.empty()) return Problem(option, "the path is empty");
  path = value;
  return {};
}

// Four decimal octets 0-255, without leading zeros: "010" would be octal to
// inet_aton and ten to inet_pton, so it is neither.
std::optional<uint32_t> ParseDotted(std::string_view text) {
  uint32_t address = 0;
  for (int octet = 0; octet < 4; ++octet) {
    if (octet > 0) {
      if (text.empty() || text.front() != '.') return std::nullopt;
      text.remove_prefix(1);
    }
    size_t digits = 0;
    uint32_t value = 0;
    while (digits < text.size() && IsDigit(text[digits]) && digits < 4) {
      value = value * 10 + static_cast<uint32_t>(text[digits] - '0');
      ++digits;
    }
    if (digits == 0 || digits > 3 || value > 255 || (digits > 1 && text.front() == '0')) return std::nullopt;
    text.remove_prefix(digits);
    address = (address << 8) | value;
  }
  if (!text.empty()) return std::nullopt;
  return address;
}

std::string ReadReplay(std::string_view option, std::string_view value, RelayOptions& options) {
  std::string problem = ReadSize(option, value, options.replayBytes);
  if (problem.empty() && options.replayBytes > kReplayMaxBytes) {
    problem = Problem(option, Shown(value) + " is more than " + SizeText(kReplayMaxBytes));
  }
  return problem;
}

std::string ReadStreamLog(std::string_view option, std::string_view value, RelayOptions& options) {
  return ReadPath(option, value, options.streamLogPath);
}

std::string ReadStreamLogSize(std::string_view option, std::string_view value, RelayOptions& options) {
  std::string problem = ReadSize(option, value, options.streamLogRotateBytes);
  if (problem.empty() && options.streamLogRotateBytes != 0 && options.streamLogRotateBytes < kStreamLogMinRotateBytes) {
    problem = Problem(option, Shown(value) + " is less than " + SizeText(kStreamLogMinRotateBytes) + " (0: no rotation)");
  }
  return problem;
}

std::string ReadStreamLogKeep(std::string_view option, std::string_view value, RelayOptions& options) {
  const std::string outOfRange = Problem(option, Shown(value) + " is not a number from 0 to " +
                                                     std::to_string(kStreamLogKeepMax));
  if (value.empty() || value.size() > 4) return outOfRange;
  int keep = 0;
  for (char c : value) {
    if (!IsDigit(c)) return outOfRange;
    keep = keep * 10 + (c - '0');
  }
  if (keep > kStreamLogKeepMax) return outOfRange;
  options.streamLogKeep = keep;
  return {};
}

std::string ReadListen(std::string_view option, std::string_view value, RelayOptions& options) {
  options.listenAddress = ParseDotted(value);
  if (!options.listenAddress) return Problem(option, Shown(value) + " is not a dotted IPv4 address");
  return {};
}

std::string ReadControl(std::string_view option, std::string_view value, RelayOptions& options) {
  if (value.size() > kControlPathMaxBytes) {
    return Problem(option, "the path is longer than " + std::to_string(kControlPathMaxBytes) + " bytes");
  }
  return ReadPath(option, value, options.controlPath);
}

std::string ReadMaxBacklog(std::string_view option, std::string_view value, RelayOptions& options) {
  return ReadAtLeast(option, value, kBacklogMinBytes, options.maxBacklogBytes);
}

std::string ReadMaxTotalBacklog(std::string_view option, std::string_view value, RelayOptions& options) {
  return ReadAtLeast(option, value, kBacklogMinBytes, options.maxTotalBacklogBytes);
}

struct OptionEntry {
  std::string_view name;  // without its leading "--"
  ReadValue read;         // nullptr: takes no value
  CommandLine::Action action;
};

constexpr OptionEntry kOptions[] = {
    {"replay", ReadReplay, CommandLine::Action::kRun},
    {"stream-log", ReadStreamLog, CommandLine::Action::kRun},
    {"stream-log-size", ReadStreamLogSize, CommandLine::Action::kRun},
    {"stream-log-keep", ReadStreamLogKeep, CommandLine::Action::kRun},
    {"listen", ReadListen, CommandLine::Action::kRun},
    {"control", ReadControl, CommandLine::Action::kRun},
    {"max-backlog", ReadMaxBacklog, CommandLine::Action::kRun},
    {"max-total-backlog", ReadMaxTotalBacklog, CommandLine::Action::kRun},
    {"help", nullptr, CommandLine::Action::kHelp},
    {"version", nullptr, CommandLine::Action::kVersion},
};

const OptionEntry* FindOption(std::string_view name) {
  for (const OptionEntry& entry : kOptions) {
    if (entry.name == name) return &entry;
  }
  return nullptr;
}

// What only the options together can tell: each alone was fine.
std::string CheckTogether(const RelayOptions& options, bool streamLogSized, bool streamLogKept) {
  if (options.streamLogPath.empty()) {
    if (streamLogSized) return Problem("--stream-log-size", "needs --stream-log");
    if (streamLogKept) return Problem("--stream-log-keep", "needs --stream-log");
  }
  // The history is queued to a new client at once: beyond the cap, every late joiner would be cut off.
  if (options.replayBytes > options.maxBacklogBytes) {
    return Problem("--replay", SizeText(options.replayBytes) + " is more than --max-backlog (" +
                                   SizeText(options.maxBacklogBytes) + ")");
  }
  return {};
}

CommandLine Refused(std::string error) {
  CommandLine refused;
  refused.error = std::move(error);
  return refused;
}

}  // namespace

std::optional<int64_t> ParseSize(std::string_view text) {
  if (!LooksLikeSize(text)) return std::nullopt;
  int64_t unit = 1;
  if (text.back() == 'K' || text.back() == 'k') unit = kKiB;
  if (text.back() == 'M' || text.back() == 'm') unit = kMiB;
  if (unit != 1) text.remove_suffix(1);
  constexpr int64_t kMax = std::numeric_limits<int64_t>::max();
  int64_t count = 0;
  for (char c : text) {
    const int digit = c - '0';
    if (count > (kMax - digit) / 10) return std::nullopt;
    count = count * 10 + digit;
  }
  if (count > kMax / unit) return std::nullopt;
  return count * unit;
}

std::string SizeText(int64_t bytes) {
  if (bytes != 0 && bytes % kMiB == 0) return std::to_string(bytes / kMiB) + "M";
  if (bytes != 0 && bytes % kKiB == 0) return std::to_string(bytes / kKiB) + "K";
  return std::to_string(bytes);
}

CommandLine ParseCommandLine(const std::vector<std::string>& args) {
  CommandLine line;
  bool streamLogSized = false;
  bool streamLogKept = false;
  size_t at = 0;
  for (; at < args.size(); ++at) {
    const std::string_view arg = args[at];
    if (arg == "--") {
      ++at;
      break;
    }
    if (arg.size() < 2 || arg[0] != '-') break;  // FILE ("-" alone included)
    if (arg[1] != '-') return Refused(Problem(arg, "unknown option"));

    const size_t equals = arg.find('=');
    const std::string_view option = arg.substr(0, equals);
    const OptionEntry* entry = FindOption(option.substr(2));
    if (entry == nullptr) return Refused(Problem(option, "unknown option"));
    if (entry->read == nullptr) {
      if (equals != std::string_view::npos) return Refused(Problem(option, "takes no value"));
      line.action = entry->action;
      return line;
    }
    std::string_view value;
    if (equals != std::string_view::npos) {
      value = arg.substr(equals + 1);
    } else if (at + 1 < args.size()) {
      value = args[++at];
    } else {
      return Refused(Problem(option, "needs a value"));
    }
    if (std::string problem = entry->read(option, value, line.options); !problem.empty()) {
      return Refused(std::move(problem));
    }
    streamLogSized = streamLogSized || entry->read == ReadStreamLogSize;
    streamLogKept = streamLogKept || entry->read == ReadStreamLogKeep;
  }

  // Exactly one FILE, as without options; anything after it is one argument too many.
  if (at + 1 != args.size()) return Refused({});
  if (std::string problem = CheckTogether(line.options, streamLogSized, streamLogKept); !problem.empty()) {
    return Refused(std::move(problem));
  }
  line.action = CommandLine::Action::kRun;
  line.configPath = args[at];
  return line;
}

std::string OptionsHelpText() {
  return "Options (before FILE):\n"
         "  --replay=SIZE             replay the stream's last SIZE bytes to each new client (default 0: off; at most 16M)\n"
         "  --stream-log=PATH         append every byte handed on from the server to PATH\n"
         "  --stream-log-size=SIZE    rotate PATH when a write would pass SIZE (default 0: never; else at least 4K)\n"
         "  --stream-log-keep=N       rotated files kept, PATH.1 to PATH.N (default 5; 0 to 1000, 0: none)\n"
         "  --listen=ADDRESS          accept clients on this local IPv4 address only (default: every address)\n"
         "  --control=PATH            answer status requests on a Unix socket at PATH\n"
         "  --max-backlog=SIZE        disconnect a client whose unsent backlog would pass SIZE (default 16M)\n"
         "  --max-total-backlog=SIZE  bound all clients' backlogs together to SIZE (default 256M)\n"
         "  --help                    show this help and exit\n"
         "  --version                 show the version and exit\n"
         "SIZE is a byte count, or a number followed by K (KiB) or M (MiB); k and m mean the same.\n"
         "A backlog bound is at least 64K. -- ends the options, for a FILE that begins with '-'.\n";
}

}  // namespace veltor
