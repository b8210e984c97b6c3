#include "console/StatusJson.h"

#include <charconv>
#include <limits>

#include "base/Ipv4.h"

namespace veltor {

namespace {

// Exactly four decimal octets, as DottedAddress writes them.
bool ReadAddress(const JsonObject& object, std::string_view key, uint32_t& address) {
  std::string dotted;
  if (!JsonText(object, key, dotted)) return false;
  const char* at = dotted.data();
  const char* end = dotted.data() + dotted.size();
  uint32_t value = 0;
  for (int octet = 0; octet < 4; ++octet) {
    if (octet > 0 && (at == end || *at++ != '.')) return false;
    unsigned part = 0;
    const auto [stop, error] = std::from_chars(at, end, part);
    if (error != std::errc() || part > 255 || stop - at > 3) return false;
    value = value << 8 | part;
    at = stop;
  }
  if (at != end) return false;
  address = value;
  return true;
}

template <class Integer>
bool ReadBounded(const JsonObject& object, std::string_view key, Integer& value) {
  int64_t wide = 0;
  if (!JsonNumber(object, key, wide) || wide < std::numeric_limits<Integer>::min() ||
      wide > std::numeric_limits<Integer>::max()) {
    return false;
  }
  value = static_cast<Integer>(wide);
  return true;
}

}  // namespace

std::string RelayStatusLine(const RelayFacts& relay) {
  return JsonLineWriter()
      .Text("server", relay.serverHost)
      .Number("serverPort", relay.serverPort)
      .Flag("serverConnected", relay.serverConnected)
      .Text("listenAddress", DottedAddress(relay.listenAddress))
      .Number("listenPort", relay.listenPort)
      .Flag("listening", relay.listening)
      .Number("clients", relay.clientCount)
      .Number("maxClients", relay.maxClients)
      .Number("uptime", relay.secondsSinceStart)
      .Line();
}

std::string ClientStatusLine(const ClientFacts& client) {
  return JsonLineWriter()
      .Number("n", client.number)
      .Text("address", DottedAddress(client.address))
      .Text("name", client.name)
      .Count("bytes", client.bytes)
      .Number("seconds", client.seconds)
      .Number("queued", client.queued)
      .Flag("active", client.active)
      .Flag("passRx", client.passRx)
      .Number("timeLimit", client.timeLimit)
      .Line();
}

std::string StatusLines(const RelayFacts& relay, const std::vector<ClientFacts>& clients) {
  std::string lines = RelayStatusLine(relay);
  for (const ClientFacts& client : clients) lines += ClientStatusLine(client);
  return lines;
}

bool ReadRelayStatus(const JsonObject& object, RelayFacts& relay) {
  return JsonText(object, "server", relay.serverHost) && ReadBounded(object, "serverPort", relay.serverPort) &&
         JsonFlag(object, "serverConnected", relay.serverConnected) &&
         ReadAddress(object, "listenAddress", relay.listenAddress) &&
         ReadBounded(object, "listenPort", relay.listenPort) && JsonFlag(object, "listening", relay.listening) &&
         ReadBounded(object, "clients", relay.clientCount) && ReadBounded(object, "maxClients", relay.maxClients) &&
         JsonNumber(object, "uptime", relay.secondsSinceStart);
}

bool ReadClientStatus(const JsonObject& object, ClientFacts& client) {
  return ReadBounded(object, "n", client.number) && ReadAddress(object, "address", client.address) &&
         JsonText(object, "name", client.name) && JsonCount(object, "bytes", client.bytes) &&
         JsonNumber(object, "seconds", client.seconds) && JsonNumber(object, "queued", client.queued) &&
         JsonFlag(object, "active", client.active) && JsonFlag(object, "passRx", client.passRx) &&
         ReadBounded(object, "timeLimit", client.timeLimit);
}

}  // namespace veltor
