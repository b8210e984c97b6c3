#include "console/ServiceStatusText.h"

namespace veltor {

std::string ServiceStatusText(const RelayFacts& relay) {
  std::string text = relay.serverConnected ? "server connected, " : "server not connected, ";
  text += relay.listening ? "listening on port " + std::to_string(relay.listenPort) : std::string("not listening");
  text += ", " + std::to_string(relay.clientCount) + (relay.clientCount == 1 ? " client" : " clients");
  return text;
}

}  // namespace veltor
