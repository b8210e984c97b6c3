#include "tools/common/HostLookup.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>

namespace veltor::tools {

namespace {

// Shared by the caller and the look-up thread, which may outlive the call.
struct AnswerSlot {
  std::mutex mutex;
  std::condition_variable done;
  bool finished = false;
  HostLookup answer;
};

HostLookup Resolve(const std::string& host) {
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* answer = nullptr;
  const int error = ::getaddrinfo(host.c_str(), nullptr, &hints, &answer);
  HostLookup result;
  if (error != 0 || answer == nullptr) {
    result.reason = error != 0 ? ::gai_strerror(error) : "no address";
    return result;
  }
  result.outcome = HostLookup::Outcome::kFound;
  result.address = reinterpret_cast<const sockaddr_in*>(answer->ai_addr)->sin_addr.s_addr;
  ::freeaddrinfo(answer);
  return result;
}

}  // namespace

HostLookup LookUpHost(const std::string& host, std::chrono::milliseconds limit) {
  in_addr dotted{};
  if (::inet_pton(AF_INET, host.c_str(), &dotted) == 1) {
    HostLookup result;
    result.outcome = HostLookup::Outcome::kFound;
    result.address = dotted.s_addr;
    return result;
  }
  // getaddrinfo has no time-out of its own, so it runs on a thread that is left
  // behind when the answer is late; the process ends soon after anyway.
  auto pending = std::make_shared<AnswerSlot>();
  std::thread([pending, host] {
    HostLookup answer = Resolve(host);
    const std::lock_guard<std::mutex> lock(pending->mutex);
    pending->answer = std::move(answer);
    pending->finished = true;
    pending->done.notify_all();
  }).detach();

  std::unique_lock<std::mutex> lock(pending->mutex);
  if (!pending->done.wait_for(lock, limit, [&] { return pending->finished; })) {
    HostLookup late;
    late.outcome = HostLookup::Outcome::kTimedOut;
    return late;
  }
  return pending->answer;
}

HostResolver TimeBoundResolver(std::chrono::milliseconds limit) {
  return [limit](const std::string& host) { return LookUpHost(host, limit); };
}

}  // namespace veltor::tools
