// Test support shared by the black-box and white-box suites: real UDP peers
// on loopback, a thread-safe capture of log lines, and the DLL loaded by
// name as hosts in other languages load it.
#pragma once

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <future>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "TqProxy.h"

namespace tqtest {

// Keeps Winsock started in the test process itself, like any host would.
class WinsockSession {
 public:
  WinsockSession() {
    WSADATA data;
    WSAStartup(MAKEWORD(2, 2), &data);
  }
  ~WinsockSession() { WSACleanup(); }
};

inline sockaddr_in Ipv4(const char *ip, uint16_t port) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  a.sin_addr.s_addr = inet_addr(ip);
  return a;
}

// A free UDP port on 127.0.0.1 at the moment of the call.
inline uint16_t FreeUdpPort() {
  WinsockSession session;
  SOCKET s = socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in a = Ipv4("127.0.0.1", 0);
  bind(s, reinterpret_cast<sockaddr *>(&a), sizeof(a));
  int len = sizeof(a);
  getsockname(s, reinterpret_cast<sockaddr *>(&a), &len);
  closesocket(s);
  return ntohs(a.sin_port);
}

// A real UDP peer: one socket bound on `ip`, port 0 = any free port.
class UdpPeer {
 public:
  explicit UdpPeer(const char *ip = "127.0.0.1", uint16_t port = 0) {
    socket_ = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in a = Ipv4(ip, port);
    bound_ = bind(socket_, reinterpret_cast<sockaddr *>(&a), sizeof(a)) == 0;
    int big = 4 << 20;
    setsockopt(socket_, SOL_SOCKET, SO_RCVBUF, reinterpret_cast<const char *>(&big), sizeof(big));
    int len = sizeof(a);
    getsockname(socket_, reinterpret_cast<sockaddr *>(&a), &len);
    port_ = ntohs(a.sin_port);
  }
  ~UdpPeer() { closesocket(socket_); }
  UdpPeer(const UdpPeer &) = delete;
  UdpPeer &operator=(const UdpPeer &) = delete;

  bool Bound() const { return bound_; }
  uint16_t Port() const { return port_; }
  SOCKET Socket() const { return socket_; }

  int SendTo(const char *ip, uint16_t port, const std::string &data) const {
    const sockaddr_in a = Ipv4(ip, port);
    return sendto(socket_, data.data(), static_cast<int>(data.size()), 0,
                  reinterpret_cast<const sockaddr *>(&a), sizeof(a));
  }

  // One datagram within `timeout_ms`; false on timeout.
  bool Receive(std::string *data, sockaddr_in *from = nullptr, int timeout_ms = 2000) const {
    fd_set set;
    FD_ZERO(&set);
    FD_SET(socket_, &set);
    timeval tv{timeout_ms / 1000, (timeout_ms % 1000) * 1000};
    if (select(0, &set, nullptr, nullptr, &tv) != 1) return false;
    std::vector<char> buffer(70000);
    sockaddr_in source{};
    int len = sizeof(source);
    const int n = recvfrom(socket_, buffer.data(), static_cast<int>(buffer.size()), 0,
                           reinterpret_cast<sockaddr *>(&source), &len);
    if (n < 0) return false;
    if (data != nullptr) data->assign(buffer.data(), static_cast<size_t>(n));
    if (from != nullptr) *from = source;
    return true;
  }

 private:
  SOCKET socket_ = INVALID_SOCKET;
  uint16_t port_ = 0;
  bool bound_ = false;
};

struct LogLine {
  int32_t level;
  std::string text;
};

// Collects the lines that reach a log callback.
class LogCapture {
 public:
  static void TQ_PROXY_CALL Callback(void *user_data, int32_t level, const char *line) {
    auto *self = static_cast<LogCapture *>(user_data);
    {
      std::lock_guard<std::mutex> lock(self->mutex_);
      self->lines_.push_back(LogLine{level, line});
    }
    self->changed_.notify_all();
  }

