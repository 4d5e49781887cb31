// The TLS listener's certificate, key and client authority as Qt's TLS server takes them.
// The files are expected to have passed the daemon's own checks (TlsContext::Load), which name
// the file and the reason; what is left to fail here is what Qt alone cannot read.
//
//   std::string error;
//   auto configuration = LoadServerTlsConfiguration({"cert.pem", "key.pem", ""}, error);
#pragma once

#include <QSslConfiguration>
#include <optional>
#include <string>

#include "TlsFiles.h"

namespace zorva {

// TLS 1.2 and later; no client certificate is asked for without a CA file.
std::optional<QSslConfiguration> LoadServerTlsConfiguration(const TTlsFiles& files,
                                                            std::string& error);

}  // namespace zorva
