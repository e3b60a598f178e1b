// The one process-wide object that knows the installation: product name, version, host names,
// the folders beside the executable, the configuration (tovenmarsh.cfg) with its built-in
// defaults, the running flag and the thread and connection counters.
//
// Reads may come from any thread while another writes: the configuration is an immutable
// snapshot that writers replace under the parameters lock, and flags and counters are atomic.
#pragma once

#include <array>
#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

#include "platform/date_time.h"
#include "platform/string_list.h"

namespace tovenmarsh::core {

// Connection kinds of the counters; 0 is not counted.
enum TConnectionKind : int {
  ckNone = 0,
  ckHTTP = 1,
  ckSMTP = 2,
  ckPOP3 = 3,
  ckPOPMail = 4,
  ckRelay = 5,
};
constexpr int kConnectionKindCount = 5;

// The built-in defaults, one Name=Value line per key.
extern const char* const kDefaultConfiguration;

class TSystemParameters {
 public:
  // Derives every folder from the executable's full path; loads nothing yet.
  explicit TSystemParameters(const std::string& programPath);
  TSystemParameters(const TSystemParameters&) = delete;
  TSystemParameters& operator=(const TSystemParameters&) = delete;

  const std::string& ProductName() const { return productName_; }
  const std::string& ProgramPath() const { return programPath_; }
  const std::string& ProgramFolder() const { return programFolder_; }
  const std::string& DatabaseFolder() const { return databaseFolder_; }
  const std::string& TempFolder() const { return tempFolder_; }
  const std::string& MailFolder() const { return mailFolder_; }
  const std::string& QueueFolder() const { return queueFolder_; }
  const std::string& DocumentFolder() const { return documentFolder_; }
  const std::string& WebFolder() const { return webFolder_; }
  const std::string& TemplateFolder() const { return templateFolder_; }
  const std::string& FileRootFolder() const { return fileRootFolder_; }
  const std::string& LogPath() const { return logPath_; }
  std::string ConfigPath() const { return programFolder_ + "tovenmarsh.cfg"; }
  platform::TDateTime StartTime() const { return startTime_; }

  // Set when sockets start.
  std::string HostName() const;
  std::string ShortHostName() const;
  void SetHostNames(const std::string& hostName, const std::string& shortHostName);

  // Set by each start from the executable's version.
  std::string VersionText() const;
  int VersionNumber() const;
  void SetVersion(const std::string& text, int number);

  bool Running() const { return running_.load(); }
  void SetRunning(bool running) { running_.store(running); }
  bool Rebuild() const { return rebuild_.load(); }
  void SetRebuild(bool rebuild) { rebuild_.store(rebuild); }

  // The configured value; when empty or missing, the default ("" for an unknown key).
  std::string GetString(std::string_view key) const;
  // TextToInt of the configured value; when that is 0, TextToInt of the default.
  int GetInt(std::string_view key) const;
  // TextToBool of the configured value, without falling back to the default.
  bool GetBool(std::string_view key) const;
  void SetString(std::string_view key, std::string_view value);
  void SetBool(std::string_view key, bool flag);

  // Replaces the configuration by tovenmarsh.cfg when that file exists.
  void Load();
  // Sorts the configuration and writes it to tovenmarsh.cfg (CR LF lines).
  void Save();

  // A copy of the current configuration / the defaults.
  platform::TStringList Configuration() const;
  const platform::TStringList& Defaults() const { return defaults_; }

  // Counters: kind 1..5 as TConnectionKind; other kinds are ignored.
  void CountConnection(bool up, int kind);
  void CountThread(bool up);
  int ThreadCount() const { return threadCount_.load(); }
  int ThreadPeak() const { return threadPeak_.load(); }
  int ConnectionCount(int kind) const;
  int ConnectionPeak(int kind) const;

 private:
  std::shared_ptr<const platform::TStringList> Snapshot() const;

  const std::string productName_ = "tovenmarsh";
  const platform::TDateTime startTime_;
  std::string programPath_;
  std::string programFolder_;
  std::string databaseFolder_;
  std::string tempFolder_;
  std::string mailFolder_;
  std::string queueFolder_;
  std::string documentFolder_;
  std::string webFolder_;
  std::string templateFolder_;
  std::string fileRootFolder_;
  std::string logPath_;
  platform::TStringList defaults_;

  std::atomic<bool> running_{false};
  std::atomic<bool> rebuild_{false};

  mutable std::mutex infoLock_;  // host names and version
  std::string hostName_;
  std::string shortHostName_;
  std::string versionText_;
  int versionNumber_ = 0;

  std::recursive_mutex lock_;           // writers, Load and Save
  mutable std::mutex snapshotLock_;     // swapping the configuration pointer
  std::shared_ptr<const platform::TStringList> configuration_;

  std::mutex countersLock_;
  std::atomic<int> threadCount_{0};
  std::atomic<int> threadPeak_{0};
  std::array<std::atomic<int>, kConnectionKindCount> connectionCounts_{};
  std::array<std::atomic<int>, kConnectionKindCount> connectionPeaks_{};
};

// The one global object, created on first use from the executable's path and kept for the
// whole process.
TSystemParameters& SystemParameters();

// Shorthands for SystemParameters().CountConnection / CountThread.
void CountConnection(bool up, int kind);
void CountThread(bool up);

// True when a first command-line argument asks for a rebuild (first character "R" or "r").
bool IsRebuildArgument(std::string_view firstArgument);

}  // namespace tovenmarsh::core
