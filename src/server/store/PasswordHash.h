// Salted slow password hashes (argon2id, libsodium's self-describing "$argon2id$..." strings)
// for the users table's Password column. Used by the user store, on its worker threads for logins.
//
//   std::string stored = HashPassword("secret", TPasswordCost::Default());
//   VerifyPassword(stored, "secret");  // true
#pragma once

#include <cstddef>
#include <stdexcept>
#include <string>
#include <string_view>

namespace zorva {

// How much work one hash costs. Verifying reads the cost from the stored string, so rows hashed
// at another cost keep working when the cost changes.
struct TPasswordCost {
  unsigned long long OpsLimit;
  std::size_t MemLimit;

  // Two passes over 19 MiB: some tens of milliseconds on one core, which makes guessing
  // expensive while a burst of logins stays affordable on a small worker pool.
  static TPasswordCost Default() { return {2, std::size_t{19} << 20}; }
  // The cheapest the algorithm allows; for tests, never for a real database.
  static TPasswordCost Cheapest();
};

class EPasswordHashError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Throws EPasswordHashError when the hash cannot be made (out of memory).
std::string HashPassword(std::string_view password, const TPasswordCost& cost);

// False for a wrong password and for a stored text that is not a hash of ours.
bool VerifyPassword(const std::string& stored, std::string_view password);

// Overwrites a clear-text password in place and empties it, so no copy of it stays in memory.
void WipePassword(std::string& password);

}  // namespace zorva
