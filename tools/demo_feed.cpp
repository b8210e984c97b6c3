// veltor-demo-feed: a small console-like server to try the relay against on one
// machine. It listens on 127.0.0.1, sends every connection a timestamped line
// once a second and answers every line a connection types with "echo: <line>".
// One thread, one poll() loop, non-blocking sockets; SIGINT or SIGTERM end it.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

namespace {

using SteadyClock = std::chrono::steady_clock;

constexpr long kDefaultPort = 7023;
constexpr auto kLineInterval = std::chrono::milliseconds(1000);
constexpr size_t kMaxBacklogBytes = 1 << 20;  // a reader this far behind is dropped
constexpr size_t kMaxLineBytes = 4096;        // a longer typed line is echoed in pieces
constexpr size_t kReadBytes = 2048;
constexpr int kAcceptsPerWakeup = 16;

volatile sig_atomic_t gStopRequested = 0;
void OnStopSignal(int) { gStopRequested = 1; }

// Owns one descriptor; closing happens here and nowhere else.
class Fd {
 public:
  explicit Fd(int fd = -1) : fd_(fd) {}
  ~Fd() { Reset(); }
  Fd(Fd&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }
  Fd& operator=(Fd&& other) noexcept {
    if (this != &other) { Reset(); fd_ = other.fd_; other.fd_ = -1; }
    return *this;
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int Get() const { return fd_; }
  void Reset() { if (fd_ >= 0) ::close(fd_); fd_ = -1; }

 private:
  int fd_;
};

struct Connection {
  Fd fd;
  std::string peer;     // "a.b.c.d:port", for the feed's own messages
  std::string pending;  // bytes the peer has not taken yet
  std::string typed;    // bytes typed since the last line end
  bool dead = false;
};

// Sends as much of the backlog as the socket takes now; the rest waits for POLLOUT.
void Flush(Connection& conn) {
  while (!conn.dead && !conn.pending.empty()) {
    const ssize_t n = ::send(conn.fd.Get(), conn.pending.data(), conn.pending.size(), MSG_NOSIGNAL);
    if (n > 0) { conn.pending.erase(0, static_cast<size_t>(n)); continue; }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
    conn.dead = true;
  }
}

// A peer that never reads must not make the feed grow without bound.
void Queue(Connection& conn, const std::string& text) {
  if (conn.dead) return;
  conn.pending += text;
  if (conn.pending.size() > kMaxBacklogBytes) { conn.dead = true; return; }
  Flush(conn);
}

void Echo(Connection& conn) {
  if (!conn.typed.empty() && conn.typed.back() == '\r') conn.typed.pop_back();
  Queue(conn, "echo: " + conn.typed + "\r\n");
  conn.typed.clear();
}

// One read per wake-up, so a chatty peer cannot starve the others or the clock.
void ReadFrom(Connection& conn) {
  char buffer[kReadBytes];
  const ssize_t n = ::recv(conn.fd.Get(), buffer, sizeof buffer, 0);
  if (n == 0) { conn.dead = true; return; }
  if (n < 0) {
    if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) conn.dead = true;
    return;
  }
  for (ssize_t i = 0; i < n && !conn.dead; ++i) {
    if (buffer[i] == '\n') { Echo(conn); continue; }
    conn.typed.push_back(buffer[i]);
    if (conn.typed.size() >= kMaxLineBytes) Echo(conn);
  }
}

std::string FeedLine(unsigned long number) {
  static const char* const kStates[] = {"all systems nominal", "link up, no alarms", "temperature 21 C, fans normal"};
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  char stamp[32];
  std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &local);
  char line[128];
  std::snprintf(line, sizeof line, "%s demo-feed: line %lu - %s\r\n", stamp, number, kStates[(number - 1) % 3]);
  return line;
}

