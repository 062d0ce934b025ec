// tqproxy_dynamic_host: loads the library at run time (TqProxy.dll, or
// libTqProxy.so.1 on Linux) and finds the four exports by name, as hosts in
// other languages do; nothing here links against it. It checks the
// library's major version against the header it was built with, then shows
// the two send routes: a destination the service has not heard from gets
// the datagram from a separate send socket, a known peer gets it from the
// service's own port. Exit code 0 on success.
//
// Usage: tqproxy_dynamic_host [path to the library]

// What differs per system: loading a library, its version, and sockets.
#if defined(_WIN32)
#include <winsock2.h>
#include <windows.h>
#include <ws2tcpip.h>

#include <vector>

using Library = HMODULE;
const char kLibraryName[] = "TqProxy.dll";
Library OpenLibrary(const char *path) { return LoadLibraryA(path); }
void *FindExport(Library lib, const char *name) {
  return reinterpret_cast<void *>(GetProcAddress(lib, name));
}
void CloseLibrary(Library lib) { FreeLibrary(lib); }

// The major version in the DLL's VERSIONINFO, or -1.
int LibraryMajorVersion(Library lib) {
  wchar_t path[MAX_PATH];
  if (GetModuleFileNameW(lib, path, MAX_PATH) == 0) return -1;
  DWORD ignored = 0;
  std::vector<char> info(GetFileVersionInfoSizeW(path, &ignored));
  VS_FIXEDFILEINFO *fixed = nullptr;
  UINT size = 0;
  if (info.empty() || !GetFileVersionInfoW(path, 0, static_cast<DWORD>(info.size()), info.data()) ||
      !VerQueryValueW(info.data(), L"\\", reinterpret_cast<void **>(&fixed), &size)) {
    return -1;
  }
  return HIWORD(fixed->dwFileVersionMS);
}

void StartSockets() {
  WSADATA wsa;
  WSAStartup(MAKEWORD(2, 2), &wsa);
}
void StopSockets() { WSACleanup(); }
void SetReceiveTimeout(SOCKET s, unsigned seconds) {
  const DWORD ms = seconds * 1000;
  setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char *>(&ms), sizeof(ms));
}
#else
#include <arpa/inet.h>
#include <dlfcn.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <cstring>

using Library = void *;
using SOCKET = int;
const char kLibraryName[] = "libTqProxy.so.1";  // the soname: major version 1
Library OpenLibrary(const char *path) { return dlopen(path, RTLD_NOW | RTLD_LOCAL); }
void *FindExport(Library lib, const char *name) { return dlsym(lib, name); }
void CloseLibrary(Library lib) { dlclose(lib); }

// The major version in the real file's name (libTqProxy.so.<major>.<minor>.<patch>), or -1.
int LibraryMajorVersion(Library lib) {
  Dl_info info{};
  char real[PATH_MAX];
  if (dladdr(FindExport(lib, "TQ_Proxy_Init"), &info) == 0 ||
      realpath(info.dli_fname, real) == nullptr) {
    return -1;
  }
  const char *version = std::strstr(real, ".so.");
  return version != nullptr ? std::atoi(version + 4) : -1;
}

void StartSockets() {}
void StopSockets() {}
int closesocket(SOCKET s) { return close(s); }
void SetReceiveTimeout(SOCKET s, unsigned seconds) {
  timeval tv{};
  tv.tv_sec = seconds;
  setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));
}
#endif

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "TqProxy.h"  // types only

