// A scriptable host for the tests that run inside network namespaces: it
// starts the service on every local address, prints every log line and
// every datagram received, and obeys the commands its peers send:
//   echo <ip> <port> <text>   send <text> to ip:port
//   hold <ms>                 keep the receive callback busy
// Each line on its standard input restarts the service (UnInit, then Init);
// the end of that input stops it and ends the host.
// Usage: netns_host <port> [address: one instead of every local one]
#include <cstdio>
#include <cstdlib>
#include <string>

#include "TqProxy.h"
#include "support/test_support.h"

static void TQ_PROXY_CALL OnLog(void *, int32_t level, const char *line) {
  std::printf("LOG %d %s", level, line);
}

static void TQ_PROXY_CALL OnReceive(void *, const char *data, int32_t length) {
  const std::string text(data, static_cast<size_t>(length));
  std::printf("RECV %s\n", text.c_str());
  char ip[64] = {0};
  unsigned port = 0;
  int offset = 0, ms = 0;
  if (std::sscanf(text.c_str(), "echo %63s %u %n", ip, &port, &offset) == 2 && offset > 0) {
    TQ_Proxy_Send(ip, port, data + offset, length - offset);
  } else if (std::sscanf(text.c_str(), "hold %d", &ms) == 1) {
    tqtest::SleepMs(ms);
  }
}

int main(int argc, char **argv) {
  std::setvbuf(stdout, nullptr, _IONBF, 0);  // the tests read lines as they come
  TQ_Proxy_SetLog(nullptr, &OnLog, TQ_PROXY_LOG_DEBUG);
  ProxyInitParam param{};
  param.port = std::atoi(argv[1]);
  if (argc > 2) std::snprintf(param.ip, sizeof(param.ip), "%s", argv[2]);
  param.recv_callback = &OnReceive;
  int rc = TQ_Proxy_Init(&param);
  std::printf("INIT %d\n", rc);
  char line[64];
  while (rc == 0 && std::fgets(line, sizeof(line), stdin) != nullptr) {
    TQ_Proxy_UnInit();
    std::printf("INIT %d\n", TQ_Proxy_Init(&param));
  }
  TQ_Proxy_UnInit();
  std::printf("EXIT\n");
  return 0;
}
