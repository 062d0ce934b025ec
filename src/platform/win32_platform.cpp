// The Windows side of platform.h: Windows Sockets 2, its event objects,
// the IP Helper adapter list, the console handle, the system file time and
// the loader's module references. Also the library's entry point.
#include "platform.h"

#include <cstdio>
#include <cstring>
#include <new>

#include "test_seams.h"

namespace TqProxy {
namespace platform {
namespace {

bool g_process_exiting = false;  // set by DllMain at DLL_PROCESS_DETACH

constexpr ULONG kFirstQueryBufferSize = 150000;
constexpr int kMaxQueries = 3;
// Milliseconds from 1601-01-01 (file time epoch) to 1970-01-01.
constexpr uint64_t kUnixEpochInFileTimeMs = 11644473600000ULL;

template <typename Node>
int32_t CountList(const Node *node) {
  int32_t count = 0;
  for (; node != nullptr; node = node->Next) ++count;
  return count;
}

}  // namespace

bool StartSocketLibrary(int *error) {
  // WSAStartup reports its error as its result; the last error is not set.
  WSADATA wsa_data;
  const int result = TQ_SYSCALL(WSAStartup, wsa_startup)(MAKEWORD(2, 2), &wsa_data);
  if (result == 0) return true;
  *error = result;
  return false;
}

void StopSocketLibrary() { WSACleanup(); }
int CloseSocket(SOCKET socket) { return closesocket(socket); }
// Equal to WSAGetLastError after socket calls, and also set by the rest of
// the system, as the log lines report it.
int LastSocketError() { return static_cast<int>(GetLastError()); }
void SetLastSocketError(int error) { WSASetLastError(error); }

void WaitWritable(SOCKET socket, int32_t timeout_ms) {
  fd_set writable;
  FD_ZERO(&writable);
  FD_SET(socket, &writable);
  timeval step{0, static_cast<long>(timeout_ms) * 1000};
  select(0, nullptr, &writable, nullptr, &step);
}

Event CreateBreakerEvent() { return TQ_SYSCALL(WSACreateEvent, wsa_create_event)(); }
Event CreateSocketEvent() { return TQ_SYSCALL(WSACreateEvent, wsa_create_event)(); }
void CloseEvent(Event event) { WSACloseEvent(event); }
bool SetEvent(Event event) { return WSASetEvent(event) != FALSE; }
bool ResetEvent(Event event) { return WSAResetEvent(event) != FALSE; }
void SelectSocketEvents(SOCKET socket, Event event, long interest) {
  WSAEventSelect(socket, event, interest);
}

int SelectNow(SocketSet &read_set, SocketSet &except_set) {
  fd_set write_set;
  write_set.fd_count = 0;
  timeval zero{0, 0};
  return select(0, read_set.Native(), &write_set, except_set.Native(), &zero);
}

int32_t WaitForEvents(const std::vector<Event> &events, const std::vector<SOCKET> &,
                      const std::map<SOCKET, long> &, int32_t timeout_ms) {
  const DWORD timeout = timeout_ms == -1 ? WSA_INFINITE : static_cast<DWORD>(timeout_ms);
  const DWORD r = TQ_SYSCALL(WSAWaitForMultipleEvents, wsa_wait_for_multiple_events)(
      static_cast<DWORD>(events.size()), events.data(), FALSE, timeout, FALSE);
  if (r == WSA_WAIT_TIMEOUT) return kWaitTimeout;
  const size_t index = static_cast<size_t>(r - WSA_WAIT_EVENT_0);
  if (r == WSA_WAIT_FAILED || index >= events.size()) return kWaitFailed;
  return static_cast<int32_t>(index);
}

bool EnumNetworkEvents(SOCKET socket, Event event, NetworkEvents *out) {
  return TQ_SYSCALL(WSAEnumNetworkEvents, wsa_enum_network_events)(socket, event, out) !=
         SOCKET_ERROR;
}

void AdapterList::StorageRelease::operator()(void *storage) const {
  HeapFree(GetProcessHeap(), 0, storage);
}

AdapterQueryResult AdapterList::Query() {
  HANDLE heap = GetProcessHeap();
  ULONG size = kFirstQueryBufferSize;
  ULONG result = ERROR_BUFFER_OVERFLOW;
  IP_ADAPTER_ADDRESSES *buffer = nullptr;
  for (int attempt = 0; attempt < kMaxQueries; ++attempt) {
    // A buffer too small is freed as the next one takes its place.
    storage.reset(TQ_SYSCALL(HeapAlloc, heap_alloc)(heap, 0, size));
    buffer = static_cast<IP_ADAPTER_ADDRESSES *>(storage.get());
    if (buffer == nullptr) return AdapterQueryResult::kNoMemory;
    result = TQ_SYSCALL(GetAdaptersAddresses, get_adapters_addresses)(
        AF_INET, GAA_FLAG_INCLUDE_PREFIX, nullptr, buffer, &size);
    if (result != ERROR_BUFFER_OVERFLOW) break;
  }
  error = static_cast<long>(result);
  if (result == ERROR_NO_DATA) return AdapterQueryResult::kNoData;
  if (result != NO_ERROR) return AdapterQueryResult::kFailed;

  for (const IP_ADAPTER_ADDRESSES *a = buffer; a != nullptr; a = a->Next) {
    AdapterRecord r;
    r.if_index = static_cast<unsigned>(a->IfIndex);
    r.adapter_name = a->AdapterName;
    for (const IP_ADAPTER_UNICAST_ADDRESS *u = a->FirstUnicastAddress; u != nullptr; u = u->Next) {
      r.unicast.push_back(u->Address.lpSockaddr);
    }
    r.anycast_count = CountList(a->FirstAnycastAddress);
    r.multicast_count = CountList(a->FirstMulticastAddress);
    r.dns_server_count = CountList(a->FirstDnsServerAddress);
    r.dns_suffix = a->DnsSuffix;
    r.description = a->Description;
    r.friendly_name = a->FriendlyName;
    r.physical_address = a->PhysicalAddress;
    r.physical_address_length = a->PhysicalAddressLength < MAX_ADAPTER_ADDRESS_LENGTH
                                    ? a->PhysicalAddressLength
                                    : MAX_ADAPTER_ADDRESS_LENGTH;
    r.flags = static_cast<long>(a->Flags);
    r.mtu = static_cast<unsigned long>(a->Mtu);
    r.if_type = static_cast<long>(a->IfType);
    r.oper_status = static_cast<long>(a->OperStatus);
    r.ipv6_if_index = static_cast<unsigned>(a->Ipv6IfIndex);
    r.zone_indices = a->ZoneIndices;
    r.zone_count = sizeof(a->ZoneIndices) / sizeof(a->ZoneIndices[0]);
    r.transmit_link_speed = static_cast<unsigned long long>(a->TransmitLinkSpeed);
    r.receive_link_speed = static_cast<unsigned long long>(a->ReceiveLinkSpeed);
    r.prefix_count = CountList(a->FirstPrefix);
    records.push_back(r);
  }
  return AdapterQueryResult::kOk;
}

bool AdapterList::ErrorText(std::string *text) const {
  char *message = nullptr;
  if (FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                         FORMAT_MESSAGE_IGNORE_INSERTS,
                     nullptr, static_cast<DWORD>(error), MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT),
                     reinterpret_cast<LPSTR>(&message), 0, nullptr) == 0 ||
      message == nullptr) {
    return false;
  }
  *text = message;
  LocalFree(message);
  return true;
}

