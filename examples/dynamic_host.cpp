// tqproxy_dynamic_host: loads TqProxy.dll at run time and finds the four
// exports by name, as hosts in other languages do; no import library.
// It checks the DLL's version resource against the header it was built
// with, then shows the two send routes: a destination the service has not
// heard from gets the datagram from a separate send socket, a known peer
// gets it from the service's own port. Exit code 0 on success.
//
// Usage: tqproxy_dynamic_host [path\to\TqProxy.dll]
#include <winsock2.h>
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <vector>

#include "TqProxy.h"  // types only: nothing here links against the DLL

namespace {

struct Api {
  decltype(&TQ_Proxy_Init) init;
  decltype(&TQ_Proxy_Send) send;
  decltype(&TQ_Proxy_SetLog) set_log;
  decltype(&TQ_Proxy_UnInit) un_init;
};

template <typename Fn>
bool Resolve(HMODULE dll, const char *name, Fn *fn) {
  *fn = reinterpret_cast<Fn>(reinterpret_cast<void *>(GetProcAddress(dll, name)));
  return *fn != nullptr;
}

// The major version in the DLL's VERSIONINFO, or -1.
int DllMajorVersion(HMODULE dll) {
  wchar_t path[MAX_PATH];
  if (GetModuleFileNameW(dll, path, MAX_PATH) == 0) return -1;
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

HANDLE g_heard;  // set by the receive callback

void TQ_PROXY_CALL OnLog(void *, int32_t, const char *line) { std::fputs(line, stdout); }
void TQ_PROXY_CALL OnReceive(void *, const char *, int32_t) { SetEvent(g_heard); }

// One datagram on `s`: the sender's port, or 0 on a timeout or other bytes.
u_short ReceiveFrom(SOCKET s, const char *expected) {
  char buffer[64];
  sockaddr_in from{};
  int from_len = sizeof(from);
  const int n =
      recvfrom(s, buffer, sizeof(buffer), 0, reinterpret_cast<sockaddr *>(&from), &from_len);
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
  HMODULE dll = LoadLibraryA(argc > 1 ? argv[1] : "TqProxy.dll");
  if (dll == nullptr) return Fail("LoadLibrary");
  Api api{};
  if (!Resolve(dll, "TQ_Proxy_Init", &api.init) || !Resolve(dll, "TQ_Proxy_Send", &api.send) ||
      !Resolve(dll, "TQ_Proxy_SetLog", &api.set_log) ||
      !Resolve(dll, "TQ_Proxy_UnInit", &api.un_init)) {
    return Fail("an export is missing");
  }
  // The record's layout is fixed within a major version.
  if (DllMajorVersion(dll) != TQPROXY_VERSION_MAJOR) return Fail("DLL of another major version");

  WSADATA wsa;
  WSAStartup(MAKEWORD(2, 2), &wsa);
  g_heard = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  SOCKET host = socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in me{};
  me.sin_family = AF_INET;
  me.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  int len = sizeof(me);
  bind(host, reinterpret_cast<sockaddr *>(&me), sizeof(me));
  getsockname(host, reinterpret_cast<sockaddr *>(&me), &len);
  const DWORD timeout_ms = 10000;
  setsockopt(host, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char *>(&timeout_ms),
             sizeof(timeout_ms));

  // The service's port: one that was free a moment ago.
  sockaddr_in service = me;
  SOCKET probe = socket(AF_INET, SOCK_DGRAM, 0);
  service.sin_port = 0;
  bind(probe, reinterpret_cast<sockaddr *>(&service), sizeof(service));
  getsockname(probe, reinterpret_cast<sockaddr *>(&service), &len);
  closesocket(probe);
  const u_short service_port = ntohs(service.sin_port);

  api.set_log(nullptr, OnLog, TQ_PROXY_LOG_INFO);
  ProxyInitParam param{};
  std::strcpy(param.ip, "127.0.0.1");
  param.port = service_port;
  param.recv_callback = OnReceive;
  if (api.init(&param) != TQ_PROXY_OK) return Fail("TQ_Proxy_Init");

  const u_short host_port = ntohs(me.sin_port);
  // Not heard from yet: out through the send socket, from another port.
  const int first = api.send("127.0.0.1", host_port, "first", 5);
  const u_short first_from = ReceiveFrom(host, "first");
  // Once the host has sent to the service, it is a known peer.
  sendto(host, "hi", 2, 0, reinterpret_cast<sockaddr *>(&service), sizeof(service));
  const bool heard = WaitForSingleObject(g_heard, 10000) == WAIT_OBJECT_0;
  const int second = heard ? api.send("127.0.0.1", host_port, "second", 6) : -1;
  const u_short second_from = ReceiveFrom(host, "second");

  api.un_init();
  api.set_log(nullptr, nullptr, TQ_PROXY_LOG_DEBUG);
  FreeLibrary(dll);
  closesocket(host);
  WSACleanup();

  std::printf("tqproxy_dynamic_host: service port %u; first from %u (%d), second from %u (%d)\n",
              service_port, first_from, first, second_from, second);
  if (first != 5 || first_from == 0 || first_from == service_port) return Fail("first send");
  if (!heard) return Fail("the service did not hear the host within 10 s");
  if (second != 6 || second_from != service_port) return Fail("second send");
  return 0;
}
