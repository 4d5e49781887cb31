// SubjectRegistry holds every subject of a running server, apart from any display: subject
// codes in order of first login, each code's subjects in creation order (its lobby first), and
// the staging area (guests not logged in, in connection order). ServerCore owns one; lookups by
// (code, name) are hash lookups.
#pragma once

#include <list>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "OrderedSet.h"
#include "TextMap.h"
#include "ZorvaSubject.h"

namespace zorva {

class TZorvaGuest;

class SubjectRegistry {
 public:
  TZorvaSubject* FindSubject(std::string_view code, std::string_view name) const;
  bool HasCode(const std::string& code) const { return FCodes.contains(code); }

  // Creates a persistent lobby without a limit as the first subject of its code; a new code
  // goes after the existing ones.
  TZorvaSubject& CreateLobby(const std::string& code, const std::string& name);
  // Appends a subject to its code (created when missing). The name must be free in the code.
  TZorvaSubject& AddSubject(const std::string& code, const std::string& name);
  // Takes the subject out; returns it (still alive) so the caller decides when it dies, or
  // null when it is not held (already removed).
  std::unique_ptr<TZorvaSubject> Remove(TZorvaSubject& subject);

  void AddToStaging(TZorvaGuest* guest) { FStaging.Insert(guest); }
  void RemoveFromStaging(TZorvaGuest* guest) { FStaging.Erase(guest); }
  const OrderedSet<TZorvaGuest>& Staging() const { return FStaging; }

  // Read-only views in their orders.
  std::vector<std::string> SubjectCodes() const;
  std::vector<const TZorvaSubject*> Subjects(const std::string& code) const;
  std::vector<std::string> SubjectNames(const std::string& code) const;

  // Empties the registry; the subjects are handed back so the caller decides when they die.
  std::vector<std::unique_ptr<TZorvaSubject>> Clear();

 private:
  using TSubjectList = std::list<std::unique_ptr<TZorvaSubject>>;
  struct TCode {
    std::string Code;
    TSubjectList Subjects;  // creation order, lobby first
    TTextMap<TSubjectList::iterator> ByName;
  };

  TCode& CodeEntry(const std::string& code);
  TZorvaSubject& Insert(TCode& entry, TSubjectList::iterator where, const std::string& name);

  std::list<TCode> FCodeOrder;
  TTextMap<TCode*> FCodes;
  OrderedSet<TZorvaGuest> FStaging;
};

}  // namespace zorva
