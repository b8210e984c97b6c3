// The one line the service manager shows for the relay (systemctl status):
// its endpoints and how many clients it has.
#pragma once

#include <string>

#include "console/RelayFacts.h"

namespace veltor {

// "server connected, listening on port 7024, 3 clients"
// "server not connected, not listening, 1 client"
std::string ServiceStatusText(const RelayFacts& relay);

}  // namespace veltor
