// A keyboard that never has a key, for relay loops run inside a test.
#pragma once

#include "relay/RelayLoop.h"

namespace veltor::testing {

class NoKeys final : public KeySource {
 public:
  int PollKey() override { return kNoKey; }
  bool WaitForKey(int, WakeSignal*) override { return false; }
};

}  // namespace veltor::testing
