// Any payload from a subject code's channel as a cluster event: no crash, every view of a
// decoded event points into the payload, and a relayed line encodes back to the payload.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "ClusterEvents.h"

namespace {

void Check(bool holds) {
  if (!holds) std::abort();
}

// An empty view may point anywhere: it reads nothing.
void CheckInside(std::string_view view, std::string_view payload) {
  if (view.empty()) return;
  Check(view.data() >= payload.data() &&
        view.data() + view.size() <= payload.data() + payload.size());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using TKind = zorva::TClusterEvent::TKind;
  const std::string_view payload(reinterpret_cast<const char*>(data), size);
  zorva::TClusterEvent event;
  if (!zorva::DecodeEvent(payload, event)) return 0;
  for (const auto view : {event.Origin, event.Subject, event.Id, event.Text}) {
    CheckInside(view, payload);
  }
  for (const auto& trip : event.RoundTrips) CheckInside(trip.Id, payload);
  if (event.Kind == TKind::Line) {
    Check(zorva::EncodeLine(event.Origin, event.Subject, event.Text) == payload);
  }
  if (event.Kind == TKind::GuestLine) {
    Check(zorva::EncodeGuestLine(event.Origin, event.Id, event.Text) == payload);
  }
  return 0;
}
