#include "console/StatusReport.h"

#include <cinttypes>

#include "base/Clock.h"
#include "base/Ipv4.h"
#include "base/Output.h"
#include "base/Timestamp.h"

namespace veltor {

void PrintStatus(const ClientTable& table) {
  LogErr("%s: %d clients:\n", TimestampNow().c_str(), table.Count());
  if (table.Count() == 0) return;
  LogErr(" ##    Address                   Bytes      Duration      Queued\n");

  int number = 0;
  for (const auto& record : table.All()) {
    ++number;
    // Each field the worker may change is read once, without the record's locks.
    const int64_t elapsed = WallNow() - record->startTime.load();
    const uint64_t sent = record->bytesSent.load();
    const int64_t queued = record->queuedBytes.load();
    const bool inactive = !record->active.load() || !record->holdsSocket.load();
    const uint32_t address = record->address;
    LogErr("%3d.    %3d.%3d.%3d.%3d      %9" PRId64 "    %4" PRId64 ":%02" PRId64 ":%02" PRId64 "    %8" PRId64, number,
           Octet(address, 0), Octet(address, 1), Octet(address, 2), Octet(address, 3), static_cast<int64_t>(sent),
           elapsed / 3600, (elapsed / 60) % 60, elapsed % 60, queued);
    if (inactive) LogErr("   (inactive)");
    LogErr("\n");
  }
}

}  // namespace veltor