namespace {

struct Api {
  decltype(&TQ_Proxy_Init) init;
  decltype(&TQ_Proxy_Send) send;
  decltype(&TQ_Proxy_SetLog) set_log;
  decltype(&TQ_Proxy_UnInit) un_init;
};

template <typename Fn>
bool Resolve(Library lib, const char *name, Fn *fn) {
  *fn = reinterpret_cast<Fn>(FindExport(lib, name));
  return *fn != nullptr;
}

// Set by the receive callback on the network thread.
std::mutex g_mutex;
std::condition_variable g_heard_changed;
bool g_heard = false;

void TQ_PROXY_CALL OnLog(void *, int32_t, const char *line) { std::fputs(line, stdout); }
void TQ_PROXY_CALL OnReceive(void *, const char *, int32_t) {
  std::lock_guard<std::mutex> lock(g_mutex);
  g_heard = true;
  g_heard_changed.notify_all();
}

bool WaitUntilHeard(std::chrono::seconds timeout) {
  std::unique_lock<std::mutex> lock(g_mutex);
  return g_heard_changed.wait_for(lock, timeout, [] { return g_heard; });
}

// One datagram on `s`: the sender's port, or 0 on a timeout or other bytes.
unsigned short ReceiveFrom(SOCKET s, const char *expected) {
  char buffer[64];
  sockaddr_in from{};
  socklen_t from_len = sizeof(from);
  const int n = static_cast<int>(
      recvfrom(s, buffer, sizeof(buffer), 0, reinterpret_cast<sockaddr *>(&from), &from_len));
  if (n != static_cast<int>(std::strlen(expected)) || std::memcmp(buffer, expected, n) != 0)
    return 0;
  return ntohs(from.sin_port);
}

int Fail(const char *what) {
  std::printf("tqproxy_dynamic_host: FAILED: %s\n", what);
  return 1;
}

}  // namespace

int main(int argc, char **argv) {
  Library lib = OpenLibrary(argc > 1 ? argv[1] : kLibraryName);
  if (lib == nullptr) return Fail("the library did not load");
  Api api{};
  if (!Resolve(lib, "TQ_Proxy_Init", &api.init) || !Resolve(lib, "TQ_Proxy_Send", &api.send) ||
      !Resolve(lib, "TQ_Proxy_SetLog", &api.set_log) ||
      !Resolve(lib, "TQ_Proxy_UnInit", &api.un_init)) {
    return Fail("an export is missing");
  }
  // The record's layout is fixed within a major version.
  if (LibraryMajorVersion(lib) != TQPROXY_VERSION_MAJOR) {
    return Fail("library of another major version");
  }

  StartSockets();
  SOCKET host = socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in me{};
  me.sin_family = AF_INET;
  me.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof(me);
  bind(host, reinterpret_cast<sockaddr *>(&me), sizeof(me));
  getsockname(host, reinterpret_cast<sockaddr *>(&me), &len);
  SetReceiveTimeout(host, 10);

  // The service's port: one that was free a moment ago.
  sockaddr_in service = me;
  SOCKET probe = socket(AF_INET, SOCK_DGRAM, 0);
  service.sin_port = 0;
  bind(probe, reinterpret_cast<sockaddr *>(&service), sizeof(service));
  getsockname(probe, reinterpret_cast<sockaddr *>(&service), &len);
  closesocket(probe);
  const unsigned short service_port = ntohs(service.sin_port);

  api.set_log(nullptr, OnLog, TQ_PROXY_LOG_INFO);
  ProxyInitParam param{};
  std::strcpy(param.ip, "127.0.0.1");
  param.port = service_port;
  param.recv_callback = OnReceive;
  if (api.init(&param) != TQ_PROXY_OK) return Fail("TQ_Proxy_Init");

  const unsigned short host_port = ntohs(me.sin_port);
  // Not heard from yet: out through the send socket, from another port.
  const int first = api.send("127.0.0.1", host_port, "first", 5);
  const unsigned short first_from = ReceiveFrom(host, "first");
  // Once the host has sent to the service, it is a known peer.
  sendto(host, "hi", 2, 0, reinterpret_cast<sockaddr *>(&service), sizeof(service));
  const bool heard = WaitUntilHeard(std::chrono::seconds(10));
  const int second = heard ? api.send("127.0.0.1", host_port, "second", 6) : -1;
  const unsigned short second_from = ReceiveFrom(host, "second");

  api.un_init();
  api.set_log(nullptr, nullptr, TQ_PROXY_LOG_DEBUG);
  CloseLibrary(lib);
  closesocket(host);
  StopSockets();

  std::printf("tqproxy_dynamic_host: service port %u; first from %u (%d), second from %u (%d)\n",
              service_port, first_from, first, second_from, second);
  if (first != 5 || first_from == 0 || first_from == service_port) return Fail("first send");
  if (!heard) return Fail("the service did not hear the host within 10 s");
  if (second != 6 || second_from != service_port) return Fail("second send");
  return 0;
}
