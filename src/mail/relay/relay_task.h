// TRelayTask: one relay worker. As an SMTP client it sends the entries of the relay list to the
// configured relay server, or else to the recipient domain's mail exchangers (MX records, in
// order of preference, the next one tried when one cannot be reached; the domain itself when it
// has none), batch after batch, keeping its connection while the next batch goes to the same
// host, and reports every entry's outcome to the list (the queue processing acts on it). A
// look-up that gets no answer is a temporary failure; a domain whose one exchanger is the root
// takes no mail (permanent).
//
// Outcomes: a 2xx after the data delivers; a 5xx reply (to MAIL, to a RCPT for that recipient,
// to DATA or after the data) is permanent; a 4xx reply, no reply or a broken connection is
// temporary (retried RelayMin minutes later, RelayRetries times). A reply that comes with the
// server's close counts as that reply; nothing more is sent on a connection the server closed. A refused or unreachable
// peer is temporary, other connect failures permanent. A message that passed more than
// kMaxHops relays (Received lines), and a target host that is this host itself, fail
// permanently without a connection; so does a server that greets with this host's name. A
// reused connection is reset (RSET) before every transaction after its first. Replies
// spanning several lines are read to their final line.
//
// The task takes everything from a TRelayEnvironment, so tests drive it against a scripted
// server on a loopback address with a clock of their own; the mail services' start fills the
// installation's from the configuration (port 25).
#pragma once

#include <atomic>
#include <functional>
#include <string>
#include <vector>

#include "core/sockets.h"
#include "core/timed_server.h"
#include "mail/store/mail_folders.h"
#include "mail/relay/relay_client_task.h"
#include "mail/relay/relay_list.h"
#include "mail/relay/relay_reply.h"
#include "platform/date_time.h"
#include "platform/mail_exchangers.h"

namespace tovenmarsh::mail {

// Relays a message may have passed before it is refused as looping.
inline constexpr int kMaxHops = 30;
inline constexpr int kSMTPPort = 25;

struct TRelayEnvironment {
  TRelayList* list = nullptr;
  TMailFolders folders;
  std::function<platform::TDateTime()> now;
  std::string hostName;    // sent with HELO; mail to it is never relayed
  std::string relayServer;  // empty: the recipient's domain
  int retries = 5;
  int port = kSMTPPort;     // tests put their server's port here
  core::TTimeouts timeouts = core::DefaultTimeouts();
  std::atomic<int>* runningTasks = nullptr;  // counted up on creation, down on destruction
  std::function<void()> wakeQueue;           // run when the last running task ends
  // The mail exchangers of a domain, asked when no relay server is set; none: the domain itself.
  platform::TMxLookup lookupMx;
};

class TRelayTask : public TClientTask {
 public:
  explicit TRelayTask(TRelayEnvironment environment);
  ~TRelayTask() override;

  std::string ClassName() const override { return "TRelayTask"; }

  // Whether host names this host ("localhost" included).
  bool IsOwnHost(const std::string& host) const;

 protected:
  bool Execute() override;

 private:
  enum class TStep { Done, Next, Reconnect };

  // Sends one batch over the current connection (connecting first when needed).
  void RelayBatch(TRelayBatch& batch, std::string& currentDomain);
  // Connects and greets; false with failure set to the state the batch gets when no other
  // host can be tried.
  bool Open(const std::string& host, uint8_t& failure);
  // The hosts to try for domain in order: the relay server, else its mail exchangers by
  // preference, else the domain itself; false (failure set) when there is none to try.
  bool Exchangers(const std::string& domain, std::vector<std::string>& hosts, uint8_t& failure);
  void Close();
  // Sends text + CR LF and reads the reply; its first digit, 0 on failure.
  int Command(const std::string& text);
  void ReportAll(const TRelayBatch& batch, uint8_t state);

  TRelayEnvironment environment_;
  TSMTPReply reply_;
  std::string connectedHost_;
  int transactions_ = 0;  // MAIL transactions begun on the current connection
};

// The class reference of relay tasks made with environment.
core::TTaskClass RelayTaskClass(TRelayEnvironment environment);

// The relay part of a queue-daemon round: StartTaskWhenDue (see there) when an entry of the
// list is due.
bool StartRelayTaskWhenDue(core::TDaemon& owner, const TRelayList& list, std::atomic<int>& runningTasks,
                           platform::TDateTime now, const std::function<void()>& start);

inline constexpr int kMaxRelayTasks = kMaxClientTasks;

}  // namespace tovenmarsh::mail
