// TSystemParameters: folders, configuration with defaults, running flag and counters.
#include "core/system_parameters.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "core/str_utils.h"
#include "platform/paths.h"
#include "platform/stream.h"

namespace tovenmarsh::core {

const char* const kDefaultConfiguration =
    "WebServer=\r\n"
    "RelayServer=\r\n"
    "RelayRetries=5\r\n"
    "RelayMin=30\r\n"
    "MaillistMaxDepth=1\r\n"
    "MaxTCPCon=0\r\n"
    "SessionTimeout=10\r\n"
    "SecurityOn=No\r\n"
    "UserLevel=1\r\n"
    "AdminLevel=10\r\n"
    "AccountPoolMin=1\r\n"
    "AccountPoolMax=10\r\n"
    "ExtAccountPoolMin=1\r\n"
    "ExtAccountPoolMax=10\r\n"
    "AliasPoolMin=1\r\n"
    "AliasPoolMax=10\r\n"
    "MaillistPoolMin=1\r\n"
    "MaillistPoolMax=10\r\n"
    "CompanyPoolMin=1\r\n"
    "CompanyPoolMax=10\r\n"
    "DomainPoolMin=1\r\n"
    "DomainPoolMax=10\r\n"
    "MailboxPoolMin=1\r\n"
    "MailboxPoolMax=10\r\n"
    "ExtMailboxPoolMin=1\r\n"
    "ExtMailboxPoolMax=10\r\n"
    "DocumentPoolMin=1\r\n"
    "DocumentPoolMax=10\r\n"
    // Client networks (CIDR, separated by blanks or commas) that may relay through this server.
    "RelayNetworks=127.0.0.0/8 ::1/128\r\n";

TSystemParameters::TSystemParameters(const std::string& programPath)
    : startTime_(platform::Now()), programPath_(programPath) {
  programFolder_ = platform::ExtractFilePath(programPath);
  databaseFolder_ = programFolder_ + "db" + platform::PathDelimiter;
  tempFolder_ = platform::SystemTempFolder();
  if (tempFolder_.empty()) tempFolder_ = programFolder_ + "temp" + platform::PathDelimiter;
  mailFolder_ = programFolder_ + "mail" + platform::PathDelimiter;
  queueFolder_ = programFolder_ + "queue" + platform::PathDelimiter;
  documentFolder_ = programFolder_ + "document" + platform::PathDelimiter;
  webFolder_ = programFolder_ + "webroot" + platform::PathDelimiter;
  templateFolder_ = webFolder_ + "template" + platform::PathDelimiter;
  fileRootFolder_ = programFolder_ + "fileroot" + platform::PathDelimiter;
  logPath_ = programFolder_ + "tovenmarsh.log";
  defaults_.SetText(kDefaultConfiguration);
  configuration_ = std::make_shared<const platform::TStringList>(defaults_);
}

std::string TSystemParameters::HostName() const {
  std::lock_guard<std::mutex> guard(infoLock_);
  return hostName_;
}

std::string TSystemParameters::ShortHostName() const {
  std::lock_guard<std::mutex> guard(infoLock_);
  return shortHostName_;
}

void TSystemParameters::SetHostNames(const std::string& hostName, const std::string& shortHostName) {
  std::lock_guard<std::mutex> guard(infoLock_);
  hostName_ = hostName;
  shortHostName_ = shortHostName;
}

std::string TSystemParameters::VersionText() const {
  std::lock_guard<std::mutex> guard(infoLock_);
  return versionText_;
}

int TSystemParameters::VersionNumber() const {
  std::lock_guard<std::mutex> guard(infoLock_);
  return versionNumber_;
}

void TSystemParameters::SetVersion(const std::string& text, int number) {
  std::lock_guard<std::mutex> guard(infoLock_);
  versionText_ = text;
  versionNumber_ = number;
}

std::shared_ptr<const platform::TStringList> TSystemParameters::Snapshot() const {
  std::lock_guard<std::mutex> guard(snapshotLock_);
  return configuration_;
}

platform::TStringList TSystemParameters::Configuration() const { return *Snapshot(); }

std::string TSystemParameters::GetString(std::string_view key) const {
  std::string value = Snapshot()->Values(key);
  if (value.empty()) value = defaults_.Values(key);
  return value;
}

int TSystemParameters::GetInt(std::string_view key) const {
  const int value = TextToInt(Snapshot()->Values(key));
  return value != 0 ? value : TextToInt(defaults_.Values(key));
}

bool TSystemParameters::GetBool(std::string_view key) const { return TextToBool(Snapshot()->Values(key)); }

void TSystemParameters::SetString(std::string_view key, std::string_view value) {
  std::lock_guard<std::recursive_mutex> guard(lock_);
  auto changed = std::make_shared<platform::TStringList>(*Snapshot());
  changed->SetValues(key, value);
  std::lock_guard<std::mutex> swap(snapshotLock_);
  configuration_ = std::move(changed);
}

void TSystemParameters::SetBool(std::string_view key, bool flag) { SetString(key, BoolToYesNo(flag)); }

void TSystemParameters::Load() {
  std::lock_guard<std::recursive_mutex> guard(lock_);
  const std::string path = ConfigPath();
  if (!platform::FileExists(path)) return;
  auto loaded = std::make_shared<platform::TStringList>();
  loaded->LoadFromFile(path);
  std::lock_guard<std::mutex> swap(snapshotLock_);
  configuration_ = std::move(loaded);
}

void TSystemParameters::Save() {
  std::lock_guard<std::recursive_mutex> guard(lock_);
  auto sorted = std::make_shared<platform::TStringList>(*Snapshot());
  sorted->Sort();
  {
    std::lock_guard<std::mutex> swap(snapshotLock_);
    configuration_ = sorted;
  }
  // The new file is written beside the old one and then renamed over it, so that a crash or a
  // full disk during the save never leaves a truncated configuration behind.
  const std::string path = ConfigPath();
  const std::string temporary = path + ".new";
  {
    platform::TFileStream file(temporary, platform::fmCreate);
    try {
      file.WriteString(sorted->Text());
      file.Sync();
    } catch (...) {
      std::remove(temporary.c_str());
      throw;
    }
  }
  if (std::rename(temporary.c_str(), path.c_str()) != 0) {
    const std::string reason = std::strerror(errno);
    std::remove(temporary.c_str());
    throw platform::EFCreateError("Cannot create file \"" + path + "\". " + reason);
  }
}

void TSystemParameters::CountConnection(bool up, int kind) {
  if (kind < 1 || kind > kConnectionKindCount) return;
  std::lock_guard<std::mutex> guard(countersLock_);
  auto index = static_cast<size_t>(kind - 1);
  const int now = connectionCounts_[index].load() + (up ? 1 : -1);
  connectionCounts_[index].store(now);
  if (now > connectionPeaks_[index].load()) connectionPeaks_[index].store(now);
}

void TSystemParameters::CountThread(bool up) {
  std::lock_guard<std::mutex> guard(countersLock_);
  const int now = threadCount_.load() + (up ? 1 : -1);
  threadCount_.store(now);
  if (now > threadPeak_.load()) threadPeak_.store(now);
}

int TSystemParameters::ConnectionCount(int kind) const {
  if (kind < 1 || kind > kConnectionKindCount) return 0;
  return connectionCounts_[static_cast<size_t>(kind - 1)].load();
}

int TSystemParameters::ConnectionPeak(int kind) const {
  if (kind < 1 || kind > kConnectionKindCount) return 0;
  return connectionPeaks_[static_cast<size_t>(kind - 1)].load();
}

TSystemParameters& SystemParameters() {
  static TSystemParameters parameters(platform::ExecutablePath());
  return parameters;
}

void CountConnection(bool up, int kind) { SystemParameters().CountConnection(up, kind); }

void CountThread(bool up) { SystemParameters().CountThread(up); }

bool IsRebuildArgument(std::string_view firstArgument) {
  return !firstArgument.empty() && (firstArgument[0] == 'R' || firstArgument[0] == 'r');
}

}  // namespace tovenmarsh::core