void WriteConsole(const char *text) {
  HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
  if (out == nullptr || out == INVALID_HANDLE_VALUE) return;
  DWORD written = 0;
  WriteFile(out, text, static_cast<DWORD>(std::strlen(text)), &written, nullptr);
}

// Seconds and milliseconds from one read of the system time, the seconds
// made local by the C runtime: two reads could straddle a second and stamp
// a line almost a second early.
void LocalTimeNow(std::tm *local, int *millis) {
  FILETIME file_time;
  GetSystemTimeAsFileTime(&file_time);
  const uint64_t ticks =
      (static_cast<uint64_t>(file_time.dwHighDateTime) << 32) | file_time.dwLowDateTime;
  const std::time_t now = static_cast<std::time_t>((ticks / 10000 - kUnixEpochInFileTimeMs) / 1000);
  localtime_s(local, &now);
  *millis = static_cast<int>((ticks / 10000 - kUnixEpochInFileTimeMs) % 1000);
}

// The runtime's _vscprintf/_vsnprintf family keeps %wS and %I64u working.
int CountFormatted(const char *format, va_list args) { return _vscprintf(format, args); }
int PrintFormatted(char *out, size_t size, const char *format, va_list args) {
  return _vsnprintf(out, size, format, args);
}

void PointerText(const void *pointer, char (&out)[32]) {
  _snprintf(out, sizeof(out), "%p", pointer);
  out[sizeof(out) - 1] = '\0';
}

