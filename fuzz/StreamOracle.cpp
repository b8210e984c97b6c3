#include "StreamOracle.h"

#include <algorithm>
#include <climits>

#include "FuzzSupport.h"
#include "base/Constants.h"
#include "tests/support/Loopback.h"

namespace veltor::fuzz {

uint8_t ServerByte(size_t position) {
  uint64_t x = position + 0x9E3779B97F4A7C15ull;
  x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
  x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
  return static_cast<uint8_t>(x ^ (x >> 31));
}

void ServerOutput::Continuations(size_t position, std::vector<size_t>& out) const {
  out.push_back(position);
  for (const Segment& segment : segments) {
    const size_t end = segment.start + segment.length;
    if (position < segment.start || position > end) continue;
    if (!segment.mayBeCut || position == end) continue;
    position = end;
    out.push_back(position);
  }
}

size_t Greeting::Length() const {
  size_t total = 0;
  for (const std::string& text : texts) total += text.size() + kTextFrameOverheadBytes;
  return total;
}

Policy ExpectedPolicy(const RelaySettings& settings, int count, bool& passRx) {
  if (count >= settings.maxClients) return Policy::Denied;
  for (const MaskRule& rule : settings.rules) {
    if ((veltor::testing::kLoopbackAddress & rule.mask) != rule.address) continue;
    if (!rule.allow || (count > 0 && !rule.dupeOK)) return Policy::Denied;
    passRx = rule.passRx;
    if (rule.timeLimit == 0 || rule.timeLimit == INT32_MAX) return Policy::NeverCut;
    if (rule.timeLimit < 0) return Policy::AlwaysCut;
    return Policy::MaybeCut;  // one second: the cut depends on when the second turns
  }
  return Policy::Denied;
}

namespace {

// Frames in order: type, length, any tick, the text, a zero, the checksum.
// Checks as much as has arrived.
void CheckGreeting(const Greeting& greeting, const Client& client) {
  size_t offset = 0;
  const std::vector<uint8_t>& got = client.received;
  for (const std::string& text : greeting.texts) {
    const size_t length = text.size() + kTextFrameOverheadBytes;
    const size_t available = got.size() > offset ? std::min(length, got.size() - offset) : 0;
    const uint8_t* frame = got.data() + offset;
    if (available > 0) FUZZ_CHECK(frame[0] == kTextFrameType);
    if (available > 1) FUZZ_CHECK(frame[1] == (length & 0xFF));
    if (available > 2) FUZZ_CHECK(frame[2] == (length >> 8));
    for (size_t i = 7; i < std::min(available, 7 + text.size()); ++i) {
      FUZZ_CHECK(frame[i] == static_cast<uint8_t>(text[i - 7]) || !"greeting text differs");
    }
    if (available < length) return;
    FUZZ_CHECK(frame[length - 3] == 0);
    uint32_t sum = 0;
    for (size_t i = 0; i + 2 < length; ++i) sum += frame[i];
    FUZZ_CHECK((frame[length - 2] | (frame[length - 1] << 8)) == static_cast<int>(sum & 0xFFFFu));
    offset += length;
  }
}

// The positions the client's next byte of server data may come from.
std::vector<size_t> NextPositions(const ServerOutput& stream, const Client& client) {
  std::vector<size_t> from;
  if (!client.dataStarted) {
    for (size_t p = 0; p <= client.serverPositionAtAdmission; ++p) stream.Continuations(p, from);
  } else {
    for (size_t p : client.candidates) stream.Continuations(p, from);
  }
  return from;
}

bool ReachedEnd(const ServerOutput& stream, const Client& client) {
  const std::vector<size_t> reach = NextPositions(stream, client);
  return std::find(reach.begin(), reach.end(), stream.bytes.size()) != reach.end();
}

}  // namespace

void CheckReceived(const ServerOutput& stream, const Greeting& greeting, Client& client) {
  if (client.policy == Policy::Denied) {
    FUZZ_CHECK(client.received.empty() || !"a denied client received data");
    return;
  }
  const size_t greetingLength = greeting.Length();
  CheckGreeting(greeting, client);
  if (client.ended) {
    if (client.received.size() < greetingLength) {
      Trace("client fd %d ended after %zu of %zu greeting bytes\n", client.fd, client.received.size(), greetingLength);
    }
    FUZZ_CHECK(client.received.size() >= greetingLength || !"a client's greeting was cut short");
    FUZZ_CHECK(client.policy != Policy::NeverCut || !"the relay ended a client with no time limit");
  }
  for (; client.checkedBytes < client.received.size(); ++client.checkedBytes) {
    if (client.checkedBytes < greetingLength) continue;
    const uint8_t byte = client.received[client.checkedBytes];
    std::vector<size_t> next;
    for (size_t p : NextPositions(stream, client)) {
      if (p < stream.bytes.size() && stream.bytes[p] == byte) next.push_back(p + 1);
    }
    std::sort(next.begin(), next.end());
    next.erase(std::unique(next.begin(), next.end()), next.end());
    FUZZ_CHECK(!next.empty() || !"client data is not a contiguous slice of the server's stream");
    client.candidates.swap(next);
    client.dataStarted = true;
  }
}

bool Settled(const ServerOutput& stream, const Greeting& greeting, const Client& client) {
  if (client.closedByUs) return true;
  if (client.policy == Policy::Denied) return client.ended;
  if (client.received.size() < greeting.Length()) return false;
  switch (client.policy) {
    case Policy::AlwaysCut:
      return client.ended;
    case Policy::MaybeCut:
      return client.ended || ReachedEnd(stream, client);
    default:
      return ReachedEnd(stream, client);
  }
}

void CheckUpstream(const std::vector<Client>& clients, const std::vector<uint8_t>& upstream, bool final) {
  size_t allowed = 0;
  const Client* only = nullptr;
  int passing = 0;
  for (const Client& client : clients) {
    if (client.policy == Policy::Denied || !client.passRx) continue;
    allowed += client.sent.size();
    only = &client;
    ++passing;
  }
  FUZZ_CHECK(upstream.size() <= allowed || !"the server received data no pass-through client sent");
  if (!final || passing != 1) return;
  size_t at = 0;
  for (uint8_t byte : upstream) {
    while (at < only->sent.size() && only->sent[at] != byte) ++at;
    FUZZ_CHECK(at < only->sent.size() || !"the server received a client's data out of order");
    ++at;
  }
}

}  // namespace veltor::fuzz
