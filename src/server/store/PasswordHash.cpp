#include "PasswordHash.h"

#include <sodium.h>

namespace zorva {

namespace {

// sodium_init picks the fastest implementations and seeds the salt generator; it is safe to call
// from several threads and more than once.
void EnsureSodium() {
  static const bool ready = sodium_init() >= 0;
  if (!ready) throw EPasswordHashError("the password hashing library could not start");
}

}  // namespace

TPasswordCost TPasswordCost::Cheapest() {
  return {crypto_pwhash_OPSLIMIT_MIN, crypto_pwhash_MEMLIMIT_MIN};
}

std::string HashPassword(std::string_view password, const TPasswordCost& cost) {
  EnsureSodium();
  char stored[crypto_pwhash_STRBYTES];
  if (crypto_pwhash_str(stored, password.data(), password.size(), cost.OpsLimit, cost.MemLimit) !=
      0) {
    throw EPasswordHashError("not enough memory to hash a password");
  }
  return stored;
}

bool VerifyPassword(const std::string& stored, std::string_view password) {
  EnsureSodium();
  // The verifier takes a fixed-size buffer; a column edited by hand may hold anything.
  if (stored.size() >= crypto_pwhash_STRBYTES) return false;
  char buffer[crypto_pwhash_STRBYTES] = {};
  stored.copy(buffer, stored.size());
  return crypto_pwhash_str_verify(buffer, password.data(), password.size()) == 0;
}

void WipePassword(std::string& password) {
  sodium_memzero(password.data(), password.size());
  password.clear();
}

}  // namespace zorva
