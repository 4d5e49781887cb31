// FakeClusterPort: a cluster without Redis for tests that drive the server core. Every call is
// recorded as one readable line ("Join(Game,Lobby Chat,ann)"); every answer waits until the
// test gives it, oldest first per operation, so the core always hears it on a later turn.
//
//   test::FakeClusterPort port;
//   core.SetCluster(&port);
//   ... "LOGIN|ann|Game|pw" ...
//   port.Claim(TClusterStatus::Done);   // the claim's answer arrives
#pragma once

#include <gtest/gtest.h>

#include <deque>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "ClusterPort.h"

namespace zorva::test {

class FakeClusterPort : public IClusterPort {
 public:
  void SetEvents(IClusterEvents* events) override { Events = events; }
  const std::string& NodeId() const override { return Node; }
  bool Available() const override { return Up; }

  void OpenCode(const std::string& code, TStateDone done) override {
    Record("OpenCode(" + code + ")");
    FStates.push_back(std::move(done));
  }
  void LoadCode(const std::string& code, TStateDone done) override {
    Record("LoadCode(" + code + ")");
    FStates.push_back(std::move(done));
  }
  void CloseCode(const std::string& code) override { Record("CloseCode(" + code + ")"); }
  void ClaimId(const std::string& code, const std::string& id, TDone done) override {
    Record("ClaimId(" + code + "," + id + ")");
    FClaims.push_back(std::move(done));
  }
  void OwnIds(TIdsDone done) override {
    Record("OwnIds()");
    FOwnIds.push_back(std::move(done));
  }
  void ReleaseId(const std::string& code, const std::string& id, TDone done) override {
    Record("ReleaseId(" + code + "," + id + ")");
    FLeaves.push_back(std::move(done));
  }
  void CreateSubject(const std::string& code, const std::string& name,
                     const TSubjectSettings& settings, TDone done) override {
    Record("CreateSubject(" + code + "," + name + "," + std::to_string(settings.MaxMembers) +
           (settings.Persistent ? ",persistent" : "") + (settings.ClientCreated ? ",client" : "") +
           (settings.Announce ? ",announce" : "") + ")");
    FCreates.push_back(std::move(done));
  }
  void Join(const std::string& code, const std::string& subject, const TClusterMember& member,
            TJoinDone done) override {
    Record("Join(" + code + "," + subject + "," + member.Id + ")");
    FJoins.push_back(std::move(done));
  }
  void Drop(const std::string& code, const std::string& id, TDone done) override {
    Record("Drop(" + code + "," + id + ")");
    FLeaves.push_back(std::move(done));
  }
  void UpdateUser(const std::string& code, const std::string& id,
                  const std::string& userText) override {
    Record("UpdateUser(" + code + "," + id + "," + userText + ")");
  }
  void RemoveSubject(const std::string& code, const std::string& subject, const std::string& lobby,
                     TDone done) override {
    Record("RemoveSubject(" + code + "," + subject + "," + lobby + ")");
    FRemoves.push_back(std::move(done));
  }
  void PublishLine(const std::string& code, std::string_view subject,
                   std::string_view line) override {
    Record("PublishLine(" + code + "," + std::string(subject) + "," + std::string(line) + ")");
  }
  void PublishGuestLine(const std::string& code, std::string_view id,
                        std::string_view line) override {
    Record("PublishGuestLine(" + code + "," + std::string(id) + "," + std::string(line) + ")");
  }
  void PublishRoundTrips(const std::string& code, const std::vector<TRoundTrip>& trips) override {
    std::string text = "PublishRoundTrips(" + code;
    for (const auto& trip : trips) {
      text += "," + std::string(trip.Id) + "=" + std::to_string(trip.Milliseconds);
    }
    Record(text + ")");
  }
  const TClusterStats& Stats() const override { return Figures; }

  // Answers, oldest call first; a test answering what was never asked fails.
  void Claim(TClusterStatus status) {
    if (auto done = Next(FClaims)) done(status);
  }
  void Create(TClusterStatus status) {
    if (auto done = Next(FCreates)) done(status);
  }
  void State(TClusterStatus status, const std::vector<TClusterSubject>& state = {}) {
    if (auto done = Next(FStates)) done(status, state);
  }
  void Joined(const TJoinResult& result) {
    if (auto done = Next(FJoins)) done(result);
  }
  void Owned(std::vector<std::string> ids) {
    if (auto done = Next(FOwnIds)) done(TClusterStatus::Done, std::move(ids));
  }
  // Releases and drops share one queue: they may come without a callback.
  void Left(TClusterStatus status) {
    if (auto done = Next(FLeaves)) done(status);
  }
  std::size_t PendingJoins() const { return FJoins.size(); }
  std::size_t PendingClaims() const { return FClaims.size(); }

  // The calls since the last TakeCalls.
  std::vector<std::string> TakeCalls() { return std::exchange(Calls, {}); }

  std::string Node = "a";
  bool Up = true;
  TClusterStats Figures;
  IClusterEvents* Events = nullptr;
  std::vector<std::string> Calls;

 private:
  void Record(std::string call) { Calls.push_back(std::move(call)); }
  template <class T>
  static T Next(std::deque<T>& queue) {
    EXPECT_FALSE(queue.empty()) << "nothing to answer";
    if (queue.empty()) return {};
    auto next = std::move(queue.front());
    queue.pop_front();
    return next;
  }

  std::deque<TDone> FClaims;
  std::deque<TDone> FCreates;
  std::deque<TDone> FLeaves;
  std::deque<TDone> FRemoves;
  std::deque<TStateDone> FStates;
  std::deque<TJoinDone> FJoins;
  std::deque<TIdsDone> FOwnIds;
};

}  // namespace zorva::test
