#include "ZorvaGuest.h"

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
