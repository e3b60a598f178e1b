// The framework's worker threads and their starters.
//
// - TServerListenThread: the accept loop of one port. A connection is accepted only while the
//   listener's counting semaphore has a free slot (at most N at once; others wait in the
//   backlog), and each gets a TServerThread with a new protocol object. With a limit per client
//   address, a connection from an address that has that many already is parked unserved (it
//   waits as in the backlog, without a slot) until one of them ends, so one host cannot take
//   every slot; parked connections beyond the backlog's size are closed (those of an address at
//   its share first). A listener that drops waiting connections takes in a client when every
//   slot is taken, parks it, and makes room: the connection that has waited longest in a read
//   since it was opened or last answered (at least kDropAfter) is shut down, so clients that
//   trickle or hold requests half-sent cannot lock others out. A client whose address is at its
//   share makes no room.
// - TServerThread: one connection: greeting, read/run/write rounds, farewell. When it ends it
//   closes the socket, frees the protocol object and gives the slot back.
// - TDaemonThread: runs a TDaemon on its interval and at once when woken.
// - TTaskThread: runs a TTask once.
// Every thread is owned by the manager thread (created through NewThread, which registers it),
// started by its starter, and leaves the registry as its last act; it frees its worker object
// itself before that. Listening ports get TOVENMARSH_PORT_OFFSET added (port 0 stays 0: an
// ephemeral port, for tests); an unusable offset refuses the listener.
// A request that arrives together with the peer's half-close is still run and answered
// before the connection ends.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <exception>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <utility>

#include "core/manager_thread.h"
#include "core/server_errors.h"
#include "core/sockets.h"
#include "core/tcp_server.h"
#include "core/timed_server.h"
#include "platform/sync.h"
#include "platform/thread.h"

namespace tovenmarsh::core {

class TVThread : public platform::TThread {
 public:
  virtual std::string ClassName() const;

 protected:
  // Leaves the manager's registry; derived overrides free their worker first and call this last.
  void DoTerminate() override;
  void HandleException(std::exception_ptr error) override;
};

// Creates a thread of class T and registers it with the manager (EShutdown once shut down).
template <class T, class... Args>
T& NewThread(Args&&... args) {
  TManagerThread* manager = ManagerThread();
  if (manager == nullptr || IsShutDown()) throw EShutdown("Server has been shut down: This error should not occur");
  auto thread = std::make_unique<T>(std::forward<Args>(args)...);
  T& result = *thread;
  manager->AddThread(std::move(thread));
  return result;
}

// The connections of a listener per client address (IPv4, network byte order).
class TAddressCounts {
 public:
  // Counts one more connection of address unless it has limit already.
  bool TryTake(uint32_t address, int limit);
  bool HasRoom(uint32_t address, int limit);
  void Give(uint32_t address);

 private:
  std::mutex lock_;
  std::unordered_map<uint32_t, int> counts_;
};

// The connections of a listener and how long each has waited on its client: since it was
// opened or last sent something, while its thread waits in a read.
class TWaitingConnections {
 public:
  void Add(const void* connection, TSocket socket);
  void SetReading(const void* connection, bool reading);
  void Answered(const void* connection);
  // Before the socket is closed: it is never shut down afterwards, whatever number it gets.
  void Remove(const void* connection);
  // Shuts down the socket of the reading connection that has waited longest, when that is at
  // least minimum; true when one was.
  bool DropOldest(std::chrono::milliseconds minimum);

 private:
  struct TEntry {
    TSocket socket;
    bool reading;
    std::chrono::steady_clock::time_point since;
  };
  std::mutex lock_;
  std::unordered_map<const void*, TEntry> entries_;
};

// The least time a connection must have waited on its client before a new client may take its
// slot.
inline constexpr std::chrono::milliseconds kDropAfter{2000};

class TServerListenThread : public TVThread {
 public:
  // perAddress: most connections served at once per client address; 0: no such limit.
  // dropWaiting: when every slot is taken, the longest-waiting connection makes room.
  TServerListenThread(int port, TTCPServerClass serverClass, int maxConnections, int backlog, int perAddress = 0,
                      bool dropWaiting = false);

  std::string ClassName() const override { return "ServerListenThread"; }
  int Port() const { return port_; }
  int MaxConnections() const { return maxConnections_; }
  int Backlog() const { return backlog_; }
  int PerAddress() const { return perAddress_; }
  const std::string& BindAddress() const { return bindAddress_; }
  // The protocol served: the class name without a leading "T" and a trailing "Server".
  std::string ProtocolName() const;
  // The port listened on (after the offset; the real one for port 0), waiting up to ms for the
  // listener to be ready; 0 when it is not.
  int WaitListening(uint32_t ms);

 protected:
  void Execute() override;
  void DoTerminate() override;

 private:
  TSocket OpenListener(int port);
  bool TakeSlot();
  void StartConnection(TSocket socket, uint32_t address);
  // Starts parked connections whose address has room again, while slots are free.
  void StartParked();
  // Parks an accepted connection (when the queue, backlog long, has room for it); makeRoom:
  // it waits for a slot, which the longest-waiting connection is to give up.
  void Park(TSocket socket, uint32_t address, bool makeRoom);
  void BackOff(int failures);

