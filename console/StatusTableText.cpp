#include "console/StatusTableText.h"

#include "base/EventText.h"

namespace veltor {

std::string StatusTableText(const std::string& timestamp, int clientCount, const std::vector<ClientFacts>& clients) {
  std::string text = timestamp + ": " + std::to_string(clientCount) + " clients:\n";
  if (clientCount == 0) return text;
  text += " ##    Address                   Bytes      Duration      Queued\n";
  for (const ClientFacts& client : clients) {
    text += StatusRowText(client.number, client.address, client.bytes, client.seconds, client.queued);
    if (!client.active) text += "   (inactive)";
    text += "\n";
  }
  return text;
}

}  // namespace veltor
