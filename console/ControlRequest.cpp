#include "console/ControlRequest.h"

#include <cstdio>
#include <vector>

namespace veltor {

namespace {

constexpr size_t kClientNumberMaxDigits = 9;  // fits an int32, far past any table

std::vector<std::string_view> Words(std::string_view line) {
  std::vector<std::string_view> words;
  size_t at = 0;
  while (at < line.size()) {
    while (at < line.size() && (line[at] == ' ' || line[at] == '\t')) ++at;
    const size_t start = at;
    while (at < line.size() && line[at] != ' ' && line[at] != '\t') ++at;
    if (at > start) words.push_back(line.substr(start, at - start));
  }
  return words;
}

bool ReadClientNumber(std::string_view digits, int64_t& number) {
  if (digits.empty() || digits.size() > kClientNumberMaxDigits) return false;
  number = 0;
  for (const char digit : digits) {
    if (digit < '0' || digit > '9') return false;
    number = number * 10 + (digit - '0');
  }
  return true;
}

}  // namespace

ControlRequest ParseControlRequest(std::string_view line) {
  const std::vector<std::string_view> words = Words(line);
  ControlRequest request;
  if (words.size() == 1 && words[0] == "status") request.kind = ControlRequest::Kind::Status;
  if (words.size() == 1 && words[0] == "metrics") request.kind = ControlRequest::Kind::Metrics;
  if (words.size() == 2 && words[0] == "cut" && ReadClientNumber(words[1], request.clientNumber)) {
    request.kind = ControlRequest::Kind::Cut;
  }
  return request;
}

std::string ControlOkAnswer() { return "ok\n"; }

std::string NoClientAnswer(int64_t clientNumber) { return "error: no client " + std::to_string(clientNumber) + "\n"; }

std::string UnknownRequestAnswer(std::string_view line) {
  std::string shown;
  for (const char c : line) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte >= 0x20 && byte < 0x7F && byte != '\\') {
      shown += c;
      continue;
    }
    char escaped[8];
    std::snprintf(escaped, sizeof escaped, "\\x%02X", static_cast<unsigned>(byte));
    shown += escaped;
  }
  return "error: unknown request '" + shown + "' (status, metrics or cut N)\n";
}

std::string RequestTooLongAnswer(size_t maxBytes) {
  return "error: request longer than " + std::to_string(maxBytes) + " bytes\n";
}

}  // namespace veltor
