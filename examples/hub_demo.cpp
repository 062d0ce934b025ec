// tqproxy_hub: a UDP hub on TqProxy (TqProxy.dll, libTqProxy.so). Every datagram it receives goes
// back out to every peer it has heard, the sender included, so any number
// of clients can talk to each other through one port. The library's log
// (INFO and above) is printed on standard output.
//
// Usage: tqproxy_hub [--ip <a.b.c.d> | --all] [--port <n>] [--seconds <n>]
#if defined(_WIN32)
#include <fcntl.h>
#include <io.h>
#include <windows.h>
#else
#include <signal.h>
#endif

#include <atomic>
#include <chrono>
#include <thread>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "TqProxy.h"

namespace {

std::atomic<long> g_relayed{0};

void TQ_PROXY_CALL PrintLogLine(void *, int32_t, const char *line) {
  std::fputs(line, stdout);
  // Flushed per line: whoever reads the pipe sees each line as it happens.
  std::fflush(stdout);
}

// Runs on the library's network thread; sending from here is allowed.
void TQ_PROXY_CALL RelayToAll(void *, const char *data, int32_t length) {
  if (TQ_Proxy_Send(nullptr, 0, data, length) > 0) ++g_relayed;
}

// Ctrl-C only wakes main: UnInit joins the network thread and belongs there.
#if defined(_WIN32)
HANDLE g_stop_event = nullptr;

BOOL WINAPI OnConsoleCtrl(DWORD type) {
  if (type != CTRL_C_EVENT && type != CTRL_BREAK_EVENT) return FALSE;
  SetEvent(g_stop_event);
  return TRUE;
}

bool SetUpStop() {
  // Binary mode: lines end in "\n" as the library writes them, not "\r\n".
  _setmode(_fileno(stdout), _O_BINARY);
  g_stop_event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  return g_stop_event != nullptr && SetConsoleCtrlHandler(OnConsoleCtrl, TRUE);
}

void WaitForStop(long seconds) {
  WaitForSingleObject(g_stop_event, seconds > 0 ? static_cast<DWORD>(seconds * 1000) : INFINITE);
  SetConsoleCtrlHandler(OnConsoleCtrl, FALSE);
  CloseHandle(g_stop_event);
}
#else
volatile sig_atomic_t g_stop = 0;

void OnSignal(int) { g_stop = 1; }

bool SetUpStop() {
  struct sigaction action {};
  action.sa_handler = &OnSignal;
  return sigaction(SIGINT, &action, nullptr) == 0 && sigaction(SIGTERM, &action, nullptr) == 0;
}

void WaitForStop(long seconds) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  while (g_stop == 0 && (seconds == 0 || std::chrono::steady_clock::now() < end)) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
}
#endif

int Usage(const char *problem) {
  if (problem != nullptr) std::fprintf(stderr, "tqproxy_hub: %s\n", problem);
  std::fprintf(stderr,
               "usage: tqproxy_hub [--ip <a.b.c.d> | --all] [--port <n>] [--seconds <n>]\n"
               "  --ip      address to listen on (default 127.0.0.1; \"\" = every local one)\n"
               "  --all     listen on every local address\n"
               "  --port    UDP port (default 9527)\n"
               "  --seconds serve this long, then stop (default 0: until Ctrl-C)\n");
  return 2;
}

// A whole decimal number in [low, high], or -1.
long ParseNumber(const char *text, long low, long high) {
  char *end = nullptr;
  const long value = std::strtol(text, &end, 10);
  if (end == text || *end != '\0' || value < low || value > high) return -1;
  return value;
}

}  // namespace

int main(int argc, char **argv) {
  std::string ip = "127.0.0.1";
  long port = 9527;
  long seconds = 0;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    const bool has_value = i + 1 < argc;
    if (arg == "--all") {
      ip.clear();
    } else if (arg == "--ip" && has_value) {
      ip = argv[++i];
      if (ip.size() >= sizeof(ProxyInitParam{}.ip)) return Usage("--ip is too long");
    } else if (arg == "--port" && has_value) {
      if ((port = ParseNumber(argv[++i], 1, 65535)) < 0) return Usage("bad --port");
    } else if (arg == "--seconds" && has_value) {
      if ((seconds = ParseNumber(argv[++i], 0, 86400)) < 0) return Usage("bad --seconds");
    } else if (arg == "--help" || arg == "-h") {
      return Usage(nullptr);
    } else {
      return Usage(("unknown or incomplete option " + arg).c_str());
    }
  }

  if (!SetUpStop()) {
    std::fprintf(stderr, "tqproxy_hub: cannot set up the stop handler\n");
    return 1;
  }

  TQ_Proxy_SetLog(nullptr, PrintLogLine, TQ_PROXY_LOG_INFO);

  ProxyInitParam param{};
  std::memcpy(param.ip, ip.data(), ip.size());
  param.port = static_cast<int32_t>(port);
  param.recv_callback = RelayToAll;
  const ServiceResult started = TQ_Proxy_Init(&param);
  if (started != TQ_PROXY_OK) {
    std::printf("tqproxy_hub: TQ_Proxy_Init failed, result=%d (port %ld in use?)\n", started, port);
    std::fflush(stdout);
    return 1;
  }

  // Every local address: the "Bind Success" lines above name them.
  const std::string where = ip.empty() ? std::string("every local address") : ip;
  if (seconds > 0) {
    std::printf("tqproxy_hub: relaying UDP on %s, port %ld, for %ld s (Ctrl-C stops it sooner)\n",
                where.c_str(), port, seconds);
  } else {
    std::printf("tqproxy_hub: relaying UDP on %s, port %ld; press Ctrl-C to stop\n", where.c_str(),
                port);
  }
  std::fflush(stdout);

  WaitForStop(seconds);

  TQ_Proxy_UnInit();
  std::printf("tqproxy_hub: stopped after relaying %ld datagram(s)\n", g_relayed.load());
  std::fflush(stdout);
  return 0;
}
