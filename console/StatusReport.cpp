#include "console/StatusReport.h"

#include "base/Clock.h"
#include "base/EventText.h"
#include "base/Ipv4.h"
#include "base/Output.h"
#include "platform/LocalTime.h"

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
    LogErr("%s", StatusRowText(number, record->address, sent, elapsed, queued).c_str());
    if (inactive) LogErr("   (inactive)");
    LogErr("\n");
  }
}

}  // namespace veltor
