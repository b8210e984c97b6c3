// The operator's status table as one text, from plain facts: what the S key
// prints, for readers that have the facts but not the table (veltor-ctl).
#pragma once

#include <string>
#include <vector>

#include "console/RelayFacts.h"

namespace veltor {

// "%s: %d clients:\n" with `timestamp` and `clientCount`; when there are
// clients the column header, then one row per record with "   (inactive)"
// where due.
std::string StatusTableText(const std::string& timestamp, int clientCount, const std::vector<ClientFacts>& clients);

}  // namespace veltor
