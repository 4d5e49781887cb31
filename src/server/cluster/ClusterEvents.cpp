#include "ClusterEvents.h"

#include <charconv>
#include <optional>

namespace zorva {
namespace {

// Takes the text up to the next "|" off `rest`; nothing when there is no "|" left.
std::optional<std::string_view> TakeField(std::string_view& rest) {
  const auto bar = rest.find('|');
  if (bar == std::string_view::npos) return std::nullopt;
  const auto field = rest.substr(0, bar);
  rest.remove_prefix(bar + 1);
  return field;
}

bool ParseInt(std::string_view text, int& value) {
  const auto* end = text.data() + text.size();
  const auto [stop, ec] = std::from_chars(text.data(), end, value);
  return !text.empty() && ec == std::errc() && stop == end;
}

// Reads the fields in order into `targets`, leaving what follows the last one in `rest`.
bool TakeFields(std::string_view& rest, std::initializer_list<std::string_view*> targets) {
  for (auto* target : targets) {
    const auto field = TakeField(rest);
    if (!field) return false;
    *target = *field;
  }
  return true;
}

// "id|rtt|" pairs, each field followed by "|".
bool DecodeRoundTrips(std::string_view rest, std::vector<TRoundTrip>& trips) {
  trips.clear();
  while (!rest.empty()) {
    std::string_view id, milliseconds;
    TRoundTrip trip;
    if (!TakeFields(rest, {&id, &milliseconds}) || !ParseInt(milliseconds, trip.Milliseconds))
      return false;
    trip.Id = id;
    trips.push_back(trip);
  }
  return true;
}

std::string Join(std::initializer_list<std::string_view> fields) {
  std::string out;
  for (const auto field : fields) {
    if (!out.empty()) out += '|';
    out += field;
  }
  return out;
}

}  // namespace

bool DecodeEvent(std::string_view payload, TClusterEvent& event) {
  std::string_view rest = payload, kind, full, roundTrip;
  if (!TakeFields(rest, {&kind, &event.Origin}) || kind.size() != 1) return false;
  using K = TClusterEvent::TKind;
  switch (kind[0]) {
    case 'L':
      event.Kind = K::Line;
      event.Text = rest;
      return TakeFields(event.Text, {&event.Subject});
    case 'H':
      event.Kind = K::GuestLine;
      event.Text = rest;
      return TakeFields(event.Text, {&event.Id});
    case 'A':
    case 'R':
      event.Kind = kind[0] == 'A' ? K::SubjectAdded : K::SubjectRemoved;
      event.Subject = rest;
      return !rest.empty();
    case 'J':
      event.Kind = K::MemberJoined;
      if (!TakeFields(rest, {&event.Subject, &full, &roundTrip, &event.Id})) return false;
      event.Full = full == "1";
      event.Text = rest;
      return ParseInt(roundTrip, event.RoundTrip);
    case 'G':
      event.Kind = K::MemberLeft;
      event.Id = rest;
      return TakeFields(event.Id, {&event.Subject}) && !event.Id.empty();
    case 'U':
      event.Kind = K::UserUpdated;
      event.Text = rest;
      return TakeFields(event.Text, {&event.Subject, &event.Id});
    case 'P':
      event.Kind = K::RoundTrips;
      return DecodeRoundTrips(rest, event.RoundTrips);
    default:
      return false;
  }
}

std::string EncodeLine(std::string_view origin, std::string_view subject, std::string_view line) {
  return Join({"L", origin, subject, line});
}

std::string EncodeGuestLine(std::string_view origin, std::string_view id, std::string_view line) {
  return Join({"H", origin, id, line});
}

}  // namespace zorva
