// FakeClock: the clock the tests move by hand, for the core, the store, the transports and the
// window. Starts well past zero so that "now minus a while" never wraps.
//
//   test::FakeClock clock;
//   clock.Ms += 61'000;  // a minute and a second later
#pragma once

#include <cstdint>

#include "ServerInterfaces.h"
#include "ZorvaUtils.h"

namespace zorva::test {

class FakeClock : public IClock {
 public:
  std::uint64_t NowMs() const override { return Ms; }
  TDateTime Today() const override { return Date; }

  std::uint64_t Ms = 1'000'000;
  TDateTime Date = EncodeDate(2024, 5, 17);
};

}  // namespace zorva::test
