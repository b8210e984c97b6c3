#include "tools/check/ConfigCheck.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string_view>
#include <vector>

#include "relay/ConfigLoader.h"
#include "base/Constants.h"
#include "base/Ipv4.h"
#include "base/Settings.h"
#include "tools/check/OptionCheck.h"
#include "tools/common/VisibleText.h"

namespace veltor::check {

namespace {

constexpr std::string_view kModPrefix = "MOD:";
constexpr size_t kShownLineBytes = 160;  // a 64 KiB greeting is not echoed whole
constexpr int kPrivilegedPortLimit = 1024;

enum class Severity { kWarning, kError };

struct Finding {
  int line = 0;  // 0: about the whole file
  Severity severity = Severity::kWarning;
  std::string message;
};

struct SeenLine {
  int number = 0;
  std::string raw;
  std::string cleaned;
  ConfigLineRole role = ConfigLineRole::kGreeting;
};

struct RuleAtLine {
  int line = 0;
  MaskRule rule;
};

const char* RoleName(ConfigLineRole role) {
  switch (role) {
    case ConfigLineRole::kGreeting: return "greeting";
    case ConfigLineRole::kServerHost: return "server host";
    case ConfigLineRole::kServerPort: return "server port";
    case ConfigLineRole::kListenPort: return "listen port";
    case ConfigLineRole::kMaxClients: return "client maximum";
    case ConfigLineRole::kRule: return "rule";
  }
  return "line";
}

// Built by appending: GCC 12 at -O3 takes a literal + temporary for an overlapping copy.
std::string Quoted(std::string_view text) {
  std::string quoted = "\"";
  quoted += tools::VisibleText(text);
  quoted += '"';
  return quoted;
}

// How a number line reads: whether it holds a number and nothing else, and
// that number's true value, so a value the relay cuts or pins can be named.
struct NumberText {
  bool hasDigits = false;
  bool onlyNumber = false;
  int64_t value = 0;  // pinned far beyond 32 bits, enough to tell it is out of range
};

NumberText ReadNumberText(std::string_view text) {
  NumberText number;
  size_t at = 0;
  const bool negative = !text.empty() && text[0] == '-';
  if (!text.empty() && (text[0] == '+' || text[0] == '-')) ++at;
  int64_t magnitude = 0;
  const size_t digitsFrom = at;
  for (; at < text.size() && text[at] >= '0' && text[at] <= '9'; ++at) {
    magnitude = std::min<int64_t>(magnitude * 10 + (text[at] - '0'), INT64_C(1) << 40);
  }
  number.hasDigits = at > digitsFrom;
  number.onlyNumber = number.hasDigits && at == text.size();
  number.value = negative ? -magnitude : magnitude;
  return number;
}

// What a port line reads as, when that differs from what it says.
void CheckPort(const SeenLine& line, std::vector<Finding>& findings) {
  const char* what = RoleName(line.role);
  const NumberText number = ReadNumberText(line.cleaned);
  const auto read = static_cast<uint16_t>(ParseLeadingInt(line.cleaned));
  std::string problem;
  if (!number.hasDigits) {
    problem = std::string(what) + " " + Quoted(line.cleaned) + " is not a number";
  } else if (!number.onlyNumber) {
    problem = std::string(what) + " " + Quoted(line.cleaned) + " has text after the number";
  } else if (number.value == 0) {
    findings.push_back({line.number, Severity::kError, std::string(what) + " is 0: the relay refuses a zero port"});
    return;
  } else if (number.value < 1 || number.value > 65535) {
    problem = std::string(what) + " " + line.cleaned + " is outside 1-65535";
  }
  if (!problem.empty()) {
    const bool zero = read == 0;
    findings.push_back({line.number, zero ? Severity::kError : Severity::kWarning,
                        problem + ": the relay reads it as " + std::to_string(read) +
                            (zero ? " and refuses a zero port" : "")});
    return;
  }
  if (line.role == ConfigLineRole::kListenPort && read < kPrivilegedPortLimit) {
    findings.push_back({line.number, Severity::kWarning,
                        "listen port " + std::to_string(read) +
                            " is below 1024: only a privileged process may listen on it, and the packaged "
                            "service runs unprivileged"});
  }
}

void CheckClientMaximum(const SeenLine& line, std::vector<Finding>& findings) {
  const NumberText number = ReadNumberText(line.cleaned);
  const int32_t read = ParseLeadingInt(line.cleaned);
  const std::string readAs = ": the relay reads it as " + std::to_string(read);
  if (!number.hasDigits) {
    findings.push_back({line.number, Severity::kError,
                        "client maximum " + Quoted(line.cleaned) + " is not a number" + readAs + " and refuses it"});
    return;
  }
  if (!number.onlyNumber) {
    findings.push_back({line.number, Severity::kWarning,
                        "client maximum " + Quoted(line.cleaned) + " has text after the number" + readAs});
  } else if (number.value > INT32_MAX || number.value < INT32_MIN) {
    findings.push_back({line.number, Severity::kWarning, "client maximum " + line.cleaned + " is out of range" + readAs});
  }
  if (read == 0) {
    findings.push_back({line.number, Severity::kError, "client maximum is 0: the relay refuses it"});
  } else if (read < 0) {
    findings.push_back({line.number, Severity::kWarning,
                        "client maximum " + std::to_string(read) +
                            " admits no client: every connection is denied (max conns)"});
  }
}

void CheckHostText(const SeenLine& line, std::vector<Finding>& findings) {
  std::string lower = line.cleaned.substr(0, kModPrefix.size());
  std::transform(lower.begin(), lower.end(), lower.begin(), [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; });
  if (lower == "mod:") {
    findings.push_back({line.number, Severity::kWarning,
                        "server host " + Quoted(line.cleaned) +
                            " looks like a greeting: only \"MOD:\" in capitals starts one"});
  }
}

// One yes/no flag of a rule: only a capital Y is yes.
void CheckFlag(int lineNumber, const char* name, std::string_view word, const char* consequence,
               std::vector<Finding>& findings) {
  const char first = word.empty() ? '\0' : word[0];
  const bool yes = first == 'Y';
  std::string message;
  if (word.size() > 1) {
    message = std::string(name) + " flag " + Quoted(word) + " is a word: the relay reads only its first letter, as " +
              (yes ? "yes" : "no");
  } else if (first == 'y') {
    message = std::string(name) + " flag \"y\" is read as no" + consequence + ": only a capital Y means yes";
  } else if (first != 'Y' && first != 'N' && first != 'n') {
    message = std::string(name) + " flag " + Quoted(word) + " is read as no" + consequence;
  }
  if (!message.empty()) findings.push_back({lineNumber, Severity::kWarning, message});
}

void CheckAddressText(int lineNumber, const char* name, const int32_t* octets, std::vector<Finding>& findings) {
  bool outside = false;
  std::string written;
  for (int i = 0; i < 4; ++i) {
    outside = outside || octets[i] < 0 || octets[i] > 255;
    if (i > 0) written += '.';
    written += std::to_string(octets[i]);
  }
  if (!outside) return;
  const uint32_t read = ComposeAddress(octets[0], octets[1], octets[2], octets[3]);
  findings.push_back({lineNumber, Severity::kWarning,
                      std::string(name) + " " + written + " is read as " + DottedAddress(read) +
                          ": each part is 0-255"});
}

// A rule line's own findings; the rule it makes is kept for the checks across rules.
void CheckRule(const SeenLine& line, std::vector<Finding>& findings, std::vector<RuleAtLine>& rules) {
  const std::string stripped = StripWhitespace(line.cleaned);
  const std::optional<RuleFields> fields = ScanRuleFields(stripped);
  const std::optional<MaskRule> rule = ParseRuleLine(stripped);
  if (!fields || !rule) {
    findings.push_back({line.number, Severity::kError,
                        "the relay cannot read this rule: the form is Allow, address, mask, PassRx, seconds, DupeOK"});
    return;
  }
  CheckFlag(line.number, "Allow", std::string_view(&fields->allow, 1), ", so this rule denies", findings);
  CheckFlag(line.number, "PassRx", std::string_view(&fields->passRx, 1), "", findings);
  // The last flag is read as one character, so a word there passes as its first letter.
  const std::string_view rest = fields->rest;
  const size_t wordEnd = std::min(rest.find(','), rest.size());
  const std::string dupeWord = std::string(1, fields->dupeOK) + std::string(rest.substr(0, wordEnd));
  CheckFlag(line.number, "DupeOK", dupeWord, "", findings);
  if (wordEnd < rest.size()) {
    findings.push_back({line.number, Severity::kWarning,
                        "text after the sixth field is ignored: " + Quoted(rest.substr(wordEnd))});
  }
  CheckAddressText(line.number, "address", fields->octets, findings);
  CheckAddressText(line.number, "mask", fields->octets + 4, findings);
  if (fields->timeLimit < 0) {
    findings.push_back({line.number, Severity::kWarning,
                        "time limit " + std::to_string(fields->timeLimit) + " cuts every client off at once"});
  }
  if ((rule->address & ~rule->mask) != 0) {
    findings.push_back({line.number, Severity::kWarning,
                        "address " + DottedAddress(rule->address) + " has bits outside mask " +
                            DottedAddress(rule->mask) + ": this rule never matches (within the mask the address is " +
                            DottedAddress(rule->address & rule->mask) + ")"});
  }
  rules.push_back({line.number, *rule});
}

// A rule decides nothing when an earlier rule matches every address it matches:
// the earlier mask looks at no bit the later one ignores, and the two agree there.
void CheckShadowedRules(const std::vector<RuleAtLine>& rules, std::vector<Finding>& findings) {
  const auto canMatch = [](const MaskRule& rule) { return (rule.address & ~rule.mask) == 0; };
  for (size_t later = 0; later < rules.size(); ++later) {
    const MaskRule& rule = rules[later].rule;
    if (!canMatch(rule)) continue;
    for (size_t earlier = 0; earlier < later; ++earlier) {
      const MaskRule& first = rules[earlier].rule;
      if (!canMatch(first) || (first.mask & ~rule.mask) != 0 || (rule.address & first.mask) != first.address) continue;
      findings.push_back({rules[later].line, Severity::kWarning,
                          "this rule never decides: the rule on line " + std::to_string(rules[earlier].line) +
                              " comes first and matches every address this one matches"});
      break;
    }
  }
}

// Why the relay cannot open the file, in the system's words where it has them.
std::string OpenFailure(const std::string& path) {
  struct stat status {};
  if (::stat(path.c_str(), &status) != 0) return std::strerror(errno);
  if (S_ISDIR(status.st_mode)) return "it is a directory";
  if (!S_ISREG(status.st_mode)) return "it is not a regular file";
  if (static_cast<uintmax_t>(status.st_size) > kConfigFileMaxBytes) return "it is larger than 16 MiB";
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return std::strerror(errno);
  ::close(fd);
  return "it cannot be read";
}

std::string ShownLine(std::string_view raw) {
  if (raw.size() <= kShownLineBytes) return tools::VisibleText(raw);
  return tools::VisibleText(raw.substr(0, kShownLineBytes)) + "...";
}

// The options' findings, all warnings, come after the file's under the option's name.
std::string Render(const std::string& path, std::vector<Finding> findings, const std::vector<OptionFinding>& optionFindings,
                   const std::vector<SeenLine>& lines, int status) {
  // By line, the whole file's findings last; each line is shown once, after its findings.
  std::stable_sort(findings.begin(), findings.end(), [](const Finding& a, const Finding& b) {
    return (a.line == 0 ? INT32_MAX : a.line) < (b.line == 0 ? INT32_MAX : b.line);
  });
  std::string report;
  int warnings = 0;
  for (size_t i = 0; i < findings.size(); ++i) {
    const Finding& finding = findings[i];
    if (finding.severity == Severity::kWarning) ++warnings;
    report += path;
    if (finding.line > 0) report += ':' + std::to_string(finding.line);
    report += finding.severity == Severity::kError ? ": error: " : ": warning: ";
    report += finding.message + "\n";
    const bool lastOfLine = i + 1 == findings.size() || findings[i + 1].line != finding.line;
    if (finding.line == 0 || !lastOfLine) continue;
    const auto seen = std::find_if(lines.begin(), lines.end(), [&](const SeenLine& l) { return l.number == finding.line; });
    if (seen != lines.end()) report += "    " + ShownLine(seen->raw) + "\n";
  }
  for (const OptionFinding& finding : optionFindings) {
    ++warnings;
    report += finding.option + ": warning: " + finding.message + "\n";
  }
  if (status != kStatusClean && status != kStatusWarnings) {
    report += path + ": the relay refuses this file (exit status " + std::to_string(status) + ")\n";
  } else if (warnings > 0) {
    report += path + ": " + std::to_string(warnings) + (warnings == 1 ? " warning\n" : " warnings\n");
  }
  return report;
}

}  // namespace

CheckResult CheckConfigFile(const std::string& path, const tools::HostResolver& resolveHost) {
  return CheckConfigFile(path, RelayOptions{}, resolveHost);
}

CheckResult CheckConfigFile(const std::string& path, const RelayOptions& options,
                            const tools::HostResolver& resolveHost) {
  std::vector<SeenLine> lines;
  RelaySettings settings;
  const int loaded = LoadSettings(path, settings, [&lines](const ConfigLine& line) {
    lines.push_back({line.number, std::string(line.raw), std::string(line.cleaned), line.role});
  });
  // The relay returns -2..-4; its parent sees them as 254..252.
  const int refusal = loaded == 0 ? 0 : (loaded & 0xFF);

  const std::vector<OptionFinding> optionFindings = CheckOptions(options);
  std::vector<Finding> findings;
  if (loaded == kStatusBadArguments) {
    findings.push_back({0, Severity::kError, "cannot be opened: " + OpenFailure(path)});
    return {refusal, Render(path, findings, optionFindings, lines, refusal)};
  }

  std::vector<RuleAtLine> rules;
  const SeenLine* host = nullptr;
  int counted = 0;
  for (const SeenLine& line : lines) {
    if (line.role == ConfigLineRole::kGreeting) {
      const size_t textBytes = line.cleaned.size() - kModPrefix.size();
      if (textBytes > kModTextMaxBytes) {
        findings.push_back({line.number, Severity::kError,
                            "greeting of " + std::to_string(textBytes) + " bytes is longer than the " +
                                std::to_string(kModTextMaxBytes) + " a frame can carry"});
      }
      continue;
    }
    ++counted;
    if (line.cleaned.compare(0, kModPrefix.size(), kModPrefix) == 0) {
      // No MOD text holds a digit before its colon, so the line reads as 0 or as no rule.
      findings.push_back({line.number, Severity::kError,
                          std::string("a greeting after the server host is read as the ") + RoleName(line.role) +
                              ", and the relay refuses it: MOD lines come first"});
      continue;
    }
    switch (line.role) {
      case ConfigLineRole::kServerHost:
        host = &line;
        CheckHostText(line, findings);
        break;
      case ConfigLineRole::kServerPort:
      case ConfigLineRole::kListenPort:
        CheckPort(line, findings);
        break;
      case ConfigLineRole::kMaxClients:
        CheckClientMaximum(line, findings);
        break;
      default:
        CheckRule(line, findings, rules);
        break;
    }
  }
  CheckShadowedRules(rules, findings);

  constexpr ConfigLineRole kNeeded[] = {ConfigLineRole::kServerHost, ConfigLineRole::kServerPort,
                                        ConfigLineRole::kListenPort, ConfigLineRole::kMaxClients,
                                        ConfigLineRole::kRule};
  const bool errorFound =
      std::any_of(findings.begin(), findings.end(), [](const Finding& f) { return f.severity == Severity::kError; });
  if (loaded == kStatusBadFormat && counted < 5 && !errorFound) {
    findings.push_back({0, Severity::kError,
                        std::string("the file ends before its ") + (counted == 4 ? "first " : "") +
                            RoleName(kNeeded[counted]) +
                            ": the relay needs a server host, server port, listen port, client maximum and at "
                            "least one rule"});
  }

  struct stat file {};
  if (::stat(path.c_str(), &file) == 0 && (file.st_mode & S_IROTH) == 0) {
    findings.push_back({0, Severity::kWarning,
                        "not readable by all: the packaged service's unprivileged user cannot read it"});
  }

  // A name is looked up only for a file the relay would run with; the relay
  // itself retries a host that does not resolve, so this is a warning.
  if (loaded == 0 && host != nullptr &&
      std::none_of(findings.begin(), findings.end(), [&](const Finding& f) { return f.line == host->number; })) {
    const tools::HostLookup lookup = resolveHost(host->cleaned);
    if (lookup.outcome == tools::HostLookup::Outcome::kNotFound) {
      findings.push_back({host->number, Severity::kWarning,
                          "server host " + Quoted(host->cleaned) + " does not resolve (" + lookup.reason +
                              "): the relay keeps trying"});
    } else if (lookup.outcome == tools::HostLookup::Outcome::kTimedOut) {
      findings.push_back({host->number, Severity::kWarning,
                          "server host " + Quoted(host->cleaned) + " did not resolve in time: the relay keeps trying"});
    }
  }

  int status = refusal;
  if (status == 0) {
    status = !optionFindings.empty() || std::any_of(findings.begin(), findings.end(),
                                                    [](const Finding& f) { return f.severity == Severity::kWarning; })
                 ? kStatusWarnings
                 : kStatusClean;
  }
  return {status, Render(path, findings, optionFindings, lines, status)};
}

}  // namespace veltor::check
