#include "ZorvaSubject.h"

namespace zorva {

void TZorvaSubject::AddMember(TZorvaGuest* guest) {
  FMembers.Insert(guest);
  if (FMaxConnections > 0 && FMembers.Size() == static_cast<std::size_t>(FMaxConnections)) {
    FFull = true;
  }
}

}  // namespace zorva
