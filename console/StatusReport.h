// The operator's status table: every record of the client table with its
// address, bytes delivered, time connected, bytes still queued and whether it
// has ended. Written to standard error; main thread, between passes.
#pragma once

#include "clients/ClientTable.h"

namespace veltor {

void PrintStatus(const ClientTable& table);

}  // namespace veltor
