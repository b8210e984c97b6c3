#include "tools/ctl/Ctl.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string_view>
#include <vector>

#include "console/FlatJson.h"
#include "console/StatusJson.h"
#include "console/StatusTableText.h"
#include "platform/LocalTime.h"

namespace veltor::ctl {

namespace {

using SteadyClock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// A relay serves a few requests at once and bounds each phase by seconds, so
// a request queued behind others still has its answer well within this.
constexpr milliseconds kAnswerLimit(15000);

constexpr int kStatusOk = 0;
constexpr int kStatusErrorAnswer = 1;
constexpr int kStatusNoAnswer = 2;

// Whole texts to a standard stream; false when it could not take them.
bool Print(std::FILE* stream, const std::string& text) {
  return std::fwrite(text.data(), 1, text.size(), stream) == text.size() && std::fflush(stream) == 0;
}

int MsLeft(SteadyClock::time_point deadline) {
  const auto left = std::chrono::ceil<milliseconds>(deadline - SteadyClock::now()).count();
  return left > 0 ? static_cast<int>(left) : 0;
}

// Waits for `events` on `fd` until `deadline`; false when it passed.
bool WaitFor(int fd, short events, SteadyClock::time_point deadline) {
  for (;;) {
    pollfd entry{fd, events, 0};
    const int ready = ::poll(&entry, 1, MsLeft(deadline));
    if (ready > 0) return true;
    if (ready == 0 || errno != EINTR) return false;
  }
}

Reply Failure(const std::string& error) { return {false, {}, error}; }

std::string SystemError(const std::string& what, int error) { return what + ": " + std::strerror(error); }

}  // namespace

Reply AskRelay(const std::string& socketPath, const std::string& requestLine, milliseconds limit) {
  const auto deadline = SteadyClock::now() + limit;
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (socketPath.empty() || socketPath.size() >= sizeof address.sun_path) {
    return Failure("cannot reach " + socketPath + ": the path is empty or too long for a socket");
  }
  std::memcpy(address.sun_path, socketPath.data(), socketPath.size());

  const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) return Failure(SystemError("cannot create a socket", errno));
  struct Closer {
    int fd;
    ~Closer() { ::close(fd); }
  } closer{fd};

  // A Unix socket connects at once or, its backlog full, refuses with EAGAIN
  // until a place frees: try again until the deadline.
  while (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    if (errno == EINTR) continue;
    if (errno != EAGAIN || MsLeft(deadline) == 0) return Failure(SystemError("cannot reach " + socketPath, errno));
    ::poll(nullptr, 0, 10);
  }

  std::string_view unsent = requestLine;
  while (!unsent.empty()) {
    const ssize_t sent = ::send(fd, unsent.data(), unsent.size(), MSG_NOSIGNAL);
    if (sent > 0) {
      unsent.remove_prefix(static_cast<size_t>(sent));
    } else if (sent < 0 && errno != EINTR && errno != EAGAIN) {
      return Failure(SystemError(socketPath + ": cannot send the request", errno));
    } else if (!WaitFor(fd, POLLOUT, deadline)) {
      return Failure(socketPath + ": the relay takes no request");
    }
  }

  Reply reply;
  char buffer[65536];
  for (;;) {
    const ssize_t got = ::recv(fd, buffer, sizeof buffer, 0);
    if (got > 0) {
      reply.answer.append(buffer, static_cast<size_t>(got));
      continue;
    }
    if (got == 0) break;
    if (errno == EINTR) continue;
    if (errno != EAGAIN) return Failure(SystemError(socketPath + ": answer cut short", errno));
    if (!WaitFor(fd, POLLIN, deadline)) {
      return Failure(socketPath + ": no answer within " + std::to_string(limit.count() / 1000) + " seconds");
    }
  }
  if (reply.answer.empty()) return Failure(socketPath + ": the relay closed without an answer");
  reply.reached = true;
  return reply;
}

bool StatusTable(const std::string& answer, const std::string& timestamp, std::string& table) {
  std::vector<std::string_view> lines;
  for (size_t at = 0; at < answer.size();) {
    const size_t end = answer.find('\n', at);
    if (end == std::string::npos) return false;  // every line ends in "\n"
    lines.emplace_back(answer.data() + at, end - at);
    at = end + 1;
  }
  JsonObject object;
  RelayFacts relay;
  if (lines.empty() || !ParseJsonObject(lines[0], object) || !ReadRelayStatus(object, relay)) return false;
  std::vector<ClientFacts> clients(lines.size() - 1);
  for (size_t i = 1; i < lines.size(); ++i) {
    if (!ParseJsonObject(lines[i], object) || !ReadClientStatus(object, clients[i - 1])) return false;
  }
  table = StatusTableText(timestamp, relay.clientCount, clients);
  return true;
}

int RunCtl(const Invocation& invocation, std::FILE* out, std::FILE* err) {
  std::string line = "status\n";
  if (invocation.request == Request::Metrics) line = "metrics\n";
  if (invocation.request == Request::Cut) line = "cut " + invocation.clientNumber + "\n";

  const Reply reply = AskRelay(invocation.socketPath, line, kAnswerLimit);
  if (!reply.reached) {
    Print(err, "veltor-ctl: " + reply.error + "\n");
    return kStatusNoAnswer;
  }
  if (reply.answer.starts_with("error:")) {
    Print(err, reply.answer);
    return kStatusErrorAnswer;
  }
  if (invocation.request != Request::Status || invocation.json) {
    return Print(out, reply.answer) ? kStatusOk : kStatusNoAnswer;
  }
  std::string table;
  if (!StatusTable(reply.answer, TimestampNow(), table)) {
    Print(err, "veltor-ctl: " + invocation.socketPath + ": the answer is not a status (see --json)\n");
    return kStatusNoAnswer;
  }
  return Print(out, table) ? kStatusOk : kStatusNoAnswer;
}

}  // namespace veltor::ctl
