// Table cases print as their label in test names and failure messages, not as raw bytes.
#pragma once

#include <ostream>

namespace zorva::testing {

template <class TCase>
requires requires(const TCase& c) {
  c.Label;
}
void PrintTo(const TCase& c, std::ostream* os) {
  *os << c.Label;
}

// For INSTANTIATE_TEST_SUITE_P's name generator.
inline constexpr auto kCaseLabel = [](const auto& info) { return info.param.Label; };

}  // namespace zorva::testing
