// A control socket in a scratch directory with a stand-in for the relay loop
// that answers each request with a given handler as soon as the server
// raises the loop's wake. Header-only: it needs the product's ControlServer,
// which the kit's library does not link.
#pragma once

#include <atomic>
#include <functional>
#include <string>
#include <thread>
#include <utility>

#include "relay/ControlServer.h"
#include "tests/support/TempDir.h"

namespace veltor::testing {

class ControlRig {
 public:
  explicit ControlRig(ControlServer::Handler handler, ControlLimits limits = {})
      : handler_(std::move(handler)), server_(&loopWake_, limits) {}
  ~ControlRig() {
    stop_ = true;
    loopWake_.Raise();
    if (mainLoop_.joinable()) mainLoop_.join();
  }
  ControlRig(const ControlRig&) = delete;
  ControlRig& operator=(const ControlRig&) = delete;

  // False with Error() saying why when the socket could not be opened.
  bool Start() {
    if (!server_.Start(path_, error_)) return false;
    mainLoop_ = std::thread([this] {
      while (!stop_) {
        if (loopWake_.Wait(1000)) loopWake_.Drain();
        server_.AnswerPending(handler_);
      }
    });
    return true;
  }

  const std::string& Path() const { return path_; }
  const std::string& Error() const { return error_; }

 private:
  TempDir dir_;
  std::string path_ = dir_.Path() + "/control";
  std::string error_;
  ControlServer::Handler handler_;
  WakeSignal loopWake_;
  ControlServer server_;
  std::atomic<bool> stop_{false};
  std::thread mainLoop_;  // last: joined before the rest goes
};

}  // namespace veltor::testing