void AcceptPending(int listenFd, std::vector<Connection>& conns) {
  for (int i = 0; i < kAcceptsPerWakeup; ++i) {
    sockaddr_in peer{};
    socklen_t peerLen = sizeof peer;
    Fd fd(::accept4(listenFd, reinterpret_cast<sockaddr*>(&peer), &peerLen, SOCK_NONBLOCK | SOCK_CLOEXEC));
    if (fd.Get() < 0) return;  // EAGAIN: nothing more pending; other errors: try next wake-up
    char text[INET_ADDRSTRLEN] = "?";
    ::inet_ntop(AF_INET, &peer.sin_addr, text, sizeof text);
    Connection conn;
    conn.fd = std::move(fd);
    conn.peer = std::string(text) + ":" + std::to_string(ntohs(peer.sin_port));
    std::fprintf(stderr, "demo feed: connection from %s\n", conn.peer.c_str());
    conns.push_back(std::move(conn));
  }
}

}  // namespace

int main(int argc, char** argv) {
  long port = kDefaultPort;
  if (argc > 2 || (argc == 2 && ((port = std::strtol(argv[1], nullptr, 10)) < 1 || port > 65535))) {
    std::fprintf(stderr, "Usage: veltor-demo-feed [PORT]   (default %ld)\n", kDefaultPort);
    return 2;
  }
  ::signal(SIGPIPE, SIG_IGN);  // a peer that vanished must cost a send error, not the process
  struct sigaction stop{};
  stop.sa_handler = OnStopSignal;
  sigemptyset(&stop.sa_mask);
  ::sigaction(SIGINT, &stop, nullptr);
  ::sigaction(SIGTERM, &stop, nullptr);

  Fd listener(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
  const int yes = 1;
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(port));
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (listener.Get() < 0 || ::setsockopt(listener.Get(), SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes) != 0 ||
      ::bind(listener.Get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
      ::listen(listener.Get(), 16) != 0) {
    std::fprintf(stderr, "demo feed: cannot listen on 127.0.0.1:%ld: %s\n", port, std::strerror(errno));
    return 1;
  }
  std::fprintf(stderr, "demo feed listening on 127.0.0.1:%ld\n", port);

  std::vector<Connection> conns;
  unsigned long lineNumber = 0;
  auto nextLine = SteadyClock::now() + kLineInterval;
  while (!gStopRequested) {
    std::vector<pollfd> fds{{listener.Get(), POLLIN, 0}};
    for (const Connection& conn : conns)
      fds.push_back({conn.fd.Get(), static_cast<short>(POLLIN | (conn.pending.empty() ? 0 : POLLOUT)), 0});
    // The wait is bounded by the next feed line, never more than one interval.
    const auto untilLine = std::chrono::duration_cast<std::chrono::milliseconds>(nextLine - SteadyClock::now());
    const int waitMs = static_cast<int>(std::clamp<long long>(untilLine.count(), 0, kLineInterval.count()));
    if (::poll(fds.data(), fds.size(), waitMs) < 0 && errno != EINTR) {
      std::fprintf(stderr, "demo feed: poll failed: %s\n", std::strerror(errno));
      return 1;
    }
    for (size_t i = 1; i < fds.size(); ++i) {  // conns[i - 1]; new ones are appended only below
      Connection& conn = conns[i - 1];
      if (fds[i].revents & POLLIN) ReadFrom(conn);
      if (fds[i].revents & POLLOUT) Flush(conn);
      if (fds[i].revents & (POLLERR | POLLNVAL) || (fds[i].revents & POLLHUP && !(fds[i].revents & POLLIN)))
        conn.dead = true;
    }
    if (fds[0].revents & POLLIN) AcceptPending(listener.Get(), conns);

    const auto now = SteadyClock::now();
    if (now >= nextLine) {
      const std::string line = FeedLine(++lineNumber);
      for (Connection& conn : conns) Queue(conn, line);
      nextLine += kLineInterval;
      if (nextLine <= now) nextLine = now + kLineInterval;  // after a suspend, do not burst
    }
    std::erase_if(conns, [](const Connection& conn) {
      if (conn.dead) std::fprintf(stderr, "demo feed: connection from %s closed\n", conn.peer.c_str());
      return conn.dead;
    });
  }
  std::fprintf(stderr, "demo feed stopped\n");
  return 0;
}
