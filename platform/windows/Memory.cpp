#include "platform/Memory.h"

#include <malloc.h>

namespace veltor {

void ReturnFreeMemory() { _heapmin(); }

}  // namespace veltor