  struct TParked {
    TSocket socket;
    uint32_t address;
  };

  const int port_;
  const int listenPort_;  // port_ with the offset, fixed when the listener is made
  const TTCPServerClass serverClass_;
  const int maxConnections_;
  const int backlog_;
  const int perAddress_;
  const bool dropWaiting_;
  const std::string bindAddress_;  // always empty: all interfaces
  std::shared_ptr<platform::TSemaphore> slots_;
  std::shared_ptr<TAddressCounts> addresses_;
  std::shared_ptr<TWaitingConnections> waiting_;
  std::deque<TParked> parked_;
  platform::TCriticalSection* sharedLock_ = nullptr;
  std::atomic<int> listeningPort_{0};
  platform::TEvent listening_;
};

class TServerThread : public TVThread {
 public:
  // Takes the socket and the duty to give one slot back (and the address's count, when
  // counted), whatever happens.
  TServerThread(std::shared_ptr<platform::TSemaphore> slots, TSocket socket,
                std::shared_ptr<TAddressCounts> addresses = nullptr, uint32_t address = 0,
                std::shared_ptr<TWaitingConnections> waiting = nullptr);
  ~TServerThread() override;

  void SetServer(std::unique_ptr<TTCPServer> server) { server_ = std::move(server); }
  TTCPServer* Server() const { return server_.get(); }

 protected:
  void Execute() override;
  void DoTerminate() override;

 private:
  bool Stopped() const;
  void Send(TTCPServer& server);
  void Read(TTCPServer& server);
  void Finish();

  std::shared_ptr<platform::TSemaphore> slots_;
  TSocket socket_;
  std::shared_ptr<TAddressCounts> addresses_;
  uint32_t address_;
  std::shared_ptr<TWaitingConnections> waiting_;
  TConnectionInfo info_;
  std::unique_ptr<TTCPServer> server_;
};

class TDaemonThread : public TVThread {
 public:
  explicit TDaemonThread(std::chrono::milliseconds interval) : interval_(interval) {}

  void SetWakeEvent(platform::TEvent* event) { wake_ = event; }
  void SetDaemon(std::unique_ptr<TDaemon> daemon) { daemon_ = std::move(daemon); }
  std::chrono::milliseconds Interval() const { return interval_; }

 protected:
  void Execute() override;
  void DoTerminate() override;

 private:
  bool Stopped() const;

  const std::chrono::milliseconds interval_;
  platform::TEvent* wake_ = nullptr;
  std::unique_ptr<TDaemon> daemon_;
};

class TTaskThread : public TVThread {
 public:
  void SetTask(std::unique_ptr<TTask> task) { task_ = std::move(task); }

 protected:
  void Execute() override;
  void DoTerminate() override;

 private:
  std::unique_ptr<TTask> task_;
};

// port + TOVENMARSH_PORT_OFFSET for a listening port; 0 stays 0, an unset or empty offset
// adds nothing. An offset that is not a whole number from 0 up, or that takes the port past
// 65535, raises EVServer saying so: a misconfigured instance must never fall back to the
// real ports.
int ListeningPort(int port);

// Starts the listener of a port. MaxTCPCon, when above 0 and below maxConnections, lowers it.
// perAddress above 0 limits the connections served at once per client address (to one less
// than the connection limit at most, so that another host always finds a slot). dropWaiting:
// see TServerListenThread.
// An unusable TOVENMARSH_PORT_OFFSET raises EVServer before anything is started, so the
// server's start fails and logs why.
TServerListenThread& StartTCPServer(int port, const TTCPServerClass& serverClass, int maxConnections, int backlog,
                                    int perAddress = 0, bool dropWaiting = false);
// What the listeners that run listen on (all addresses), in the order they were started, once
// each is ready (waiting up to waitMs for each): "SMTP 25, POP3 110, HTTP 80" (the protocol is
// the class name without "T" and "Server"); empty when none runs.
std::string ListeningSummary(uint32_t waitMs);

// The hint of a failed bind: another instance (or a system daemon) has the port.
inline constexpr const char* kPortOffsetHint =
    "To run beside it, set TOVENMARSH_PORT_OFFSET=N to listen on ports 25+N, 110+N and 80+N";

// Starts a daemon thread that runs a new daemon every interval minutes and when woken. The
// returned daemon lives while its thread runs; keep its WakeEvent() to wake it later.
TDaemon& StartDaemon(const TDaemonClass& daemonClass, int intervalMinutes, platform::TThreadPriority priority);
TDaemon& StartDaemon(const TDaemonClass& daemonClass, std::chrono::milliseconds interval,
                     platform::TThreadPriority priority);
// Starts a task thread; with an owner the task shares the owner's lock. The returned task
// lives while its thread runs.
TTask& StartTask(TDaemon* owner, const TTaskClass& taskClass, platform::TThreadPriority priority);

}  // namespace tovenmarsh::core
