// TTextMap: a hash map keyed by text that is looked up by a view as well, so that a lookup with
// a piece of a received line builds no string.
#pragma once

#include <functional>
#include <string>
#include <string_view>
#include <unordered_map>

namespace zorva {

struct TTextHash {
  using is_transparent = void;
  std::size_t operator()(std::string_view text) const {
    return std::hash<std::string_view>{}(text);
  }
};

template <class Value>
using TTextMap = std::unordered_map<std::string, Value, TTextHash, std::equal_to<>>;

}  // namespace zorva
