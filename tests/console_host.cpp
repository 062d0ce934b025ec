// A host process whose standard output the black-box tests capture:
// console_host <free port>. It loads the library by name, logs to the
// console, then lets the library go while its service runs. Exit code 0
// when its own checks pass; others say which failed.
// console_host <free port> exit: logs through a callback that marks each
// line it gets once the process has begun to exit, starts the service and
// returns from main without UnInit.
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "support/test_support.h"

namespace {

std::atomic<int> g_log_calls{0};
void TQ_PROXY_CALL CountingLog(void *, int32_t, const char *) { ++g_log_calls; }

std::atomic<bool> g_exiting{false};  // set by an atexit handler
// Straight to the handle: by then the runtime's streams may be gone.
void TQ_PROXY_CALL MarkingLog(void *, int32_t, const char *line) {
  tqtest::WriteStdout(g_exiting ? "AFTER EXIT " : "CALLBACK ");
  tqtest::WriteStdout(line);
}

int ExitWithCallbackSet(tqtest::TqProxyDll &dll, int32_t port) {
  std::atexit([] { g_exiting = true; });
  dll.SetLog(nullptr, &MarkingLog, 1);
  ProxyInitParam param = tqtest::MakeParam("127.0.0.1", port);
  if (dll.Init(&param) != TQ_PROXY_OK) return 50;
  tqtest::SleepMs(200);  // the loop is in its wait
  return 0;              // no UnInit, no unload
}

}  // namespace

int main(int argc, char **argv) {
  if (argc != 2 && argc != 3) return 2;
  const int32_t port = std::atoi(argv[1]);
  tqtest::TqProxyDll dll;
  if (!dll.Load()) return 3;
  if (argc == 3) return ExitWithCallbackSet(dll, port);
  ProxyInitParam param = tqtest::MakeParam("127.0.0.1", port);
  ProxyInitParam no_port = tqtest::MakeParam("127.0.0.1", 0);
  const std::string big(70000, 'x');  // too large for one datagram: a WARN line
  // No SetLog yet: lines of every level go to standard output.
  if (dll.Init(&no_port) != TQ_PROXY_ERR_SOCKET ||
      dll.Init(&param) != TQ_PROXY_OK ||                       // ERROR, INFO
      dll.Send("127.0.0.1", port, "ping", 4) != 4 ||           // DEBUG
      dll.Send("127.0.0.1", port, big.data(), 70000) != -1) {  // WARN
    return 10;
  }
  dll.UnInit();
  std::printf("callback=%016llX\n",
              static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(&CountingLog)));
  std::fflush(stdout);
  dll.SetLog(reinterpret_cast<void *>(0x1234abcd), &CountingLog, 3);
  dll.SetLog(nullptr, nullptr, 7);
  if (dll.Init(&no_port) != TQ_PROXY_ERR_SOCKET) return 20;  // back on standard output, unfiltered
  dll.SetLog(nullptr, &CountingLog, -1);                     // from here on, nothing anywhere
  if (dll.Init(&no_port) != TQ_PROXY_ERR_SOCKET || dll.Init(&param) != TQ_PROXY_OK) return 30;
  dll.Send("127.0.0.1", port, big.data(), 70000);
  dll.UnInit();
  if (g_log_calls != 0) return 31;

  dll.SetLog(nullptr, nullptr, 1);
  if (dll.Init(&param) != TQ_PROXY_OK) return 40;
  tqtest::SleepMs(200);  // the loop is in its wait, as it is most of the time
  // Without UnInit. An unload that joins the thread under the loader lock
  // never returns: the test ends the process.
  const auto t0 = std::chrono::steady_clock::now();
  dll.Unload();
  const auto freed = std::chrono::steady_clock::now() - t0;
  std::printf("freed ms=%llu\n",
              static_cast<unsigned long long>(
                  std::chrono::duration_cast<std::chrono::milliseconds>(freed).count()));
  std::fflush(stdout);
  return 0;  // the library's teardown at exit still logs "stop service"
}
