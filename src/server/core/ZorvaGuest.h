// TZorvaGuest: the server's session for one accepted connection, from connect to drop: its
// user once logged in, its subject, its ping bookkeeping and its line framer. Owned by
// ServerCore; the window sees guests only through the core's read-only views.
//
// The life of a guest:
//
//   state          entered when                        its lines             in lookups
//   -------------  ----------------------------------  --------------------  -------------
//   staging        the connection is accepted          handled as they come  yes
//   login pending  "LOGIN"/"LOGINNEW" asks the hooks   kept in the framer    yes
//   logged in      an accepting answer arrives         handled as they come  yes, by id
//   store waiting  "USERUPDATE"/"FEEDBACK" asks the    kept in the framer    yes, by id
//                  hooks (logged in all the while)
//   cluster        a login, "JOINSUBJECT" or            kept in the framer    yes (by id once
//   waiting        "CREATESUBJECT" waits for the                              logged in)
//                  cluster's answer
//   dropped        disconnect, error, kill, timeout,   never read again      no
//                  long line, Stop
//
// A refusing answer returns a pending guest to staging; either answer then handles the kept
// lines, and so does the store's answer to a waiting guest. Several guests may wait for a login
// of one id: the first accepted one takes it. The answer always arrives as an event of its own
// (through ITransport::Post), never inside the guest's own dispatch, and finds the guest again by
// connection id: a guest or core gone meanwhile means nothing happens. A dropped guest is unlisted
// at once but freed only when the outermost event ends, so callers up the stack never touch freed
// memory. Apart from these states, HasSocket turns false when the transport reports the end or the
// core closes the connection; from then on nothing is sent to the guest.
//
// In a cluster the subjects also hold members of other nodes: guests without a connection, made
// with Remote(), whose Node() names their node (empty for this node's own guests). They are never
// in the core's guest lists and never sent to: their own node relays to them.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "LineFramer.h"
#include "ServerInterfaces.h"
#include "ZorvaUser.h"

namespace zorva {

class TZorvaSubject;

class TZorvaGuest {
 public:
  // `arrival` orders guests by connection for announcements to a subject code.
  TZorvaGuest(ConnectionId connection, std::string remoteAddress, std::string localAddress,
              std::uint64_t nowMs, std::size_t maxLine, std::uint64_t arrival);

  // A member on another node: no connection, its user record read from the text its node sent.
  static std::unique_ptr<TZorvaGuest> Remote(std::string node, std::string_view id,
                                             std::string_view userText, std::int32_t roundTrip);

  ConnectionId Connection() const { return FConnection; }
  // The node the member is connected to; empty for this node's guests.
  const std::string& Node() const { return FNode; }
  bool IsRemote() const { return !FNode.empty(); }
  const std::string& RemoteAddress() const { return FRemoteAddress; }
  const std::string& LocalAddress() const { return FLocalAddress; }
  std::uint64_t Arrival() const { return FArrival; }
  // Clock milliseconds when the connection was accepted.
  std::uint64_t ConnectedMs() const { return FConnectedMs; }

  // Null until the login completes.
  const TZorvaUser* User() const { return FUser.get(); }
  void SetUser(std::unique_ptr<TZorvaUser> user);
  // Replaces the record's contents (operator edit, "USERUPDATE").
  void UpdateUser(const TZorvaUser& user);
  // A remote member's new text; the record keeps its id when the text does not parse.
  void UpdateRemoteUser(std::string_view userText);
  // The user's text form without its password, kept ready because every join sends it to
  // every member; empty without a user.
  const std::string& WireText() const { return FWireText; }
  // The user id, or the remote address before login: the name the trace panes use.
  const std::string& TraceName() const { return FUser ? FUser->Id() : FRemoteAddress; }

  // False after a socket error or once the core has closed the connection: nothing more is
  // sent to the guest.
  bool HasSocket() const { return FHasSocket; }
  void ClearSocket() { FHasSocket = false; }

  bool LoggedIn() const { return FLoggedIn; }
  void SetLoggedIn(bool value) { FLoggedIn = value; }
  TZorvaSubject* Subject() const { return FSubject; }
  void SetSubject(TZorvaSubject* value) { FSubject = value; }
  const std::string& SubjectCode() const { return FSubjectCode; }
  void SetSubjectCode(std::string value) { FSubjectCode = std::move(value); }

  std::uint64_t LastPingReply() const { return FLastPingReply; }
  void SetLastPingReply(std::uint64_t value) { FLastPingReply = value; }
  std::uint64_t PingSent() const { return FPingSent; }
  void SetPingSent(std::uint64_t value) { FPingSent = value; }
  std::int32_t RoundTrip() const { return FRoundTrip; }
  void SetRoundTrip(std::int32_t value) { FRoundTrip = value; }
  bool PingAnswered() const { return FPingAnswered; }
  void SetPingAnswered(bool value) { FPingAnswered = value; }

  LineFramer& Framer() { return FFramer; }

  // Set once the core has dropped the guest (see the states above).
  bool Dropped() const { return FDropped; }
  void SetDropped() { FDropped = true; }
  // The id of a login that the hooks have not answered yet (see the states above).
  bool LoginPending() const { return FPendingLoginId.has_value(); }
  const std::string& PendingLoginId() const { return *FPendingLoginId; }
  void SetPendingLogin(std::string id, std::uint64_t nowMs) {
    FPendingLoginId = std::move(id);
    FLoginRequestedMs = nowMs;
    FLoginWithdrawn = std::make_shared<std::atomic<bool>>(false);
  }
  std::uint64_t LoginRequestedMs() const { return FLoginRequestedMs; }
  // Turns true once the pending login ends, whichever way: a store skips a check nobody awaits.
  std::shared_ptr<const std::atomic<bool>> LoginWithdrawn() const { return FLoginWithdrawn; }
  // The pending check waits in the store's queue and counts against its limits.
  bool LoginQueued() const { return FLoginQueued; }
  void SetLoginQueued() { FLoginQueued = true; }
  void ClearPendingLogin() {
    FPendingLoginId.reset();
    FLoginQueued = false;
    if (FLoginWithdrawn) FLoginWithdrawn->store(true);
    FLoginWithdrawn.reset();
  }
  bool StoreWaiting() const { return FStoreWaiting; }
  void SetStoreWaiting(bool value) { FStoreWaiting = value; }
  bool ClusterWaiting() const { return FClusterWaiting; }
  void SetClusterWaiting(bool value) { FClusterWaiting = value; }
  // Its lines wait in the framer until the hooks or the cluster answer.
  bool Paused() const { return LoginPending() || FStoreWaiting || FClusterWaiting; }

 private:
  std::unique_ptr<TZorvaUser> FUser;
  std::string FWireText;
  bool FHasSocket = true;
  bool FLoggedIn = false;
  TZorvaSubject* FSubject = nullptr;
  std::string FSubjectCode;
  std::uint64_t FLastPingReply;
  LineFramer FFramer;
  std::uint64_t FPingSent = 0;
  std::int32_t FRoundTrip = 0;
  bool FPingAnswered = true;

  ConnectionId FConnection;
  std::string FRemoteAddress;
  std::string FLocalAddress;
  std::uint64_t FArrival;
  std::uint64_t FConnectedMs;
  std::uint64_t FLoginRequestedMs = 0;
  bool FDropped = false;
  std::optional<std::string> FPendingLoginId;
  std::shared_ptr<std::atomic<bool>> FLoginWithdrawn;
  bool FStoreWaiting = false;
  bool FClusterWaiting = false;
  bool FLoginQueued = false;
  std::string FNode;
};

}  // namespace zorva
