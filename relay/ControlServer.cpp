#include "relay/ControlServer.h"

#include <algorithm>

#include "base/Clock.h"
#include "base/StartThread.h"
#include "console/ControlRequest.h"
#include "platform/SocketSetWait.h"

namespace veltor {

namespace {

// Unread bytes at close would make the client's read of the answer end in a
// reset instead of its end: at most this many are read away first.
constexpr int kCloseDrainReads = 4;
constexpr size_t kReadBytes = 512;

}  // namespace

struct ControlServer::Connection {
  enum class Phase { Reading, Waiting, Answering, Done };

  SocketHandle socket = kNoSocket;
  Phase phase = Phase::Reading;
  uint64_t id = 0;
  std::string bytes;  // the request as it arrives, then the answer
  size_t sent = 0;
  uint32_t phaseStartTick = 0;
  int phaseLimitMs = 0;

  // Waiting for its socket rather than for the main thread.
  bool OnSocket() const { return phase == Phase::Reading || phase == Phase::Answering; }
  void Enter(Phase next, int limitMs) {
    phase = next;
    phaseStartTick = TickNow();
    phaseLimitMs = limitMs;
  }
  int MsLeft(uint32_t nowTick) const {
    const uint32_t passed = nowTick - phaseStartTick;
    return passed >= static_cast<uint32_t>(phaseLimitMs) ? 0 : phaseLimitMs - static_cast<int>(passed);
  }
  void Close() {
    if (phase == Phase::Done) return;
    uint8_t unread[kReadBytes];
    for (int i = 0; i < kCloseDrainReads; ++i) {
      if (ReceiveNow(socket, unread, sizeof unread).kind != IoOutcome::Kind::Done) break;
    }
    CloseSocket(socket);
    socket = kNoSocket;
    phase = Phase::Done;
  }
};

ControlServer::ControlServer(WakeSignal* loopWake, ControlLimits limits) : loopWake_(loopWake), limits_(limits) {}

ControlServer::~ControlServer() {
  stop_ = true;
  threadWake_.Raise();
  if (thread_.joinable()) thread_.join();
}

bool ControlServer::Start(const std::string& path, std::string& error) {
  if (!listener_.Open(path, kControlBacklog, error)) return false;
  if (!StartThread(thread_, [this] { Run(); })) {
    error = path + ": cannot start the control socket's thread";
    return false;
  }
  return true;
}

void ControlServer::AnswerPending(const Handler& handler) {
  if (!requestsWaiting_.load(std::memory_order_acquire)) return;
  std::vector<Exchange> taken;
  {
    std::lock_guard<std::mutex> lock(exchangeLock_);
    taken.swap(requests_);
    requestsWaiting_ = false;
  }
  for (Exchange& exchange : taken) exchange.text = handler(exchange.text);
  {
    std::lock_guard<std::mutex> lock(exchangeLock_);
    for (Exchange& exchange : taken) answers_.push_back(std::move(exchange));
  }
  threadWake_.Raise();
}

void ControlServer::Run() {
  std::vector<Connection> connections;
  std::vector<SocketInterest> interests;
  while (!stop_) {
    TakeAnswers(connections);
    std::erase_if(connections, [](const Connection& c) { return c.phase == Connection::Phase::Done; });
    const uint32_t now = TickNow();
    int waitMs = kControlIdleWaitMs;
    interests.clear();
    const bool room = connections.size() < kControlClientsMax;
    if (room) interests.push_back({listener_.Handle(), Readiness::Read});
    for (const Connection& connection : connections) {
      waitMs = std::min(waitMs, connection.MsLeft(now));
      if (!connection.OnSocket()) continue;
      const bool reading = connection.phase == Connection::Phase::Reading;
      interests.push_back({connection.socket, reading ? Readiness::Read : Readiness::Write});
    }
    if (WaitForSockets(interests, waitMs, &threadWake_) == WaitOutcome::Ready) {
      // The interests name each connection's socket once, in this order.
      size_t next = room ? 1 : 0;
      for (Connection& connection : connections) {
        if (!connection.OnSocket()) continue;
        if (!interests[next++].ready) continue;
        if (connection.phase == Connection::Phase::Reading) {
          Read(connection);
        } else {
          Write(connection);
        }
      }
      if (room && interests[0].ready) Accept(connections);
    }
    const uint32_t after = TickNow();
    for (Connection& connection : connections) {
      if (connection.phase != Connection::Phase::Done && connection.MsLeft(after) == 0) connection.Close();
    }
  }
  for (Connection& connection : connections) connection.Close();
}

void ControlServer::Accept(std::vector<Connection>& connections) {
  while (connections.size() < kControlClientsMax) {
    SocketHandle accepted = kNoSocket;
    if (AcceptConnection(listener_.Handle(), accepted).kind != IoOutcome::Kind::Done) return;
    Connection connection;
    connection.socket = accepted;
    connection.id = nextId_++;
    connection.Enter(Connection::Phase::Reading, limits_.requestMs);
    connections.push_back(std::move(connection));
  }
}

void ControlServer::Read(Connection& connection) {
  uint8_t chunk[kReadBytes];
  // One byte past the longest line tells a line that is too long.
  const size_t room = std::min(sizeof chunk, kControlRequestMaxBytes + 1 - connection.bytes.size());
  const IoOutcome received = ReceiveNow(connection.socket, chunk, room);
  if (received.kind == IoOutcome::Kind::WouldBlock) return;
  if (received.kind != IoOutcome::Kind::Done) {
    // A request without its line end still counts when the client ended its side.
    if (received.kind == IoOutcome::Kind::Closed && !connection.bytes.empty()) {
      HandOver(connection, std::move(connection.bytes));
    } else {
      connection.Close();
    }
    return;
  }
  connection.bytes.append(reinterpret_cast<const char*>(chunk), received.bytes);
  const size_t end = connection.bytes.find('\n');
  if (end != std::string::npos) {
    HandOver(connection, connection.bytes.substr(0, end));
  } else if (connection.bytes.size() > kControlRequestMaxBytes) {
    connection.bytes = RequestTooLongAnswer(kControlRequestMaxBytes);
    connection.sent = 0;
    connection.Enter(Connection::Phase::Answering, limits_.answerMs);
  }
}

void ControlServer::HandOver(Connection& connection, std::string request) {
  if (!request.empty() && request.back() == '\r') request.pop_back();
  connection.bytes.clear();
  connection.Enter(Connection::Phase::Waiting, limits_.answerMs);
  {
    std::lock_guard<std::mutex> lock(exchangeLock_);
    requests_.push_back({connection.id, std::move(request)});
    requestsWaiting_.store(true, std::memory_order_release);
  }
  if (loopWake_ != nullptr) loopWake_->Raise();
}

void ControlServer::TakeAnswers(std::vector<Connection>& connections) {
  std::vector<Exchange> answers;
  {
    std::lock_guard<std::mutex> lock(exchangeLock_);
    answers.swap(answers_);
  }
  for (Exchange& answer : answers) {
    // A client dropped meanwhile has no connection left: its answer goes.
    for (Connection& connection : connections) {
      if (connection.id != answer.id || connection.phase != Connection::Phase::Waiting) continue;
      connection.bytes = std::move(answer.text);
      connection.sent = 0;
      connection.Enter(Connection::Phase::Answering, limits_.answerMs);
      Write(connection);  // most answers fit the socket at once
    }
  }
}

void ControlServer::Write(Connection& connection) {
  while (connection.sent < connection.bytes.size()) {
    const auto* data = reinterpret_cast<const uint8_t*>(connection.bytes.data()) + connection.sent;
    const IoOutcome outcome = SendNow(connection.socket, data, connection.bytes.size() - connection.sent);
    if (outcome.kind == IoOutcome::Kind::WouldBlock) return;
    if (outcome.kind != IoOutcome::Kind::Done) break;
    connection.sent += outcome.bytes;
  }
  connection.Close();
}

}  // namespace veltor
