// OrderedSet keeps pointers in insertion order with O(1) append, erase and membership test.
// Subject members and the staging area use it: leaving must not scan, and order must stay.
#pragma once

#include <cstddef>
#include <list>
#include <unordered_map>

namespace zorva {

template <class T>
class OrderedSet {
 public:
  using const_iterator = typename std::list<T*>::const_iterator;

  // Appends; false when the item is already held (its place does not change).
  bool Insert(T* item) {
    if (FIndex.contains(item)) return false;
    FIndex.emplace(item, FItems.insert(FItems.end(), item));
    return true;
  }
  bool Erase(T* item) {
    const auto found = FIndex.find(item);
    if (found == FIndex.end()) return false;
    FItems.erase(found->second);
    FIndex.erase(found);
    return true;
  }
  bool Contains(T* item) const { return FIndex.contains(item); }
  std::size_t Size() const { return FItems.size(); }
  bool Empty() const { return FItems.empty(); }
  T* Front() const { return FItems.empty() ? nullptr : FItems.front(); }
  void Clear() {
    FItems.clear();
    FIndex.clear();
  }

  const_iterator begin() const { return FItems.begin(); }
  const_iterator end() const { return FItems.end(); }

 private:
  std::list<T*> FItems;
  std::unordered_map<T*, typename std::list<T*>::iterator> FIndex;
};

}  // namespace zorva