  std::vector<LogLine> Lines() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return lines_;
  }
  void Clear() {
    std::lock_guard<std::mutex> lock(mutex_);
    lines_.clear();
  }
  // Lines whose text contains `needle`.
  std::vector<LogLine> Matching(const std::string &needle) const {
    std::vector<LogLine> out;
    for (const LogLine &l : Lines()) {
      if (l.text.find(needle) != std::string::npos) out.push_back(l);
    }
    return out;
  }
  size_t Count(const std::string &needle) const { return Matching(needle).size(); }
  // Waits until `count` lines contain `needle`.
  bool WaitFor(const std::string &needle, size_t count = 1, int timeout_ms = 3000) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, std::chrono::milliseconds(timeout_ms), [&] {
      size_t n = 0;
      for (const LogLine &l : lines_) n += l.text.find(needle) != std::string::npos;
      return n >= count;
    });
  }

 private:
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<LogLine> lines_;
};

// The four exports, found by name in a DLL loaded with LoadLibrary.
struct TqProxyDll {
  using InitFn = ServiceResult(TQ_PROXY_CALL *)(const ProxyInitParam *);
  using SendFn = ServiceResult(TQ_PROXY_CALL *)(const char *, uint32_t, const char *, int32_t);
  using SetLogFn = void(TQ_PROXY_CALL *)(void *, LogCallback, int32_t);
  using UnInitFn = ServiceResult(TQ_PROXY_CALL *)();

  HMODULE module = nullptr;
  InitFn Init = nullptr;
  SendFn Send = nullptr;
  SetLogFn SetLog = nullptr;
  UnInitFn UnInit = nullptr;

  bool Load(const char *path = "TqProxy.dll") {
    module = LoadLibraryA(path);
    if (module == nullptr) return false;
    Init =
        reinterpret_cast<InitFn>(reinterpret_cast<void *>(GetProcAddress(module, "TQ_Proxy_Init")));
    Send =
        reinterpret_cast<SendFn>(reinterpret_cast<void *>(GetProcAddress(module, "TQ_Proxy_Send")));
    SetLog = reinterpret_cast<SetLogFn>(
        reinterpret_cast<void *>(GetProcAddress(module, "TQ_Proxy_SetLog")));
    UnInit = reinterpret_cast<UnInitFn>(
        reinterpret_cast<void *>(GetProcAddress(module, "TQ_Proxy_UnInit")));
    return Init && Send && SetLog && UnInit;
  }
  void Unload() {
    if (module != nullptr) FreeLibrary(module);
    module = nullptr;
  }
};

inline ProxyInitParam MakeParam(const char *ip, int32_t port, RecvCallback callback = nullptr,
                                void *user_data = nullptr) {
  ProxyInitParam p{};
  std::snprintf(p.ip, sizeof(p.ip), "%s", ip);
  p.port = port;
  p.recv_callback = callback;
  p.user_data = user_data;
  return p;
}

// Polls `condition` every 5 ms for up to `timeout_ms`.
inline bool Eventually(const std::function<bool()> &condition, int timeout_ms = 3000) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  while (std::chrono::steady_clock::now() < deadline) {
    if (condition()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return condition();
}

// Ends the process if the scope does not end in time: a hang must fail the
// run, not stall it.
class Watchdog {
 public:
  explicit Watchdog(int seconds = 20)
      : thread_([seconds, ended = done_.get_future()] {
          if (ended.wait_for(std::chrono::seconds(seconds)) == std::future_status::ready) return;
          std::fprintf(stderr, "watchdog: no end after %d s, the library hung\n", seconds);
          TerminateProcess(GetCurrentProcess(), 99);
        }) {}
  ~Watchdog() {
    done_.set_value();
    thread_.join();
  }
  Watchdog(const Watchdog &) = delete;
  Watchdog &operator=(const Watchdog &) = delete;

 private:
  std::promise<void> done_;
  std::thread thread_;
};

}  // namespace tqtest
