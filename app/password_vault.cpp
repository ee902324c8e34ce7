#include "app/password_vault.h"

#include <qt6keychain/keychain.h>

#include <QByteArray>
#include <QEventLoop>

namespace {

// Runs `job` to its end; "" when it succeeded, else the keyring's reason.
std::string Finish(QKeychain::Job& job, const std::string& key) {
  job.setAutoDelete(false);
  job.setInsecureFallback(false);
  job.setKey(QString::fromStdString(key));
  QEventLoop loop;
  bool finished = false;
  QObject::connect(&job, &QKeychain::Job::finished, &loop, [&] {
    finished = true;
    loop.quit();
  });
  job.start();
  // A keyring that answers at once has finished before the loop could run.
  if (!finished) {
    loop.exec(QEventLoop::ExcludeUserInputEvents);
  }
  if (job.error() == QKeychain::NoError) {
    return {};
  }
  const QString reason = job.errorString();
  // A secret service without the login keyring (none was ever created, or no session unlocked
  // one) names the missing object's path, which tells an administrator nothing.
  if (reason.contains(QStringLiteral("/org/freedesktop/secrets/collection/login"))) {
    return "no keyring is unlocked (the desktop's secret service has no login keyring)";
  }
  return reason.isEmpty() ? std::string("the keyring did not answer") : reason.toStdString();
}

}  // namespace

PasswordVault::Lookup KeychainVault::Read(const std::string& key) {
  QKeychain::ReadPasswordJob job(service_);
  std::string error = Finish(job, key);
  if (job.error() == QKeychain::EntryNotFound) {
    return {};
  }
  if (!error.empty()) {
    return {std::nullopt, std::move(error)};
  }
  // Kept as bytes, so a password that is not UTF-8 comes back unchanged.
  const QByteArray bytes = job.binaryData();
  return {std::string(bytes.constData(), static_cast<size_t>(bytes.size())), {}};
}

std::string KeychainVault::Write(const std::string& key, const std::string& password) {
  QKeychain::WritePasswordJob job(service_);
  job.setBinaryData(QByteArray(password.data(), static_cast<qsizetype>(password.size())));
  return Finish(job, key);
}

std::string KeychainVault::Remove(const std::string& key) {
  QKeychain::DeletePasswordJob job(service_);
  std::string error = Finish(job, key);
  return job.error() == QKeychain::EntryNotFound ? std::string() : error;
}
