// A scriptable host for the tests that run inside network namespaces: it
// starts the service, prints every log line and every received datagram,
// and obeys commands that its peers send as datagrams:
//   echo <ip> <port> <text>   send <text> to ip:port
//   hold <ms>                 keep the receive callback busy
//   quit                      stop the service and exit
// and lines on its standard input: "restart" (UnInit, then Init again).
// Usage: netns_host <ip or ""> <port> <max seconds>
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "TqProxy.h"

namespace {

HANDLE g_quit;
ProxyInitParam g_param;

void TQ_PROXY_CALL OnLog(void *, int32_t level, const char *line) {
  std::printf("LOG %d %s", level, line);
  std::fflush(stdout);
}

void TQ_PROXY_CALL OnReceive(void *, const char *data, int32_t length) {
  const std::string text(data, static_cast<size_t>(length));
  std::printf("RECV %d %s\n", length, text.c_str());
  std::fflush(stdout);
  char ip[64] = {0};
  unsigned port = 0;
  int offset = 0;
  int ms = 0;
  if (std::sscanf(text.c_str(), "echo %63s %u %n", ip, &port, &offset) == 2 && offset > 0) {
    const std::string reply = text.substr(static_cast<size_t>(offset));
    const int rc = TQ_Proxy_Send(ip, port, reply.data(), static_cast<int32_t>(reply.size()));
    std::printf("SENT %d\n", rc);
    std::fflush(stdout);
  } else if (std::sscanf(text.c_str(), "hold %d", &ms) == 1) {
    Sleep(static_cast<DWORD>(ms));
  } else if (text == "quit") {
    SetEvent(g_quit);
  }
}

DWORD WINAPI ReadCommands(void *) {
  char line[64];
  while (std::fgets(line, sizeof(line), stdin) != nullptr) {
    if (std::strncmp(line, "restart", 7) == 0) {
      TQ_Proxy_UnInit();
      std::printf("INIT %d\n", TQ_Proxy_Init(&g_param));
      std::fflush(stdout);
    }
  }
  return 0;
}

}  // namespace

int main(int argc, char **argv) {
  if (argc < 4) return 2;
  g_quit = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  TQ_Proxy_SetLog(nullptr, &OnLog, 1);
  std::snprintf(g_param.ip, sizeof(g_param.ip), "%s", argv[1]);
  g_param.port = std::atoi(argv[2]);
  g_param.recv_callback = &OnReceive;
  const int rc = TQ_Proxy_Init(&g_param);
  std::printf("INIT %d\n", rc);
  std::fflush(stdout);
  CreateThread(nullptr, 0, &ReadCommands, nullptr, 0, nullptr);
  if (rc == 0) WaitForSingleObject(g_quit, static_cast<DWORD>(std::atoi(argv[3]) * 1000));
  TQ_Proxy_UnInit();
  std::printf("EXIT\n");
  std::fflush(stdout);
  return 0;
}
