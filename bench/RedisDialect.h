// zorva-bench's side of Redis pub/sub (RESP2): receivers SUBSCRIBE to their subject's channel,
// publishers are connections of their own that PUBLISH to it. Every pushed "message" is seven
// CRLF lines (array header, then three length-prefixed strings) as long as the channel name and
// payload hold no line feed, which the generator's own names and payloads never do.
#pragma once

#include "BenchDialect.h"

namespace zorva {

class TRedisDialect : public IBenchDialect {
 public:
  bool ReceiversPublish() const override { return false; }
  int Fanout(int members) const override { return members; }
  int LinesPerDelivery() const override { return 7; }
  bool OnlyDeliveriesAfterSetup() const override { return true; }
  TSetup Begin(TBenchMember& member) override;
  TSetup OnSetupLine(TBenchMember& member, std::string_view line) override;
  bool IsDelivery(TBenchMember& member, std::string_view) override { return member.Role.Receives; }
  std::string PublishBytes(const TBenchMember& member, std::string_view payload) const override;
};

}  // namespace zorva
