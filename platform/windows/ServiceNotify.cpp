#include "platform/ServiceNotify.h"

#include "platform/windows/Winsock.h"

namespace veltor {

// Windows services report to the service control manager instead, which the
// relay does not use.
bool SendServiceNotification(const std::string&, const std::string&) { return false; }

int64_t CurrentProcessId() { return static_cast<int64_t>(GetCurrentProcessId()); }

}  // namespace veltor
