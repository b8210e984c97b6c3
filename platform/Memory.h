// The process's heap as the system sees it.
#pragma once

namespace veltor {

// Hands memory that the relay has freed back to the system where the C
// library keeps it otherwise (glibc keeps small blocks for reuse for good), so
// the relay's size comes back down after a large backlog is gone. It walks the
// heap, so it is for after such an event, not for every pass. Any thread.
void ReturnFreeMemory();

}  // namespace veltor
