// zorva-bench's side of the Zorva line protocol: log in under the subject's own code, create or
// join the subject, answer pings, count "SEND|" relays as deliveries.
#pragma once

#include "BenchDialect.h"

namespace zorva {

class TZorvaDialect : public IBenchDialect {
 public:
  bool ReceiversPublish() const override { return true; }
  // The sender is not sent its own line.
  int Fanout(int members) const override { return members - 1; }
  int LinesPerDelivery() const override { return 1; }
  // Pings arrive between the relays.
  bool OnlyDeliveriesAfterSetup() const override { return false; }
  TSetup Begin(TBenchMember& member) override;
  TSetup OnSetupLine(TBenchMember& member, std::string_view line) override;
  bool IsDelivery(TBenchMember& member, std::string_view line) override;
  std::string PublishBytes(const TBenchMember& member, std::string_view payload) const override;

 private:
  TSetup OnJoined(TBenchMember& member, std::string_view subjectName);
  static void SendLine(TBenchMember& member, std::string_view line);
  static bool AnswerPing(TBenchMember& member, std::string_view line);
};

}  // namespace zorva
