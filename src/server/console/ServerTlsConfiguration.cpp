#include "ServerTlsConfiguration.h"

#include <QFile>
#include <QList>
#include <QSslCertificate>
#include <QSslKey>
#include <QSslSocket>

namespace zorva {

namespace {

QList<QSslCertificate> Certificates(const std::string& path) {
  return QSslCertificate::fromPath(QString::fromStdString(path), QSsl::Pem,
                                   QSslCertificate::PatternSyntax::FixedString);
}

// A PEM key does not say its algorithm to Qt; the first that reads it is the one.
QSslKey PrivateKey(const std::string& path) {
  QFile file(QString::fromStdString(path));
  if (!file.open(QIODevice::ReadOnly)) return {};
  const QByteArray pem = file.readAll();
  for (const QSsl::KeyAlgorithm algorithm : {QSsl::Ec, QSsl::Rsa, QSsl::Dsa}) {
    QSslKey key(pem, algorithm, QSsl::Pem, QSsl::PrivateKey);
    if (!key.isNull()) return key;
  }
  return {};
}

}  // namespace

std::optional<QSslConfiguration> LoadServerTlsConfiguration(const TTlsFiles& files,
                                                            std::string& error) {
  const QList<QSslCertificate> chain = Certificates(files.CertFile);
  if (chain.isEmpty()) {
    error = files.CertFile + ": not a PEM certificate";
    return std::nullopt;
  }
  const QSslKey key = PrivateKey(files.KeyFile);
  if (key.isNull()) {
    error = files.KeyFile + ": not a private key this program can read";
    return std::nullopt;
  }
  QSslConfiguration configuration = QSslConfiguration::defaultConfiguration();
  configuration.setProtocol(QSsl::TlsV1_2OrLater);
  configuration.setLocalCertificateChain(chain);
  configuration.setPrivateKey(key);
  configuration.setPeerVerifyMode(QSslSocket::VerifyNone);
  if (files.CaFile.empty()) return configuration;
  const QList<QSslCertificate> authorities = Certificates(files.CaFile);
  if (authorities.isEmpty()) {
    error = files.CaFile + ": not a PEM certificate";
    return std::nullopt;
  }
  configuration.setCaCertificates(authorities);
  configuration.setPeerVerifyMode(QSslSocket::VerifyPeer);
  return configuration;
}

}  // namespace zorva
