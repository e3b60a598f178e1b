// Listener, connection, daemon and task threads, and their starters.
#include "core/worker_threads.h"

#include <algorithm>
#include <cstdlib>
#include <vector>

#include "core/log.h"
#include "core/system_parameters.h"
#include "platform/format.h"
#include "platform/socket.h"
#include "platform/tick.h"

namespace tovenmarsh::core {

using platform::Format;
using platform::TSocketWait;
using platform::TThreadPriority;

namespace {

TManagerThread& Manager() {
  TManagerThread* manager = ManagerThread();
  if (manager == nullptr || IsShutDown()) throw EShutdown("Server has been shut down: This error should not occur");
  return *manager;
}

// The listener threads that run, in the order they were started.
std::mutex g_listenersLock;
std::vector<TServerListenThread*> g_listeners;

void AddListener(TServerListenThread* listener) {
  std::lock_guard<std::mutex> guard(g_listenersLock);
  g_listeners.push_back(listener);
}

void RemoveListener(TServerListenThread* listener) {
  std::lock_guard<std::mutex> guard(g_listenersLock);
  g_listeners.erase(std::remove(g_listeners.begin(), g_listeners.end(), listener), g_listeners.end());
}

}  // namespace

// ---- TVThread ----

std::string TVThread::ClassName() const { return ShortClassName(typeid(*this)); }

void TVThread::DoTerminate() {
  try {
    if (IsShutDown()) return;
    if (TManagerThread* manager = ManagerThread()) manager->RemoveThread(this);
  } catch (...) {
    // The thread ends either way; a thread left on the manager's list is worth a log line.
    LogCurrentException("removing " + ClassName() + " from the manager");
  }
}

void TVThread::HandleException(std::exception_ptr error) {
  try {
    std::rethrow_exception(error);
  } catch (const std::exception& e) {
    LogException("in " + ClassName(), e, false);
  } catch (...) {
    WriteLog(TLogLevel::Exception, "(unknown) in " + ClassName());
  }
}

// ---- TServerListenThread ----

bool TAddressCounts::TryTake(uint32_t address, int limit) {
  std::lock_guard<std::mutex> guard(lock_);
  int& count = counts_[address];
  if (count >= limit) return false;
  ++count;
  return true;
}

bool TAddressCounts::HasRoom(uint32_t address, int limit) {
  std::lock_guard<std::mutex> guard(lock_);
  const auto found = counts_.find(address);
  return found == counts_.end() || found->second < limit;
}

void TAddressCounts::Give(uint32_t address) {
  std::lock_guard<std::mutex> guard(lock_);
  const auto found = counts_.find(address);
  if (found == counts_.end()) return;
  if (--found->second <= 0) counts_.erase(found);
}

void TWaitingConnections::Add(const void* connection, TSocket socket) {
  std::lock_guard<std::mutex> guard(lock_);
  entries_[connection] = TEntry{socket, false, std::chrono::steady_clock::now()};
}

void TWaitingConnections::SetReading(const void* connection, bool reading) {
  std::lock_guard<std::mutex> guard(lock_);
  const auto found = entries_.find(connection);
  if (found != entries_.end()) found->second.reading = reading;
}

void TWaitingConnections::Answered(const void* connection) {
  std::lock_guard<std::mutex> guard(lock_);
  const auto found = entries_.find(connection);
  if (found != entries_.end()) found->second.since = std::chrono::steady_clock::now();
}

void TWaitingConnections::Remove(const void* connection) {
  std::lock_guard<std::mutex> guard(lock_);
  entries_.erase(connection);
}

bool TWaitingConnections::DropOldest(std::chrono::milliseconds minimum) {
  std::lock_guard<std::mutex> guard(lock_);
  const auto limit = std::chrono::steady_clock::now() - minimum;
  auto oldest = entries_.end();
  for (auto it = entries_.begin(); it != entries_.end(); ++it) {
    if (!it->second.reading || it->second.since > limit) continue;
    if (oldest == entries_.end() || it->second.since < oldest->second.since) oldest = it;
  }
  if (oldest == entries_.end()) return false;
  // The connection's own thread wakes from its read with the socket closed, ends and gives
  // the slot back; it is not asked again.
  platform::ShutdownSocket(oldest->second.socket);
  oldest->second.reading = false;
  return true;
}

TServerListenThread::TServerListenThread(int port, TTCPServerClass serverClass, int maxConnections, int backlog,
                                         int perAddress, bool dropWaiting)
    : port_(port),
      listenPort_(ListeningPort(port)),
      serverClass_(std::move(serverClass)),
      maxConnections_(std::max(maxConnections, 1)),
      backlog_(backlog),
      perAddress_(perAddress > 0 ? std::min(perAddress, std::max(maxConnections_ - 1, 1)) : 0),
      dropWaiting_(dropWaiting) {}

std::string TServerListenThread::ProtocolName() const {
  std::string name = serverClass_.name;
  if (name.size() > 1 && name[0] == 'T') name.erase(0, 1);
  if (name.size() > 6 && name.compare(name.size() - 6, 6, "Server") == 0) name.resize(name.size() - 6);
  return name;
}

int TServerListenThread::WaitListening(uint32_t ms) {
  if (listening_.WaitFor(ms) != platform::TWaitResult::Signaled) return 0;
  return listeningPort_.load();
}

TSocket TServerListenThread::OpenListener(int port) {
  const TSocket s = platform::CreateTcpSocket();
  if (s == kInvalidSocket) SocketPanic(Format("ServerListenThread.execute.winsock.socket(%d)", port), true);
  // Stop then Start must bind again at once, whatever connections linger in TIME_WAIT.
  if (!platform::SetReuseAddress(s)) SocketPanic(Format("ServerListenThread.execute.winsock.setsockopt_0(%d)", port), true);
  if (!platform::BindAnyAddress(s, static_cast<uint16_t>(port))) {
    const std::string error = SocketErrorText(platform::LastSocketError());
    LogPanic(Format("ServerListenThread.execute.winsock.bind: Another server active on port(%d): %s. %s", port,
                    error.c_str(), kPortOffsetHint));
  }
  if (!platform::ListenOn(s, backlog_)) SocketPanic(Format("ServerListenThread.execute.winsock.listen(%d)", port), true);
  const TTimeouts timeouts = DefaultTimeouts();
  if (!platform::SetReceiveTimeout(s, static_cast<uint32_t>(timeouts.receiveTimeout))) {
    SocketPanic(Format("ServerListenThread.execute.winsock.setsockopt_1(%d)", port), true);
  }
  if (!platform::SetSendTimeout(s, static_cast<uint32_t>(timeouts.sendTimeout))) {
    SocketPanic(Format("ServerListenThread.execute.winsock.setsockopt_2(%d)", port), true);
  }
  // Accept never blocks: a connection that vanished between the wait and the accept must not
  // hold the listener. Accepted sockets are blocking.
  if (!platform::SetBlocking(s, false)) SocketPanic(Format("ServerListenThread.execute.winsock.ioctlsocket(%d)", port), true);
  return s;
}

bool TServerListenThread::TakeSlot() {
  for (int waited = 0; waited < 1000 && !Terminated(); waited += 100) {
    if (slots_->Acquire(100)) return true;
  }
  return false;
}

void TServerListenThread::BackOff(int failures) {
  // Accept failures such as too many open files last a while: wait longer each time instead
  // of spinning, up to 2 s.
  const uint32_t delay = std::min<uint32_t>(2000, 50u << std::min(failures - 1, 6));
  for (uint32_t slept = 0; slept < delay && !Terminated(); slept += 50) platform::Sleep(50);
}

void TServerListenThread::StartConnection(TSocket socket, uint32_t address) {
  // Until the thread runs, it owns the socket and the slot: freeing it returns both.
  auto owned =
      std::make_unique<TServerThread>(slots_, socket, perAddress_ > 0 ? addresses_ : nullptr, address, waiting_);
  TServerThread& thread = *owned;
  TManagerThread* manager = ManagerThread();
  if (manager == nullptr) throw EShutdown("Server has been shut down: This error should not occur");
  manager->AddThread(std::move(owned));
  try {
    std::unique_ptr<TTCPServer> server = serverClass_.create();
    server->SetThreadId(thread.ThreadId());
    server->SetLock(sharedLock_);
    thread.SetServer(std::move(server));
    thread.SetPriority(platform::PriorityBelow(TThreadPriority::Normal));
    thread.Start();
  } catch (...) {
    manager->DiscardThread(&thread);
    throw;
  }
}

void TServerListenThread::StartParked() {
  for (auto it = parked_.begin(); it != parked_.end() && !Terminated();) {
    if (perAddress_ > 0 && !addresses_->TryTake(it->address, perAddress_)) {
      ++it;
      continue;
    }
    if (!slots_->Acquire(0)) {
      if (perAddress_ > 0) addresses_->Give(it->address);
      return;
    }
    const TParked parked = *it;
    it = parked_.erase(it);
    StartConnection(parked.socket, parked.address);
  }
}

void TServerListenThread::Park(TSocket socket, uint32_t address, bool makeRoom) {
  const bool room = perAddress_ == 0 || addresses_->HasRoom(address, perAddress_);
  if (parked_.size() >= static_cast<size_t>(std::max(backlog_, 1))) {
    // A full queue: a client whose address has room goes before one that waits for its own
    // address's connections to end.
    const auto crowded = std::find_if(parked_.begin(), parked_.end(), [&](const TParked& parked) {
      return perAddress_ > 0 && !addresses_->HasRoom(parked.address, perAddress_);
    });
    if (!room || crowded == parked_.end()) {
      CloseSocket(socket);
      return;
    }
    CloseSocket(crowded->socket);
    parked_.erase(crowded);
  }
  if (makeRoom && room && waiting_ && waiting_->DropOldest(kDropAfter)) {
    // The slot made free is this client's: first in the queue.
    parked_.push_front({socket, address});
  } else {
    parked_.push_back({socket, address});
  }
}

void TServerListenThread::Execute() {
  const int port = listenPort_;
  slots_ = std::make_shared<platform::TSemaphore>(maxConnections_, maxConnections_);
  addresses_ = std::make_shared<TAddressCounts>();
  if (dropWaiting_) waiting_ = std::make_shared<TWaitingConnections>();
  sharedLock_ = NewCriticalSection();
  const TSocket listener = OpenListener(port);
  uint32_t address = 0;
  uint16_t actual = static_cast<uint16_t>(port);
  platform::LocalEndpoint(listener, address, actual);
  LogMessage(Format("[%s listener started on port %d]", serverClass_.name.c_str(), actual));
  listeningPort_.store(actual);
  listening_.SetEvent();

  int failures = 0;  // accept failures in a row
  int errors = 0;    // exceptions in a row
  while (!Terminated()) {
    try {
      if (!parked_.empty()) StartParked();
      // Parked connections are looked at again soon: their address's connections end at any time.
      const TSocketWait wait =
          platform::WaitSocket(listener, false, parked_.empty() ? 1000000 : 50000, SocketInterruptFd());
      if (wait == TSocketWait::Error) SocketError(Format("ServerListenThread.execute.winsock.select(%d)", actual), true);
      if (wait == TSocketWait::Timeout) continue;
      if (wait == TSocketWait::Interrupted) {
        if (!Terminated()) platform::Sleep(20);
        continue;
      }
      bool slot = true;
      if (waiting_) {
        // With every slot taken the client is taken in and parked, and the connection that has
        // waited longest on its client makes room for it.
        slot = slots_->Acquire(0);
      } else if (!TakeSlot()) {
        continue;  // all slots busy: the connection waits in the backlog
      }
      if (Terminated()) {
        if (slot) slots_->Release();
        continue;
      }
      const TSocket socket = platform::AcceptConnection(listener);
      if (socket == kInvalidSocket) {
        if (slot) slots_->Release();
        const int code = platform::LastSocketError();
        // Nothing to take after all, or the peer gave up before we took it.
        if (code == platform::WSAEWOULDBLOCK || code == platform::WSAECONNABORTED) continue;
        // Log only the first of a run of failures, then back off.
        if (++failures == 1) SocketError(Format("ServerListenThread.execute.winsock.accept(%d)", actual), true);
        BackOff(failures);
        continue;
      }
      failures = 0;
      uint32_t address = 0;
      if (perAddress_ > 0) {
        uint16_t peerPort = 0;
        platform::PeerEndpoint(socket, address, peerPort);
      }
      if (!slot) {
        Park(socket, address, true);
        continue;
      }
      if (perAddress_ > 0 && !addresses_->TryTake(address, perAddress_)) {
        slots_->Release();
        Park(socket, address, false);
        continue;
      }
      StartConnection(socket, address);
      errors = 0;
    } catch (const std::exception& e) {
      LogException("in ServerListenThread", e, false);
      // A failure that repeats at once (a broken wait, a failing protocol object) must not
      // spin and flood the log either.
      BackOff(std::max(failures, ++errors));
    }
  }
  CloseSocket(listener);
  for (const TParked& parked : parked_) CloseSocket(parked.socket);
  parked_.clear();
  LogMessage(Format("[%s listener stopped on port %d]", serverClass_.name.c_str(), actual));
}

void TServerListenThread::DoTerminate() {
  RemoveListener(this);
  TVThread::DoTerminate();
}

std::string ListeningSummary(uint32_t waitMs) {
  std::lock_guard<std::mutex> guard(g_listenersLock);
  std::string ports;
  for (TServerListenThread* listener : g_listeners) {
    const int port = listener->WaitListening(waitMs);
    if (port <= 0) continue;
    ports += Format("%s%s %d", ports.empty() ? "" : ", ", listener->ProtocolName().c_str(), port);
  }
  return ports;
}

// ---- TServerThread ----

TServerThread::TServerThread(std::shared_ptr<platform::TSemaphore> slots, TSocket socket,
                             std::shared_ptr<TAddressCounts> addresses, uint32_t address,
                             std::shared_ptr<TWaitingConnections> waiting)
    : slots_(std::move(slots)),
      socket_(socket),
      addresses_(std::move(addresses)),
      address_(address),
      waiting_(std::move(waiting)) {
  if (waiting_) waiting_->Add(this, socket_);
}

TServerThread::~TServerThread() {
  WaitFor();
  Finish();
}

bool TServerThread::Stopped() const { return Terminated() || (server_ && server_->StopFlag()); }

void TServerThread::Send(TTCPServer& server) {
  TCPWrite(socket_, server.Output(), server.ReadSpec(), server.Hook(), server.Timeouts());
  if (waiting_) waiting_->Answered(this);
}

void TServerThread::Read(TTCPServer& server) {
  if (waiting_) waiting_->SetReading(this, true);
  TCPRead(socket_, server.Input(), server.ReadSpec(), server.Hook(), server.Timeouts());
  if (waiting_) waiting_->SetReading(this, false);
}

void TServerThread::Execute() {
  if (!server_) return;
  TTCPServer& server = *server_;
  GetConnectionInfo(socket_, info_);
  server.ConnectionInfo() = info_;
  server.Input().Clear();
  server.Output().Clear();
  server.SetSender([this, &server] {
    Send(server);
    if (server.Output().Status() != ssOK) return false;
    server.Output().Clear();
    return true;
  });
  try {
    if (server.Greeting()) {
      if (Stopped()) return;
      Send(server);
      server.DispatchStatus(server.Output().Status());
      server.Output().Clear();
    }
    if (server.Output().Status() == ssOK && !Stopped()) {
      do {
        server.Input().Clear();
        Read(server);
        if (Stopped()) break;
        // A peer that half-closes after its request has its close arrive in the same read as
        // the request: the request is still answered, and the close ends the loop after that.
        const uint8_t status = server.Input().Status();
        const bool peerClosed = status == ssConnectionClosed && server.Input().HasData();
        if (!peerClosed && !server.DispatchStatus(status)) break;
        if (server.Input().HasData()) {
          if (!server.Run()) break;
          if (server.Output().HasData()) {
            if (Stopped()) break;
            Send(server);
            if (Stopped()) break;
            if (!server.DispatchStatus(server.Output().Status())) break;
            server.Output().Clear();
          }
        }
        if (peerClosed) {
          server.DispatchStatus(status);
          break;
        }
      } while (!Stopped() && !server.CloseRequested());
    }
    if (!IsStopping()) {
      server.Output().Clear();
      if (server.Farewell() && !Stopped()) {
        Send(server);
        server.DispatchStatus(server.Output().Status());
        server.Output().Clear();
      }
    }
  } catch (const ETCPServer&) {
    if (server.Output().HasData()) {
      try {
        Send(server);
      } catch (...) {
        // The last reply before a deliberate close: the connection ends either way, and a peer
        // that is gone already cannot be told more.
      }
    }
  }
}

void TServerThread::Finish() {
  if (waiting_) {
    waiting_->Remove(this);
    waiting_.reset();
  }
  if (socket_ != kInvalidSocket) {
    CloseSocket(socket_);
    socket_ = kInvalidSocket;
  }
  server_.reset();
  if (addresses_) {
    addresses_->Give(address_);
    addresses_.reset();
  }
  if (slots_) {
    slots_->Release();
    slots_.reset();
  }
}

void TServerThread::DoTerminate() {
  Finish();
  TVThread::DoTerminate();
}

// ---- TDaemonThread ----

bool TDaemonThread::Stopped() const { return Terminated() || (daemon_ && daemon_->StopFlag()); }

void TDaemonThread::Execute() {
  if (!daemon_ || wake_ == nullptr) return;
  const auto ms = interval_.count() <= 0 ? 0 : std::min<int64_t>(interval_.count(), platform::kInfinite - 1);
  for (;;) {
    const platform::TWaitResult result = wake_->WaitFor(static_cast<uint32_t>(ms));
    if (result == platform::TWaitResult::Signaled) wake_->ResetEvent();
    if (result == platform::TWaitResult::Abandoned) break;
    if (Stopped()) break;
    if (!daemon_->Run()) break;
    if (Stopped()) break;
  }
}

void TDaemonThread::DoTerminate() {
  if (daemon_) {
    LogMessage(Format("[%s stopped]", daemon_->ClassName().c_str()));
    daemon_.reset();
  }
  TVThread::DoTerminate();
}

// ---- TTaskThread ----

void TTaskThread::Execute() {
  if (!task_ || Terminated() || task_->StopFlag()) return;
  try {
    task_->Run();
  } catch (...) {
    // A one-shot task's failure ends only that task, but it must not go unseen.
    LogCurrentException("in " + ClassName());
  }
}

void TTaskThread::DoTerminate() {
  task_.reset();
  TVThread::DoTerminate();
}

// ---- starters ----

namespace {

// The offset's text as it may stand in the log: short, printable.
std::string PrintableOffset(const char* text) {
  std::string shown;
  for (const char* c = text; *c != '\0' && shown.size() < 40; ++c) {
    shown += (*c >= 0x20 && *c < 0x7f) ? *c : '?';
  }
  return shown;
}

}  // namespace

int ListeningPort(int port) {
  if (port <= 0) return port;
  const char* text = std::getenv("TOVENMARSH_PORT_OFFSET");
  if (text == nullptr || *text == '\0') return port;
  // Digits only: a sign, blanks or trailing letters mean the setting is not what was meant.
  long long offset = 0;
  bool number = true;
  for (const char* c = text; *c != '\0'; ++c) {
    if (*c < '0' || *c > '9') {
      number = false;
      break;
    }
    offset = offset * 10 + (*c - '0');
    if (offset > 65535) break;  // too large whatever follows
  }
  if (!number) {
    throw EVServer(Format("TOVENMARSH_PORT_OFFSET \"%s\" is not a whole number from 0 to %d: not listening on port %d",
                          PrintableOffset(text).c_str(), 65535 - port, port));
  }
  if (port + offset > 65535) {
    throw EVServer(Format("TOVENMARSH_PORT_OFFSET \"%s\" takes port %d past 65535 (at most %d): not listening",
                          PrintableOffset(text).c_str(), port, 65535 - port));
  }
  return port + static_cast<int>(offset);
}

TServerListenThread& StartTCPServer(int port, const TTCPServerClass& serverClass, int maxConnections, int backlog,
                                    int perAddress, bool dropWaiting) {
  const int configured = SystemParameters().GetInt("MaxTCPCon");
  if (configured > 0 && configured < maxConnections) maxConnections = configured;
  TServerListenThread& thread =
      NewThread<TServerListenThread>(port, serverClass, maxConnections, backlog, perAddress, dropWaiting);
  try {
    thread.SetPriority(platform::PriorityAbove(TThreadPriority::Normal));
    AddListener(&thread);
    thread.Start();
  } catch (...) {
    RemoveListener(&thread);
    // A registered thread that never runs would never leave the registry, and the shut-down
    // would wait for it for ever.
    if (TManagerThread* manager = ManagerThread()) manager->DiscardThread(&thread);
    throw;
  }
  return thread;
}

TDaemon& StartDaemon(const TDaemonClass& daemonClass, int intervalMinutes, TThreadPriority priority) {
  return StartDaemon(daemonClass, std::chrono::minutes(std::max(intervalMinutes, 0)), priority);
}

TDaemon& StartDaemon(const TDaemonClass& daemonClass, std::chrono::milliseconds interval, TThreadPriority priority) {
  TDaemonThread& thread = NewThread<TDaemonThread>(interval);
  try {
    platform::TEvent* wake = NewEvent();
    thread.SetWakeEvent(wake);
    std::unique_ptr<TDaemon> daemon = daemonClass.create();
    daemon->SetLock(NewCriticalSection());
    daemon->SetThreadId(thread.ThreadId());
    daemon->SetWakeEvent(wake);
    TDaemon& result = *daemon;
    LogMessage(Format("[%s started]", result.ClassName().c_str()));
    thread.SetDaemon(std::move(daemon));
    thread.SetPriority(priority);
    thread.Start();
    return result;
  } catch (...) {
    Manager().DiscardThread(&thread);
    throw;
  }
}

TTask& StartTask(TDaemon* owner, const TTaskClass& taskClass, TThreadPriority priority) {
  TTaskThread& thread = NewThread<TTaskThread>();
  try {
    std::unique_ptr<TTask> task = taskClass.create();
    if (owner != nullptr) task->SetLock(owner->SharedLock());
    task->SetThreadId(thread.ThreadId());
    TTask& result = *task;
    thread.SetTask(std::move(task));
    thread.SetPriority(priority);
    thread.Start();
    return result;
  } catch (...) {
    if (TManagerThread* manager = ManagerThread()) manager->DiscardThread(&thread);
    throw;
  }
}

}  // namespace tovenmarsh::core
