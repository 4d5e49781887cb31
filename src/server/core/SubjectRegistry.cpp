#include "SubjectRegistry.h"

namespace zorva {

TZorvaSubject* SubjectRegistry::FindSubject(std::string_view code, std::string_view name) const {
  const auto entry = FCodes.find(code);
  if (entry == FCodes.end()) return nullptr;
  const auto found = entry->second->ByName.find(name);
  return found == entry->second->ByName.end() ? nullptr : found->second->get();
}

SubjectRegistry::TCode& SubjectRegistry::CodeEntry(const std::string& code) {
  if (const auto found = FCodes.find(code); found != FCodes.end()) return *found->second;
  auto& entry = FCodeOrder.emplace_back();
  entry.Code = code;
  FCodes.emplace(code, &entry);
  return entry;
}

TZorvaSubject& SubjectRegistry::Insert(TCode& entry, TSubjectList::iterator where,
                                       const std::string& name) {
  const auto at = entry.Subjects.insert(where, std::make_unique<TZorvaSubject>(name, entry.Code));
  entry.ByName.emplace(name, at);
  return **at;
}

TZorvaSubject& SubjectRegistry::CreateLobby(const std::string& code, const std::string& name) {
  auto& entry = CodeEntry(code);
  auto& lobby = Insert(entry, entry.Subjects.begin(), name);
  lobby.SetPersistent(true);
  return lobby;
}

TZorvaSubject& SubjectRegistry::AddSubject(const std::string& code, const std::string& name) {
  auto& entry = CodeEntry(code);
  return Insert(entry, entry.Subjects.end(), name);
}

std::unique_ptr<TZorvaSubject> SubjectRegistry::Remove(TZorvaSubject& subject) {
  const auto entry = FCodes.find(subject.SubjectCode());
  if (entry == FCodes.end()) return nullptr;
  auto& byName = entry->second->ByName;
  const auto found = byName.find(subject.Name());
  if (found == byName.end() || found->second->get() != &subject) return nullptr;
  auto owned = std::move(*found->second);
  entry->second->Subjects.erase(found->second);
  byName.erase(found);
  return owned;
}

std::vector<std::string> SubjectRegistry::SubjectCodes() const {
  std::vector<std::string> codes;
  codes.reserve(FCodeOrder.size());
  for (const auto& entry : FCodeOrder) codes.push_back(entry.Code);
  return codes;
}

std::vector<const TZorvaSubject*> SubjectRegistry::Subjects(const std::string& code) const {
  std::vector<const TZorvaSubject*> subjects;
  const auto entry = FCodes.find(code);
  if (entry == FCodes.end()) return subjects;
  for (const auto& subject : entry->second->Subjects) subjects.push_back(subject.get());
  return subjects;
}

std::vector<std::string> SubjectRegistry::SubjectNames(const std::string& code) const {
  std::vector<std::string> names;
  for (const auto* subject : Subjects(code)) names.push_back(subject->Name());
  return names;
}

std::vector<std::unique_ptr<TZorvaSubject>> SubjectRegistry::Clear() {
  std::vector<std::unique_ptr<TZorvaSubject>> subjects;
  for (auto& entry : FCodeOrder) {
    for (auto& subject : entry.Subjects) subjects.push_back(std::move(subject));
  }
  FCodes.clear();
  FCodeOrder.clear();
  FStaging.Clear();
  return subjects;
}

}  // namespace zorva
