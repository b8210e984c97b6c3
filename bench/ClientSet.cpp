#include "bench/ClientSet.h"

#include <sys/epoll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>

#include "bench/Abort.h"

namespace veltor::bench {

struct ClientSet::Client {
  testing::OwnedFd fd;
  std::atomic<uint64_t> received{0};  // bytes
  std::atomic<uint64_t> errors{0};
  std::atomic<bool> closed{false};
  // Touched by the reader thread only.
  uint8_t partial[kRecordBytes] = {};
  size_t partialLength = 0;
  bool sequenceKnown = false;
  uint64_t nextSequence = 0;
};

ClientSet::ClientSet() : epoll_(::epoll_create1(EPOLL_CLOEXEC)) {
  if (epoll_.get() >= 0) reader_ = std::thread([this] { ReadLoop(); });
}

ClientSet::~ClientSet() { StopReading(); }

bool ClientSet::Add(testing::OwnedFd fd) {
  auto client = std::make_unique<Client>();
  client->fd = std::move(fd);
  epoll_event event{};
  event.events = EPOLLIN | EPOLLRDHUP;
  event.data.ptr = client.get();
  if (epoll_.get() < 0 || ::epoll_ctl(epoll_.get(), EPOLL_CTL_ADD, client->fd.get(), &event) != 0) {
    return Fail(std::string("epoll: ") + std::strerror(errno));
  }
  clients_.push_back(std::move(client));
  return true;
}

uint64_t ClientSet::MinReceived() const {
  uint64_t least = UINT64_MAX;
  for (const auto& client : clients_) least = std::min(least, client->received.load());
  return clients_.empty() ? 0 : least;
}

uint64_t ClientSet::TotalReceived() const {
  uint64_t total = 0;
  for (const auto& client : clients_) total += client->received.load();
  return total;
}

std::vector<uint64_t> ClientSet::Received() const {
  std::vector<uint64_t> counts;
  for (const auto& client : clients_) counts.push_back(client->received.load());
  return counts;
}

uint64_t ClientSet::Errors() const {
  uint64_t total = 0;
  for (const auto& client : clients_) total += client->errors.load();
  return total;
}

size_t ClientSet::Closed() const {
  return static_cast<size_t>(
      std::count_if(clients_.begin(), clients_.end(), [](const auto& client) { return client->closed.load(); }));
}

void ClientSet::StartRecording() {
  std::lock_guard<std::mutex> guard(samplesLock_);
  samples_.clear();
  recording_ = true;
}

std::vector<Ns> ClientSet::StopRecording() {
  std::lock_guard<std::mutex> guard(samplesLock_);
  recording_ = false;
  return std::move(samples_);
}

void ClientSet::StopReading() {
  stop_.store(true);
  if (reader_.joinable()) reader_.join();
}

void ClientSet::ReadLoop() {
  std::vector<uint8_t> buffer(64 * 1024);
  epoll_event events[128];
  while (!stop_.load()) {
    const int ready = ::epoll_wait(epoll_.get(), events, 128, 50);
    for (int i = 0; i < ready; ++i) Drain(*static_cast<Client*>(events[i].data.ptr), buffer);
  }
}

void ClientSet::Drain(Client& client, std::vector<uint8_t>& buffer) {
  for (;;) {
    const ssize_t got = ::recv(client.fd.get(), buffer.data(), buffer.size(), 0);
    if (got > 0) {
      Consume(client, buffer.data(), static_cast<size_t>(got), NowNs());
      if (static_cast<size_t>(got) < buffer.size()) return;
      continue;
    }
    if (got < 0 && errno == EINTR) continue;
    if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
    client.closed.store(true);
    ::epoll_ctl(epoll_.get(), EPOLL_CTL_DEL, client.fd.get(), nullptr);
    return;
  }
}

void ClientSet::Consume(Client& client, const uint8_t* bytes, size_t length, Ns arrivedAt) {
  client.received.fetch_add(length);
  while (length > 0) {
    const size_t take = std::min(length, kRecordBytes - client.partialLength);
    std::memcpy(client.partial + client.partialLength, bytes, take);
    client.partialLength += take;
    bytes += take;
    length -= take;
    if (client.partialLength == kRecordBytes) {
      client.partialLength = 0;
      Check(client, client.partial, arrivedAt);
    }
  }
}

void ClientSet::Check(Client& client, const uint8_t* record, Ns arrivedAt) {
  if (!RecordMarked(record)) {
    client.errors.fetch_add(1);
    return;
  }
  const uint64_t sequence = RecordSequence(record);
  if (client.sequenceKnown && sequence != client.nextSequence) client.errors.fetch_add(1);
  client.sequenceKnown = true;
  client.nextSequence = sequence + 1;
  if (!RecordIsProbe(record)) return;
  const Ns latency = arrivedAt - RecordSentAt(record);
  std::lock_guard<std::mutex> guard(samplesLock_);
  if (recording_) samples_.push_back(latency);
}

}  // namespace veltor::bench
