// A resolver the test controls: names and addresses from a table, no name
// service asked, and look-ups that can be made to hang like a dead name
// server until the test lets them go.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <type_traits>

#include "net/Resolver.h"

namespace veltor::testing {

class FakeResolver final : public Resolver {
 public:
  // Lets every hung look-up go and waits for them: look-up threads call into
  // this object, so it must outlive them.
  ~FakeResolver() override {
    std::unique_lock<std::mutex> guard(lock_);
    released_ = true;
    changed_.notify_all();
    changed_.wait(guard, [this] { return inFlight_ == 0; });
  }

  std::map<std::string, uint32_t> hosts;  // name to address, network order
  std::map<uint32_t, std::string> names;  // address (host order) to name
  // Each look-up first hangs this long, or until the resolver is destroyed.
  std::chrono::milliseconds hang{0};

  uint32_t HostAddress(const std::string& name) override {
    return Answer([&] {
      const auto found = hosts.find(name);
      return found == hosts.end() ? 0xFFFFFFFFu : found->second;
    });
  }
  std::string PeerName(uint32_t address) override {
    return Answer([&] {
      const auto found = names.find(address);
      return found == names.end() ? std::string() : found->second;
    });
  }

 private:
  // Hangs, then reads the table, all while counted in flight: the destructor
  // cannot finish before the last member access is done.
  template <class Lookup>
  std::invoke_result_t<Lookup> Answer(Lookup lookup) {
    std::unique_lock<std::mutex> guard(lock_);
    ++inFlight_;
    changed_.wait_for(guard, hang, [this] { return released_; });
    auto answer = lookup();
    --inFlight_;
    changed_.notify_all();
    return answer;
  }

  std::mutex lock_;
  std::condition_variable changed_;
  bool released_ = false;
  int inFlight_ = 0;
};

}  // namespace veltor::testing
