// The seam between the core and the other nodes of a cluster: IClusterPort is what the core asks
// of the shared state (one Redis server behind it, see docs/CLUSTER.md), IClusterEvents what it
// hears back. Without a port the core is a single server and none of this runs.
//
// Every operation answers through its callback on the core's thread, on a later turn of the
// loop, never inside the call; while the shared state cannot be reached the answer is
// TClusterStatus::Unavailable. Events come on the core's thread too.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace zorva {

enum class TClusterStatus {
  Done,
  Taken,        // ClaimId: another node holds the id
  Exists,       // CreateSubject: the name is in use in the code
  NoSubject,    // Join, RemoveSubject
  Full,         // Join
  Same,         // Join: the member is in that subject already
  Unavailable,  // the shared state could not be asked, or answered with an error
};

struct TClusterMember {
  std::string Id{};
  std::string Node{};
  int RoundTrip = 0;
  std::string UserText{};  // the user's text form without its password
};

struct TClusterSubject {
  std::string Name;
  int MaxMembers = 0;
  bool Persistent = false;
  bool Full = false;
  std::vector<TClusterMember> Members;  // in joining order
};

struct TSubjectSettings {
  int MaxMembers = 0;
  bool Persistent = false;
  bool ClientCreated = false;  // counted in the cluster's current subjects
  bool Announce = true;        // publish the creation (lobbies are created silently)
};

struct TJoinResult {
  TClusterStatus Status = TClusterStatus::Unavailable;
  bool Full = false;  // this join filled the subject
  enum class TLeft { Nothing, Left, RemovedSubject } Left = TLeft::Nothing;
  std::string LeftSubject;
  std::vector<TClusterMember> Members;  // in joining order, the joining member last
};

struct TClusterStats {
  std::int64_t Connections = 0;  // summed from every node's last heartbeat
  std::int64_t Subjects = 0;     // client-created subjects that exist in the cluster
};

struct TRoundTrip {
  std::string_view Id;
  int Milliseconds = 0;
};

// A member that joined a subject on another node (or was moved by an operator's delete).
struct TRemoteJoin {
  std::string_view Node;  // empty when no node made the move (an operator's delete)
  std::string_view Id;
  std::string_view UserText;
  int RoundTrip = 0;
  bool Full = false;  // the join filled the subject
};

// What the core hears from the other nodes; `code` is the subject code the event belongs to.
class IClusterEvents {
 public:
  virtual ~IClusterEvents() = default;
  virtual void OnRemoteLine(std::string_view code, std::string_view subject,
                            std::string_view line) = 0;
  virtual void OnRemoteGuestLine(std::string_view code, std::string_view id,
                                 std::string_view line) = 0;
  virtual void OnRemoteSubjectAdded(std::string_view code, std::string_view subject) = 0;
  virtual void OnRemoteSubjectRemoved(std::string_view code, std::string_view subject) = 0;
  virtual void OnRemoteMemberJoined(std::string_view code, std::string_view subject,
                                    const TRemoteJoin& joined) = 0;
  virtual void OnRemoteMemberLeft(std::string_view code, std::string_view subject,
                                  std::string_view id) = 0;
  virtual void OnRemoteUserUpdated(std::string_view code, std::string_view subject,
                                   std::string_view id, std::string_view userText) = 0;
  virtual void OnRemoteRoundTrips(std::string_view code, const std::vector<TRoundTrip>& trips) = 0;
  // Cluster-wide operations answer Unavailable from now until OnClusterBack.
  virtual void OnClusterLost(const std::string& reason) = 0;
  // The shared state is reachable again and every open code's channel is subscribed: time to
  // rebuild.
  virtual void OnClusterBack() = 0;
};

class IClusterPort {
 public:
  using TDone = std::function<void(TClusterStatus)>;
  using TJoinDone = std::function<void(const TJoinResult&)>;
  using TStateDone = std::function<void(TClusterStatus, const std::vector<TClusterSubject>&)>;
  using TIdsDone = std::function<void(TClusterStatus, std::vector<std::string>)>;

  virtual ~IClusterPort() = default;

  virtual void SetEvents(IClusterEvents* events) = 0;
  virtual const std::string& NodeId() const = 0;
  virtual bool Available() const = 0;

  // Subscribes to the code's events, then loads its state: events after the state are heard.
  virtual void OpenCode(const std::string& code, TStateDone done) = 0;
  virtual void LoadCode(const std::string& code, TStateDone done) = 0;
  virtual void CloseCode(const std::string& code) = 0;

  // Ids are unique in the cluster: a node claims an id before it joins it anywhere.
  virtual void ClaimId(const std::string& code, const std::string& id, TDone done) = 0;
  // The ids the shared state holds for this node; after it returns, those that are no longer
  // guests here (they left while it was away) are to be dropped.
  virtual void OwnIds(TIdsDone done) = 0;
  virtual void ReleaseId(const std::string& code, const std::string& id, TDone done = {}) = 0;
  virtual void CreateSubject(const std::string& code, const std::string& name,
                             const TSubjectSettings& settings, TDone done) = 0;
  // `member.Node` is ignored: a node joins its own guests.
  virtual void Join(const std::string& code, const std::string& subject,
                    const TClusterMember& member, TJoinDone done) = 0;
  virtual void Drop(const std::string& code, const std::string& id, TDone done = {}) = 0;
  virtual void UpdateUser(const std::string& code, const std::string& id,
                          const std::string& userText) = 0;
  // The operator's delete: members move to `lobby`, the subject goes with the last of them.
  virtual void RemoveSubject(const std::string& code, const std::string& subject,
                             const std::string& lobby, TDone done) = 0;

  // One publish each; the sender's local members have had the line already.
  virtual void PublishLine(const std::string& code, std::string_view subject,
                           std::string_view line) = 0;
  virtual void PublishGuestLine(const std::string& code, std::string_view id,
                                std::string_view line) = 0;
  virtual void PublishRoundTrips(const std::string& code, const std::vector<TRoundTrip>& trips) = 0;

  // The figures of the last heartbeat.
  virtual const TClusterStats& Stats() const = 0;
};

}  // namespace zorva
