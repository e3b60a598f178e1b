// A small scripted TCP server for the client dialogue tests of relay and collection: a thread
// listening on 127.0.0.1 port 0 that takes one connection at a time, sends the greeting, and
// answers every line the client sends with what the responder gives. After an SMTP "354" it
// gathers the message up to the end-of-data line and asks the responder again with the line
// "<DATA>". The responder may answer "" (nothing) or "<close>" (hang up at once); an answer that
// ends in "<close>" goes out with the close in one segment, as from a server that answers and
// hangs up, and whatever the client still sends is recorded until it hangs up too.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace tovenmarsh::mail::testing {

class TScriptedServer {
 public:
  // (line, connection number from 1) -> reply; "<connect>" asks for the greeting.
  using TResponder = std::function<std::string(const std::string& line, int connection)>;

  explicit TScriptedServer(TResponder responder) : responder_(std::move(responder)) {
    listener_ = ::socket(AF_INET, SOCK_STREAM, 0);
    int one = 1;
    ::setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = 0;
    ::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address);
    ::listen(listener_, 8);
    socklen_t length = sizeof address;
    ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length);
    port_ = ntohs(address.sin_port);
    thread_ = std::thread([this] { Loop(); });
  }

  ~TScriptedServer() {
    stop_.store(true);
    thread_.join();
    ::close(listener_);
  }

  TScriptedServer(const TScriptedServer&) = delete;
  TScriptedServer& operator=(const TScriptedServer&) = delete;

  // Sends every answer in pieces of 1 to 3 bytes with a short pause between them, so that the
  // client sees lines, codes and end-of-data lines cut at every possible place.
  void SetTrickle(bool trickle) { trickle_.store(trickle); }

  int Port() const { return port_; }
  int Connections() const { return connections_.load(); }
  // Every line received, as "<connection>: <line>"; a message as "<connection>: <DATA>".
  std::vector<std::string> Transcript() {
    std::lock_guard<std::mutex> guard(lock_);
    return transcript_;
  }
  // The messages received after "354", as sent (dot-stuffed, end-of-data line included).
  std::vector<std::string> Messages() {
    std::lock_guard<std::mutex> guard(lock_);
    return messages_;
  }

 private:
  void Loop() {
    while (!stop_.load()) {
      pollfd wait{listener_, POLLIN, 0};
      if (::poll(&wait, 1, 20) <= 0) continue;
      const int connection = ::accept(listener_, nullptr, nullptr);
      if (connection < 0) continue;
      Serve(connection, ++connections_);
      ::close(connection);
    }
  }

  // False when the connection is to end.
  bool Send(int socket, int connection, const std::string& text) {
    static const std::string kClose = "<close>";
    if (text == kClose) return false;
    if (text.size() > kClose.size() && text.compare(text.size() - kClose.size(), kClose.size(), kClose) == 0) {
      SendWithClose(socket, connection, text.substr(0, text.size() - kClose.size()));
      return false;
    }
    size_t sent = 0;
    size_t piece = 0;
    while (sent < text.size()) {
      size_t count = text.size() - sent;
      if (trickle_.load()) {
        count = std::min<size_t>(count, 1 + piece++ % 3);
        ::usleep(300);
      }
      const ssize_t n = ::send(socket, text.data() + sent, count, MSG_NOSIGNAL);
      if (n <= 0) return false;
      sent += static_cast<size_t>(n);
    }
    return true;
  }

  // The answer is held back until the shutdown, which puts the FIN on its segment: the client
  // finds the answer and the close in one read.
  void SendWithClose(int socket, int connection, const std::string& text) {
    int one = 1;
    ::setsockopt(socket, IPPROTO_TCP, TCP_CORK, &one, sizeof one);
    ::send(socket, text.data(), text.size(), MSG_NOSIGNAL);
    ::shutdown(socket, SHUT_WR);
    std::string pending;
    char chunk[4096];
    while (!stop_.load()) {
      pollfd wait{socket, POLLIN, 0};
      if (::poll(&wait, 1, 20) <= 0) continue;
      const ssize_t n = ::recv(socket, chunk, sizeof chunk, 0);
      if (n <= 0) break;
      pending.append(chunk, static_cast<size_t>(n));
      size_t end;
      while ((end = pending.find("\r\n")) != std::string::npos) {
        Record(connection, pending.substr(0, end));
        pending.erase(0, end + 2);
      }
    }
  }

  void Record(int connection, const std::string& line) {
    std::lock_guard<std::mutex> guard(lock_);
    transcript_.push_back(std::to_string(connection) + ": " + line);
  }

  void Serve(int socket, int connection) {
    if (!Send(socket, connection, responder_("<connect>", connection))) return;
    std::string pending;
    std::string message;
    bool data = false;
    char chunk[65536];
    while (!stop_.load()) {
      size_t end;
      while ((end = pending.find("\r\n")) != std::string::npos) {
        const std::string line = pending.substr(0, end);
        pending.erase(0, end + 2);
        std::string reply;
        if (data) {
          message += line + "\r\n";
          if (line != ".") continue;
          data = false;
          {
            std::lock_guard<std::mutex> guard(lock_);
            messages_.push_back(message);
          }
          message.clear();
          Record(connection, "<DATA>");
          reply = responder_("<DATA>", connection);
        } else {
          Record(connection, line);
          reply = responder_(line, connection);
          if (reply.rfind("354", 0) == 0) data = true;
        }
        if (!Send(socket, connection, reply)) return;
      }
      pollfd wait{socket, POLLIN, 0};
      if (::poll(&wait, 1, 20) <= 0) continue;
      const ssize_t n = ::recv(socket, chunk, sizeof chunk, 0);
      if (n <= 0) return;
      pending.append(chunk, static_cast<size_t>(n));
    }
  }

  TResponder responder_;
  int listener_ = -1;
  int port_ = 0;
  std::atomic<bool> stop_{false};
  std::atomic<bool> trickle_{false};
  std::atomic<int> connections_{0};
  std::thread thread_;
  std::mutex lock_;
  std::vector<std::string> transcript_;
  std::vector<std::string> messages_;
};

}  // namespace tovenmarsh::mail::testing
