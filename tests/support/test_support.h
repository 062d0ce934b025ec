// Test support shared by the black-box and white-box suites: real UDP peers
// on loopback, a thread-safe capture of log lines, the library loaded by
// name as hosts in other languages load it, child processes and guard
// pages. The one place of the tests that knows the operating system.
#pragma once

#if defined(_WIN32)
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
#include <fcntl.h>
#include <io.h>
#else
#include <arpa/inet.h>
#include <dirent.h>
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>
using SOCKET = int;  // the library's name for a socket handle
#endif

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <functional>
#include <future>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "TqProxy.h"

namespace tqtest {

#if defined(_WIN32)
// The library's file, found by the loader's usual search (beside the exe).
constexpr const char *kLibraryName = "TqProxy.dll";
constexpr int kErrorNotSocket = WSAENOTSOCK;  // a closed socket
using Module = HMODULE;

// Keeps Winsock started in the test process itself, like any host would.
class WinsockSession {
 public:
  WinsockSession() {
    WSADATA data;
    WSAStartup(MAKEWORD(2, 2), &data);
  }
  ~WinsockSession() { WSACleanup(); }
};

inline int CloseSocket(SOCKET s) { return closesocket(s); }
inline int LastSocketError() { return WSAGetLastError(); }
inline void SetLastSocketError(int error) { WSASetLastError(error); }
inline Module OpenLibrary(const char *path) { return LoadLibraryA(path); }
inline void *LibrarySymbol(Module m, const char *name) {
  return reinterpret_cast<void *>(GetProcAddress(m, name));
}
inline void CloseLibrary(Module m) { FreeLibrary(m); }
// Whether the library is mapped in this process at all.
inline bool LibraryMapped() { return GetModuleHandleA(kLibraryName) != nullptr; }
inline void EndProcess(int code) { TerminateProcess(GetCurrentProcess(), static_cast<UINT>(code)); }

// `size` bytes that end where a no-access page begins: one byte read past
// them faults. Left to the process's end.
inline char *Guarded(size_t size) {
  const size_t page = 4096, span = (size + page - 1) / page * page;
  auto *base = static_cast<char *>(
      VirtualAlloc(nullptr, span + page, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE));
  DWORD old = 0;
  VirtualProtect(base + span, page, PAGE_NOACCESS, &old);
  return base + span - size;
}

// A Linux file's path as this process opens it (under Wine, the Z: drive).
inline std::string SystemPath(std::string path) {
  for (char &c : path) c = c == '/' ? '\\' : c;
  return "Z:" + path;
}

// This process's /proc folder with a trailing separator. Files are opened
// by the Wine server, so Z:\\proc\\self is the server: our own Linux pid is
// the one process that maps a file only we map.
inline std::string OwnProcDir() {
  char temp[MAX_PATH];
  const std::string name = "tq_stress_" + std::to_string(GetCurrentProcessId()) + "_" +
                           std::to_string(GetTickCount64()) + ".mark";
  const HANDLE file = CreateFileA((std::string(temp, GetTempPathA(MAX_PATH, temp)) + name).c_str(),
                                  GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                  FILE_FLAG_DELETE_ON_CLOSE, nullptr);
  MapViewOfFile(CreateFileMappingA(file, nullptr, PAGE_READWRITE, 0, 1, nullptr), FILE_MAP_READ, 0,
                0, 0);  // stays mapped, and goes with the process
  WIN32_FIND_DATAA entry;
  const HANDLE find = FindFirstFileA("Z:\\proc\\*", &entry);
  std::string found;
  do {
    const std::string dir = std::string("Z:\\proc\\") + entry.cFileName + "\\";
    std::FILE *maps = std::fopen((dir + "maps").c_str(), "rb");
    std::string text;
    for (int c; maps != nullptr && (c = std::fgetc(maps)) != EOF;) text.push_back(char(c));
    if (maps != nullptr) std::fclose(maps);
    if (entry.cFileName[0] >= '1' && entry.cFileName[0] <= '9' &&
        text.find(name) != std::string::npos) {
      found = dir;
    }
  } while (found.empty() && FindNextFileA(find, &entry));
  FindClose(find);
  return found;
}

// Entries of a Linux folder (without "." and "..").
inline long long CountDirectory(const std::string &dir) {
  long long n = 0;
  WIN32_FIND_DATAA entry;
  const HANDLE find = FindFirstFileA((dir + "\\*").c_str(), &entry);
  for (bool more = find != INVALID_HANDLE_VALUE; more; more = FindNextFileA(find, &entry)) {
    n += entry.cFileName[0] != '.';
  }
  FindClose(find);
  return n;
}

// Whether an event object is open, and whether it is set.
inline bool EventIsOpen(HANDLE event) {
  DWORD flags = 0;
  return GetHandleInformation(event, &flags) != 0;
}
inline bool EventIsSet(HANDLE event) { return WaitForSingleObject(event, 0) == WAIT_OBJECT_0; }

// Windows handles, counted one by one: GetProcessHandleCount reports 0 under Wine.
inline long long CountHandles() {
  long long n = 0;
  DWORD flags;
  for (uintptr_t h = 4; h < 16384; h += 4) {
    n += GetHandleInformation(reinterpret_cast<HANDLE>(h), &flags) != 0;
  }
  return n;
}
#else
// The soname: found beside the test programs through their run path.
constexpr const char *kLibraryName = "libTqProxy.so.1";
constexpr int kErrorNotSocket = EBADF;  // a closed socket
using Module = void *;

// Nothing to start for sockets here.
struct WinsockSession {
  WinsockSession() {}  // user-provided: a session object is no unused variable
};

inline int CloseSocket(SOCKET s) { return close(s); }
inline int LastSocketError() { return errno; }
inline void SetLastSocketError(int error) { errno = error; }
// Found beside this program through its run path, or, under a sanitizer
// (whose dlopen searches the runtime's run path), through CTest's
// LD_LIBRARY_PATH.
inline Module OpenLibrary(const char *path) { return dlopen(path, RTLD_NOW | RTLD_LOCAL); }
inline void *LibrarySymbol(Module m, const char *name) { return dlsym(m, name); }
inline void CloseLibrary(Module m) { dlclose(m); }
inline bool LibraryMapped() {
  void *m = dlopen(kLibraryName, RTLD_NOW | RTLD_NOLOAD);  // by soname: found when loaded
  if (m != nullptr) dlclose(m);
  return m != nullptr;
}
inline void EndProcess(int code) { _exit(code); }

inline char *Guarded(size_t size) {
  const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
  const size_t span = (size + page - 1) / page * page;
  auto *base = static_cast<char *>(
      mmap(nullptr, span + page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
  mprotect(base + span, page, PROT_NONE);
  return base + span - size;
}

inline std::string SystemPath(std::string path) { return path; }
inline std::string OwnProcDir() { return "/proc/self/"; }
inline long long CountDirectory(const std::string &dir) {
  long long n = 0;
  if (DIR *d = opendir(dir.c_str())) {
    while (const dirent *e = readdir(d)) n += e->d_name[0] != '.';
    closedir(d);
  }
  return n;
}
// A socket's registration is a mark (0), no object; the breaker's is an eventfd.
inline bool EventIsOpen(int event) { return event > 0 && fcntl(event, F_GETFD) != -1; }
inline bool EventIsSet(int event) {
  pollfd p{event, POLLIN, 0};
  return event > 0 && poll(&p, 1, 0) == 1;
}

// Every handle is a file descriptor here: counted by CountDirectory.
inline long long CountHandles() { return 0; }
#endif

// The system's error numbers the tests expect, by their POSIX names.
#if defined(_WIN32)
#define TQTEST_ERROR(name) WSA##name
#else
#define TQTEST_ERROR(name) name
#endif
constexpr int kErrorMessageSize = TQTEST_ERROR(EMSGSIZE);
constexpr int kErrorWouldBlock = TQTEST_ERROR(EWOULDBLOCK);
constexpr int kErrorAddressInUse = TQTEST_ERROR(EADDRINUSE);
constexpr int kErrorInvalidArgument = TQTEST_ERROR(EINVAL);
constexpr int kErrorAddressNotAvailable = TQTEST_ERROR(EADDRNOTAVAIL);

// Standard output to the null device for the life of the object (the
// runtime's POSIX calls: underscored on Windows).
#if defined(_WIN32)
#define TQTEST_POSIX(name) _##name
#else
#define TQTEST_POSIX(name) name
#endif
class StdoutToNull {
 public:
  StdoutToNull() : saved_(Flushed(TQTEST_POSIX(dup)(1))) { TQTEST_POSIX(dup2)(null_, 1); }
  ~StdoutToNull() {
    std::fflush(stdout);
    TQTEST_POSIX(dup2)(saved_, 1);
    TQTEST_POSIX(close)(saved_), TQTEST_POSIX(close)(null_);
  }
  StdoutToNull(const StdoutToNull &) = delete;
  StdoutToNull &operator=(const StdoutToNull &) = delete;

 private:
  static int Flushed(int fd) {
    std::fflush(stdout);
    return fd;
  }
  const int saved_;
#if defined(_WIN32)
  const int null_ = _open("NUL", _O_WRONLY);
#else
  const int null_ = open("/dev/null", O_WRONLY);
#endif
};

// Straight to the standard output handle, past the runtime's streams.
inline void WriteStdout(const char *text) {
#if defined(_WIN32)
  DWORD written = 0;
  WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), text, static_cast<DWORD>(std::strlen(text)), &written,
            nullptr);
#else
  if (write(1, text, std::strlen(text)) < 0) return;
#endif
}

// The local time to the millisecond, "YYYY-MM-DD hh:mm:ss.mmm", from the
// system's own clock (not the runtime's, whose time zone rules may differ).
inline std::string LocalTimeText() {
  char text[32];
#if defined(_WIN32)
  SYSTEMTIME t;
  GetLocalTime(&t);
  std::snprintf(text, sizeof(text), "%04u-%02u-%02u %02u:%02u:%02u.%03u", t.wYear, t.wMonth, t.wDay,
                t.wHour, t.wMinute, t.wSecond, t.wMilliseconds);
#else
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  tm local{};
  localtime_r(&now.tv_sec, &local);
  const size_t n = std::strftime(text, sizeof(text), "%Y-%m-%d %H:%M:%S", &local);
  std::snprintf(text + n, sizeof(text) - n, ".%03ld", now.tv_nsec / 1000000);
#endif
  return text;
}

// The CPU time the calling thread has used so far, in milliseconds.
inline double ThreadCpuMs() {
#if defined(_WIN32)
  FILETIME created, ended, kernel, user;
  GetThreadTimes(GetCurrentThread(), &created, &ended, &kernel, &user);
  const auto ms = [](const FILETIME &t) {
    return ((static_cast<uint64_t>(t.dwHighDateTime) << 32) | t.dwLowDateTime) / 1e4;
  };
  return ms(kernel) + ms(user);
#else
  timespec t{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) * 1e3 + static_cast<double>(t.tv_nsec) / 1e6;
#endif
}

// Runs a program beside this one with `argument` through the shell, and
// returns its exit code, its output (standard error too) in `out`. A child
// that hangs fails the test: killed after 20 s on Linux (124); under Wine
// CTest's timeout fails the test and the run's wineserver -k ends the child.
inline int RunChild(const std::string &program, const std::string &argument, std::string *out) {
#if defined(_WIN32)
  std::FILE *pipe = _popen((program + ".exe " + argument + " 2>&1").c_str(), "rb");
#else
  const std::string command = "timeout -s KILL 20 ./" + program + " " + argument + " 2>&1";
  std::FILE *pipe = popen(command.c_str(), "r");
#endif
  out->clear();
  for (int c; pipe != nullptr && (c = std::fgetc(pipe)) != EOF;) out->push_back(char(c));
  if (pipe == nullptr) return 1000;
#if defined(_WIN32)
  return _pclose(pipe);
#else
  const int status = pclose(pipe);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
#endif
}

inline void SleepMs(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

// Whether `s` has a datagram within `timeout_ms`.
inline bool WaitReadable(SOCKET s, int timeout_ms) {
  fd_set set;
  FD_ZERO(&set);
  FD_SET(s, &set);
  timeval tv{timeout_ms / 1000, (timeout_ms % 1000) * 1000};
  return select(static_cast<int>(s) + 1, &set, nullptr, nullptr, &tv) == 1;
}

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
  socklen_t len = sizeof(a);
  getsockname(s, reinterpret_cast<sockaddr *>(&a), &len);
  CloseSocket(s);
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
    socklen_t len = sizeof(a);
    getsockname(socket_, reinterpret_cast<sockaddr *>(&a), &len);
    port_ = ntohs(a.sin_port);
  }
  ~UdpPeer() { CloseSocket(socket_); }
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
    if (!WaitReadable(socket_, timeout_ms)) return false;
    std::vector<char> buffer(70000);
    sockaddr_in source{};
    socklen_t len = sizeof(source);
    const int n = recvfrom(socket_, buffer.data(), static_cast<int>(buffer.size()), 0,
                           reinterpret_cast<sockaddr *>(&source), &len);
    if (n < 0) return false;
    if (data != nullptr) data->assign(buffer.data(), static_cast<size_t>(n));
    if (from != nullptr) *from = source;
    return true;
  }

 private:
  SOCKET socket_ = static_cast<SOCKET>(-1);
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

