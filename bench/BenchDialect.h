// How zorva-bench speaks to one kind of server (TZorvaDialect, TRedisDialect): setting a member
// up, telling delivered lines from the rest, and the bytes a publisher sends. Everything else
// in a run is the same code for both servers.
#pragma once

#include <string>
#include <string_view>

#include "BenchMember.h"

namespace zorva {

class IBenchDialect {
 public:
  enum class TSetup { Pending, Ready, Failed };

  virtual ~IBenchDialect() = default;
  // True when the receivers of a subject publish too; false when publishers are extra
  // connections.
  virtual bool ReceiversPublish() const = 0;
  // Deliveries of one published line in a subject of `members` receivers.
  virtual int Fanout(int members) const = 0;
  // Received lines that make up one delivery.
  virtual int LinesPerDelivery() const = 0;
  // Sends the member's first requests after connecting.
  virtual TSetup Begin(TBenchMember& member) = 0;
  virtual TSetup OnSetupLine(TBenchMember& member, std::string_view line) = 0;
  // True when, after setup, every line a receiver gets in throughput runs is a delivery line,
  // so that counting line feeds suffices.
  virtual bool OnlyDeliveriesAfterSetup() const = 0;
  // A line after setup: true when it counts as a delivery line. Answers pings.
  virtual bool IsDelivery(TBenchMember& member, std::string_view line) = 0;
  // The bytes that publish `payload` in the member's subject, line end included.
  virtual std::string PublishBytes(const TBenchMember& member, std::string_view payload) const = 0;
};

}  // namespace zorva