ModuleReference AcquireModuleReference() {
  static const char anchor = 0;
  HMODULE module = nullptr;
  GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS, reinterpret_cast<LPCWSTR>(&anchor),
                     &module);
  return module;
}

void ReleaseModuleReference(ModuleReference reference) {
  if (reference != nullptr) FreeLibrary(reference);
}

namespace {

struct ModuleHandOff {
  HANDLE thread;  // the network I/O thread, still running its last steps
  HMODULE module;
};

// On a thread of the system's pool: waits until the network I/O thread has
// run its last instruction in this library, then has the pool free the
// library once this function has returned, so that no code of ours runs
// when the last reference goes.
void CALLBACK ReleaseModuleWhenThreadEnds(PTP_CALLBACK_INSTANCE instance, void *context) {
  const ModuleHandOff hand_off = *static_cast<ModuleHandOff *>(context);
  delete static_cast<ModuleHandOff *>(context);
  WaitForSingleObject(hand_off.thread, INFINITE);
  CloseHandle(hand_off.thread);
  FreeLibraryWhenCallbackReturns(instance, hand_off.module);
}

}  // namespace

// A thread cannot free the library whose code it runs: the standard
// thread's own exit path (in this library, linked statically) still
// follows, and FreeLibraryAndExitThread would skip it. So the reference goes
// to a work item of the system's thread pool, which frees it only after
// this thread has ended. Not a thread of the library's own: the pool is the
// system's, and the item only waits.
bool HandOffModuleReference(ModuleReference reference) {
  HANDLE self = nullptr;
  if (!DuplicateHandle(GetCurrentProcess(), GetCurrentThread(), GetCurrentProcess(), &self,
                       SYNCHRONIZE, FALSE, 0)) {
    return false;
  }
  auto *hand_off = new (std::nothrow) ModuleHandOff{self, reference};
  if (hand_off != nullptr &&
      TrySubmitThreadpoolCallback(&ReleaseModuleWhenThreadEnds, hand_off, nullptr)) {
    return true;
  }
  delete hand_off;
  CloseHandle(self);
  return false;
}

// DllMain tells a process exit apart: the system has ended every other
// thread by then, so there is nothing more to watch.
void WatchProcessExit() {}
bool ProcessExiting() { return g_process_exiting; }
// At DLL_PROCESS_DETACH our thread is already gone and the host's code
// still mapped: the teardown's line may still go to the host.
bool HostCallbacksAllowed() { return true; }

}  // namespace platform
}  // namespace TqProxy

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved) {
  if (reason == DLL_PROCESS_ATTACH) {
    // FALSE under MinGW (its runtime has a TLS directory); harmless.
    DisableThreadLibraryCalls(instance);
  } else if (reason == DLL_PROCESS_DETACH) {
    // Runs before our static destructors; `reserved` is set at process exit.
    TqProxy::platform::g_process_exiting = reserved != nullptr;
  }
  return TRUE;
}