// The four exports, found by name in the library loaded as a host loads it.
struct TqProxyDll {
  using InitFn = ServiceResult(TQ_PROXY_CALL *)(const ProxyInitParam *);
  using SendFn = ServiceResult(TQ_PROXY_CALL *)(const char *, uint32_t, const char *, int32_t);
  using SetLogFn = void(TQ_PROXY_CALL *)(void *, LogCallback, int32_t);
  using UnInitFn = ServiceResult(TQ_PROXY_CALL *)();

  Module module = nullptr;
  InitFn Init = nullptr;
  SendFn Send = nullptr;
  SetLogFn SetLog = nullptr;
  UnInitFn UnInit = nullptr;

  bool Load(const char *path = kLibraryName) {
    module = OpenLibrary(path);
    if (module == nullptr) return false;
    Init = reinterpret_cast<InitFn>(LibrarySymbol(module, "TQ_Proxy_Init"));
    Send = reinterpret_cast<SendFn>(LibrarySymbol(module, "TQ_Proxy_Send"));
    SetLog = reinterpret_cast<SetLogFn>(LibrarySymbol(module, "TQ_Proxy_SetLog"));
    UnInit = reinterpret_cast<UnInitFn>(LibrarySymbol(module, "TQ_Proxy_UnInit"));
    return Init && Send && SetLog && UnInit;
  }
  void Unload() {
    if (module != nullptr) CloseLibrary(module);
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
          EndProcess(99);
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
