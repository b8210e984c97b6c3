// The control socket: a Unix stream socket where a local program sends one
// request line and gets one answer, after which the relay closes. A thread
// of its own accepts, reads and writes, so a client that sends nothing or
// never reads holds neither the relay loop nor another client; the answers
// themselves are made on the main thread, which owns what they report.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/LocalSocket.h"
#include "platform/WakeSignal.h"

namespace veltor {

// Clients served at once; more wait in the listen backlog.
inline constexpr size_t kControlClientsMax = 4;
inline constexpr int kControlBacklog = 16;
// A request line's longest text, its line end not counted.
inline constexpr size_t kControlRequestMaxBytes = 256;
// A client has this long from its accept to send its whole request line...
inline constexpr int kControlRequestMs = 2000;
// ...and the main thread this long to answer, and the client again this
// long to take the whole answer.
inline constexpr int kControlAnswerMs = 2000;
// The thread's longest wait when nothing is due, so even a wake signal the
// system could not make leaves every wait finite.
inline constexpr int kControlIdleWaitMs = 1000;

struct ControlLimits {
  int requestMs = kControlRequestMs;
  int answerMs = kControlAnswerMs;
};

class ControlServer {
 public:
  // Makes the answer to one request line (line end removed); main thread.
  using Handler = std::function<std::string(const std::string& request)>;

  // `loopWake` (may be null) is raised whenever a request waits for AnswerPending.
  explicit ControlServer(WakeSignal* loopWake, ControlLimits limits = {});
  // Stops and joins the thread (within one of its waits), drops the clients,
  // closes the socket and removes its file.
  ~ControlServer();
  ControlServer(const ControlServer&) = delete;
  ControlServer& operator=(const ControlServer&) = delete;

  // Listens at `path` (LocalListenSocket::Open) and starts the thread. False
  // with `error` a sentence naming the path. Main thread, once.
  bool Start(const std::string& path, std::string& error);

  // Answers every request that has come in, each with `handler`, and hands
  // the answers to the thread. One atomic load when none waits. Main thread.
  void AnswerPending(const Handler& handler);

 private:
  struct Exchange {
    uint64_t id = 0;
    std::string text;  // the request, then its answer
  };
  struct Connection;

  void Run();
  void Accept(std::vector<Connection>& connections);
  void Read(Connection& connection);
  void Write(Connection& connection);
  void TakeAnswers(std::vector<Connection>& connections);
  void HandOver(Connection& connection, std::string request);

  WakeSignal* loopWake_;
  const ControlLimits limits_;
  LocalListenSocket listener_;
  WakeSignal threadWake_;  // stop, or answers to write
  std::atomic<bool> stop_{false};
  std::atomic<bool> requestsWaiting_{false};
  std::mutex exchangeLock_;  // guards requests_ and answers_
  std::vector<Exchange> requests_;
  std::vector<Exchange> answers_;
  uint64_t nextId_ = 1;  // the thread's
  std::thread thread_;   // declared last: started when all else is ready
};

}  // namespace veltor
