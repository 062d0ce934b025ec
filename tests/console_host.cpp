// A host process whose standard output the black-box tests capture. It loads
// TqProxy.dll by name and runs one scenario: console_host <scenario> <port>.
// Exit code 0 when the scenario's own checks pass; others say which failed.
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "support/test_support.h"

namespace {

volatile LONG g_log_calls = 0;
void TQ_PROXY_CALL CountingLog(void *, int32_t, const char *) {
  InterlockedIncrement(&g_log_calls);
}

}  // namespace

int main(int argc, char **argv) {
  if (argc != 3) return 2;
  const std::string scenario = argv[1];
  const int32_t port = std::atoi(argv[2]);
  tqtest::TqProxyDll dll;
  if (!dll.Load()) return 3;
  ProxyInitParam param = tqtest::MakeParam("127.0.0.1", port);
  ProxyInitParam no_port = tqtest::MakeParam("127.0.0.1", 0);
  const std::string big(70000, 'x');  // too large for one datagram: a WARN line
  if (scenario == "console") {
    // No SetLog yet: lines of every level go to standard output.
    if (dll.Init(&no_port) != -98 || dll.Init(&param) != 0) return 10;    // ERROR, INFO
    if (dll.Send("127.0.0.1", port, "ping", 4) != 4) return 11;           // DEBUG
    if (dll.Send("127.0.0.1", port, big.data(), 70000) != -1) return 12;  // WARN
    dll.UnInit();
    std::printf("callback=%016llX\n",
                static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(&CountingLog)));
    std::fflush(stdout);
    dll.SetLog(reinterpret_cast<void *>(0x1234abcd), &CountingLog, 3);
    if (dll.Init(&no_port) != -98 || g_log_calls != 1) return 20;  // its ERROR went to the callback
    dll.SetLog(nullptr, nullptr, 7);
    if (dll.Init(&no_port) != -98 || g_log_calls != 1) return 21;  // this one to standard output
    dll.SetLog(nullptr, &CountingLog, -1);                         // from here on, nothing anywhere
    if (dll.Init(&no_port) != -98 || dll.Init(&param) != 0) return 30;
    dll.Send("127.0.0.1", port, big.data(), 70000);
    dll.UnInit();
    if (g_log_calls != 1) return 31;
  } else if (scenario == "freelib") {
    if (dll.Init(&param) != 0) return 40;
    Sleep(200);  // the loop is in its wait, as it is most of the time
    // A FreeLibrary that joins the running thread under the loader lock never returns.
    CloseHandle(CreateThread(
        nullptr, 0,
        [](void *) -> DWORD {
          Sleep(10000);
          TerminateProcess(GetCurrentProcess(), 50);
          return 0;
        },
        nullptr, 0, nullptr));
    const ULONGLONG t0 = GetTickCount64();
    FreeLibrary(dll.module);  // without UnInit, the service running
    std::printf("freed ms=%llu\n", static_cast<unsigned long long>(GetTickCount64() - t0));
    std::fflush(stdout);
    if (GetModuleHandleA("TqProxy.dll") == nullptr) return 41;  // unmapped under its thread
  } else {
    return 5;
  }
  return 0;  // the library's teardown at exit still logs "stop service"
}
