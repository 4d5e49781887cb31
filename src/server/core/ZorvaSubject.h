// TZorvaSubject: a named room of one subject code with its members in joining order and an
// optional member limit. Held by the SubjectRegistry; ServerCore moves guests in and out.
#pragma once

#include <cstdint>
#include <string>

#include "OrderedSet.h"

namespace zorva {

class TZorvaGuest;

// Members may be remote (TZorvaGuest::IsRemote): they count towards the limit like any other.
class TZorvaSubject {
 public:
  using TMembers = OrderedSet<TZorvaGuest>;

  TZorvaSubject(std::string name, std::string subjectCode)
      : FName(std::move(name)), FSubjectCode(std::move(subjectCode)) {}

  bool Persistent() const { return FPersistent; }
  void SetPersistent(bool value) { FPersistent = value; }
  // 0 or less: no limit.
  std::int32_t MaxConnections() const { return FMaxConnections; }
  void SetMaxConnections(std::int32_t value) { FMaxConnections = value; }
  const std::string& Name() const { return FName; }
  void SetName(std::string value) { FName = std::move(value); }
  const std::string& SubjectCode() const { return FSubjectCode; }
  void SetSubjectCode(std::string value) { FSubjectCode = std::move(value); }
  // Set by the join that reaches the limit; stays set when members leave.
  bool Full() const { return FFull; }
  // The cluster says so: a join on another node filled it.
  void MarkFull() { FFull = true; }

  const TMembers& Members() const { return FMembers; }
  std::size_t MemberCount() const { return FMembers.Size(); }
  void AddMember(TZorvaGuest* guest);
  void RemoveMember(TZorvaGuest* guest) { FMembers.Erase(guest); }
  // Where the next ping tick's window of round trips starts, counted in members.
  std::size_t PingCursor() const { return FPingCursor; }
  void SetPingCursor(std::size_t value) { FPingCursor = value; }

 private:
  bool FPersistent = false;
  std::int32_t FMaxConnections = 0;
  std::string FName;
  TMembers FMembers;
  std::string FSubjectCode;
  bool FFull = false;
  std::size_t FPingCursor = 0;
};

}  // namespace zorva
