// TlsFiles: where a TLS listener's certificate, key and client authority are, for whichever
// transport serves TLS.
#pragma once

#include <string>

namespace zorva {

struct TTlsFiles {
  std::string CertFile;  // PEM; the chain may follow the certificate in the same file
  std::string KeyFile;   // PEM, unencrypted
  std::string CaFile;    // PEM; when set, a client must show a certificate it signed
};

}  // namespace zorva
