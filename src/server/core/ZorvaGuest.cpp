#include "ZorvaGuest.h"

#include <exception>

namespace zorva {

TZorvaGuest::TZorvaGuest(ConnectionId connection, std::string remoteAddress,
                         std::string localAddress, std::uint64_t nowMs, std::size_t maxLine,
                         std::uint64_t arrival)
    : FLastPingReply(nowMs),
      FFramer(maxLine),
      FConnection(connection),
      FRemoteAddress(std::move(remoteAddress)),
      FLocalAddress(std::move(localAddress)),
      FArrival(arrival),
      FConnectedMs(nowMs) {}

std::unique_ptr<TZorvaGuest> TZorvaGuest::Remote(std::string node, std::string_view id,
                                                 std::string_view userText,
                                                 std::int32_t roundTrip) {
  auto member = std::make_unique<TZorvaGuest>(0, std::string(), std::string(), 0, 0, 0);
  member->FNode = std::move(node);
  member->FHasSocket = false;
  member->FLoggedIn = true;
  member->FUser = std::make_unique<TZorvaUser>();
  member->FUser->SetId(std::string(id));
  member->UpdateRemoteUser(userText);
  member->FRoundTrip = roundTrip;
  return member;
}

void TZorvaGuest::UpdateRemoteUser(std::string_view userText) {
  TZorvaUser parsed;
  try {
    parsed.fromString(userText);
    parsed.SetId(FUser->Id());
    *FUser = std::move(parsed);
  } catch (const std::exception&) {
    // The text is passed on as its node sent it; only the local record stays as it was.
  }
  FWireText = userText;
}

void TZorvaGuest::SetUser(std::unique_ptr<TZorvaUser> user) {
  FUser = std::move(user);
  FWireText = FUser ? FUser->toWireString() : std::string();
}

void TZorvaGuest::UpdateUser(const TZorvaUser& user) {
  if (!FUser) {
    SetUser(std::make_unique<TZorvaUser>(user));
    return;
  }
  *FUser = user;
  FWireText = FUser->toWireString();
}

}  // namespace zorva
