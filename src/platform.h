// Internal header. What differs between the operating systems, behind one
// set of declarations: socket handles and their error numbers, the event
// objects of the poller and the breaker, adapter records for discovery,
// the console, the calendar clock and the library's hold on its own code.
// Each system's types come from its own header; each system's calls live in
// its own source file (platform/win32_platform.cpp, platform/linux_platform.cpp).
#pragma once

#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <ctime>
#include <map>
#include <memory>
#include <string>
#include <vector>

#if defined(_WIN32)
#include "platform/win32_platform.h"
#else
#include "platform/linux_platform.h"
#endif

namespace TqProxy {
namespace platform {

// Sockets. The socket library is started and balanced per start of the
// service (Windows Sockets 2.2); elsewhere there is nothing to start.
bool StartSocketLibrary(int *error);
void StopSocketLibrary();
int CloseSocket(SOCKET socket);
// The calling thread's last socket error, and setting it.
int LastSocketError();
void SetLastSocketError(int error);

// Waits up to `timeout_ms` for room to send on `socket`; its result is
// only a hint, the send that follows tells.
void WaitWritable(SOCKET socket, int32_t timeout_ms);

// Event objects. The breaker's event is a real object on every system; a
// socket's registration is one where the wait needs it (Windows), a mark
// elsewhere (the wait takes the socket itself). A failed creation gives
// kInvalidEvent, on which the next wait fails.
Event CreateBreakerEvent();
Event CreateSocketEvent();
void CloseEvent(Event event);
bool SetEvent(Event event);
bool ResetEvent(Event event);
// Associates a registered socket's event with its interest mask.
void SelectSocketEvents(SOCKET socket, Event event, long interest);

// A zero-timeout readiness poll over a read set and an exception set, each
// of at most kMaxSetSockets sockets: -1 failure, else the memberships left
// set. SocketSet comes from the system's header.
int SelectNow(SocketSet &read_set, SocketSet &except_set);

// Waits for any of `events` (index 0 the breaker's, index i the
// registration of sockets[i] with interest mask interest_of(sockets[i])):
// kWaitFailed, kWaitTimeout, or the lowest ready index. A timeout of -1
// waits without a limit.
constexpr int32_t kWaitFailed = -1;
constexpr int32_t kWaitTimeout = -2;
int32_t WaitForEvents(const std::vector<Event> &events, const std::vector<SOCKET> &sockets,
                      const std::map<SOCKET, long> &interest, int32_t timeout_ms);
// What happened on a socket whose registration ended a wait; false on failure.
bool EnumNetworkEvents(SOCKET socket, Event event, NetworkEvents *out);

// Adapter discovery: one raw record per adapter, in the system's order,
// with the texts and values the adapter lines show.
struct AdapterRecord {
  unsigned if_index = 0;
  const char *adapter_name = "";
  std::vector<const sockaddr *> unicast;  // entries may be null or not IPv4
  int32_t anycast_count = 0;
  int32_t multicast_count = 0;
  int32_t dns_server_count = 0;
  const AdapterText *dns_suffix = nullptr;
  const AdapterText *description = nullptr;
  const AdapterText *friendly_name = nullptr;
  const unsigned char *physical_address = nullptr;
  unsigned long physical_address_length = 0;  // at most kMaxPhysicalAddressLength
  long flags = 0;
  unsigned long mtu = 0;
  long if_type = 0;
  long oper_status = 0;
  unsigned ipv6_if_index = 0;
  const unsigned long *zone_indices = nullptr;
  size_t zone_count = 0;
  unsigned long long transmit_link_speed = 0;
  unsigned long long receive_link_speed = 0;
  int32_t prefix_count = 0;
};

enum class AdapterQueryResult { kOk, kNoData, kNoMemory, kFailed };

// Owns what the system handed out for one query; the records point into it.
class AdapterList {
 public:
  AdapterList() = default;
  AdapterList(const AdapterList &) = delete;
  AdapterList &operator=(const AdapterList &) = delete;

  AdapterQueryResult Query();
  const std::vector<AdapterRecord> &Records() const { return records; }
  // The system's code and text for a failed query.
  long Error() const { return error; }
  bool ErrorText(std::string *text) const;

 private:
  // Frees the system's buffer as the system wants it freed.
  struct StorageRelease {
    void operator()(void *storage) const;
  };
  std::unique_ptr<void, StorageRelease> storage;
  long error = 0;
  std::vector<AdapterRecord> records;
  std::vector<std::vector<unsigned char>> owned;  // per-record data made here
};

// Console and clock.
void WriteConsole(const char *text);
// Local calendar time and the milliseconds of the current second.
void LocalTimeNow(std::tm *local, int *millis);
// vsnprintf with the system runtime's conventions; CountFormatted gives the
// length without writing.
int CountFormatted(const char *format, va_list args);
int PrintFormatted(char *out, size_t size, const char *format, va_list args);
// A pointer as the Windows runtime writes %p: 16 upper-case hex digits.
void PointerText(const void *pointer, char (&out)[32]);

// The library's hold on its own code while its thread runs, so that an
// unload by the host cannot unmap it; null when none could be taken.
ModuleReference AcquireModuleReference();
void ReleaseModuleReference(ModuleReference reference);
// From the service's own thread as it ends by itself: the reference goes
// once that thread has ended. False where the system cannot arrange that;
// the caller keeps the reference then.
bool HandOffModuleReference(ModuleReference reference);
// Registers the watch for the end of the process (where the system needs
// one); called once at load.
void WatchProcessExit();
// True once the process is ending with the service's thread still there:
// the teardown must then only report, not free or join.
bool ProcessExiting();
// False once host code may be gone (the process is ending): no host
// callback is called from then on.
bool HostCallbacksAllowed();

}  // namespace platform
}  // namespace TqProxy
