// SystemClock: the real IClock (steady milliseconds, the local calendar date) for the programs
// that run a server; the core and its tests use injected clocks instead.
#pragma once

#include "ServerInterfaces.h"

namespace zorva {

class SystemClock : public IClock {
 public:
  std::uint64_t NowMs() const override;
  TDateTime Today() const override;
};

}  // namespace zorva
