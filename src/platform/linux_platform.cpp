// The Linux side of platform.h: BSD sockets and errno, poll and an eventfd
// for the poller and the breaker, getifaddrs for discovery, write(1) for
// the console, clock_gettime and localtime_r for the log time, and the
// dynamic loader for the library's hold on its own code.
#include "platform.h"

#include <dlfcn.h>
#include <errno.h>
#include <ifaddrs.h>
#include <linux/if_packet.h>
#include <net/if.h>
#include <net/if_arp.h>
#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "test_seams.h"

namespace TqProxy {
namespace platform {
namespace {

// The largest wait: the breaker and 63 sockets, as one Windows event wait.
constexpr size_t kMaxWaitHandles = 64;

// Set by the exit hook: the process is ending (or the library unloading).
std::atomic<bool> g_exit_hook_ran{false};
// A run holds the library's own reference; an unload cannot happen then,
// so the exit hook running meanwhile means the process is ending.
std::atomic<bool> g_reference_held{false};
std::atomic<bool> g_process_exiting{false};

// Its destructor is the exit hook. A static's teardown is registered with
// this library's handle, so it also runs at the final unload and is never
// called after one (a plain atexit registration may be, under some tools).
struct ExitWatch {
  ExitWatch() = default;
  ExitWatch(const ExitWatch &) = delete;
  ExitWatch &operator=(const ExitWatch &) = delete;
  ~ExitWatch() {
    g_process_exiting.store(g_reference_held.load());
    g_exit_hook_ran.store(true);
  }
};

short ReadEvents(long interest) { return (interest & kFdRead) != 0 ? POLLIN : 0; }

int PollRetrying(pollfd *fds, nfds_t count, int timeout_ms) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  for (;;) {
    const int n = TQ_SYSCALL(poll, poll_sockets)(fds, count, timeout_ms);
    if (n >= 0 || errno != EINTR) return n;
    // A signal for the host is no failure of the wait: wait out the rest.
    if (timeout_ms > 0) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          deadline - std::chrono::steady_clock::now());
      timeout_ms = left.count() > 0 ? static_cast<int>(left.count()) : 0;
    }
  }
}

// Interface type numbers as Windows reports them (IF_TYPE_*).
long InterfaceType(const ifaddrs &entry) {
  if ((entry.ifa_flags & IFF_LOOPBACK) != 0) return 24;      // software loopback
  if ((entry.ifa_flags & IFF_POINTOPOINT) != 0) return 131;  // tunnel
  return 6;                                                  // ethernet
}

// The MTU through the socket layer, which answers for the calling thread's
// network namespace (/sys/class/net may still show another's); 0 if none.
unsigned long InterfaceMtu(const char *name) {
  const int probe = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (probe < 0) return 0;
  ifreq request{};
  std::strncpy(request.ifr_name, name, IFNAMSIZ - 1);
  const bool ok = ioctl(probe, SIOCGIFMTU, &request) == 0;
  close(probe);
  return ok ? static_cast<unsigned long>(request.ifr_mtu) : 0;
}

// The hardware address from the interface's link-layer entry of the same
// list; none when it has none or it is all zeros.
std::vector<unsigned char> HardwareAddress(const ifaddrs *list, const char *name) {
  for (const ifaddrs *entry = list; entry != nullptr; entry = entry->ifa_next) {
    if (entry->ifa_addr == nullptr || entry->ifa_addr->sa_family != AF_PACKET ||
        std::strcmp(entry->ifa_name, name) != 0) {
      continue;
    }
    const auto *link = reinterpret_cast<const sockaddr_ll *>(entry->ifa_addr);
    const size_t length = std::min<size_t>(link->sll_halen, kMaxPhysicalAddressLength);
    std::vector<unsigned char> mac(link->sll_addr, link->sll_addr + length);
    bool all_zero = true;
    for (unsigned char b : mac) all_zero = all_zero && b == 0;
    if (!all_zero) return mac;
  }
  return {};
}

}  // namespace

bool StartSocketLibrary(int *) { return true; }
void StopSocketLibrary() {}
int CloseSocket(SOCKET socket) { return close(socket); }
int LastSocketError() { return errno; }
void SetLastSocketError(int error) { errno = error; }

void WaitWritable(SOCKET socket, int32_t timeout_ms) {
  pollfd fd{socket, POLLOUT, 0};
  poll(&fd, 1, timeout_ms);
}

Event CreateBreakerEvent() { return TQ_SYSCALL(eventfd, event_fd)(0, EFD_NONBLOCK | EFD_CLOEXEC); }
Event CreateSocketEvent() { return 0; }
void CloseEvent(Event event) {
  if (event > 0) close(event);
}
bool SetEvent(Event event) {
  const uint64_t one = 1;
  return write(event, &one, sizeof(one)) == static_cast<ssize_t>(sizeof(one)) || errno == EAGAIN;
}
// Reads the count back to 0; an event already reset is no failure.
bool ResetEvent(Event event) {
  uint64_t count = 0;
  return read(event, &count, sizeof(count)) == static_cast<ssize_t>(sizeof(count)) ||
         errno == EAGAIN;
}
// Poll takes the interest at each wait: nothing to associate.
void SelectSocketEvents(SOCKET, Event, long) {}

// Readable for data only, and exceptional for urgent data only: a pending
// socket error is left to the wait, which reports it with its code, as a
// Windows event does.
int SelectNow(SocketSet &read_set, SocketSet &except_set) {
  pollfd fds[2 * kMaxSetSockets];
  nfds_t count = 0;
  for (size_t i = 0; i < read_set.Size(); ++i) fds[count++] = pollfd{read_set.At(i), POLLIN, 0};
  for (size_t i = 0; i < except_set.Size(); ++i) {
    fds[count++] = pollfd{except_set.At(i), POLLPRI, 0};
  }
  if (PollRetrying(fds, count, 0) < 0) return -1;
  int memberships = 0;
  for (nfds_t i = 0; i < count; ++i) {
    if ((fds[i].revents & POLLNVAL) != 0) {
      errno = EBADF;
      return -1;
    }
  }
  for (size_t i = 0; i < read_set.Size(); ++i) {
    const bool found = (fds[i].revents & POLLIN) != 0;
    read_set.Mark(i, found);
    memberships += found;
  }
  for (size_t i = 0; i < except_set.Size(); ++i) {
    const bool found = (fds[read_set.Size() + i].revents & POLLPRI) != 0;
    except_set.Mark(i, found);
    memberships += found;
  }
  return memberships;
}

int32_t WaitForEvents(const std::vector<Event> &events, const std::vector<SOCKET> &sockets,
                      const std::map<SOCKET, long> &interest, int32_t timeout_ms) {
  if (events.empty() || events.size() > kMaxWaitHandles) {
    errno = EINVAL;
    return kWaitFailed;
  }
  pollfd fds[kMaxWaitHandles];
  for (size_t i = 0; i < events.size(); ++i) {
    if (events[i] == kInvalidEvent) {
      errno = EBADF;
      return kWaitFailed;
    }
    if (i == 0) {
      fds[i] = pollfd{events[0], POLLIN, 0};
    } else {
      const auto found = interest.find(sockets[i]);
      fds[i] = pollfd{sockets[i], ReadEvents(found != interest.end() ? found->second : 0), 0};
    }
  }
  const int n = PollRetrying(fds, static_cast<nfds_t>(events.size()), timeout_ms);
  if (n < 0) return kWaitFailed;
  if (n == 0) return kWaitTimeout;
  for (size_t i = 0; i < events.size(); ++i) {
    if ((fds[i].revents & POLLNVAL) != 0) {
      errno = EBADF;
      return kWaitFailed;
    }
    if (fds[i].revents != 0) return static_cast<int32_t>(i);
  }
  return kWaitTimeout;
}

// What is pending on the socket now: data as FD_READ, a pending socket
// error (read, and so cleared, here) as FD_CLOSE with that code, as Windows
// reports an ICMP error on a connected socket.
bool EnumNetworkEvents(SOCKET socket, Event, NetworkEvents *out) {
  *out = NetworkEvents{};
  pollfd fd{socket, POLLIN, 0};
  if (PollRetrying(&fd, 1, 0) < 0) return false;
  if ((fd.revents & POLLNVAL) != 0) {
    errno = EBADF;
    return false;
  }
  if ((fd.revents & POLLERR) != 0) {
    int error = 0;
    socklen_t length = sizeof(error);
    if (getsockopt(socket, SOL_SOCKET, SO_ERROR, &error, &length) != 0) return false;
    out->lNetworkEvents |= kFdClose;
    out->iErrorCode[kFdCloseBit] = error;
  }
  if ((fd.revents & (POLLIN | POLLHUP)) != 0) out->lNetworkEvents |= kFdRead;
  return true;
}

void AdapterList::StorageRelease::operator()(void *storage) const {
  freeifaddrs(static_cast<ifaddrs *>(storage));
}

// One record per interface that is up and has an IPv4 address, in the
// order of the first such address; the loopback interface is left out, as
// Windows lists no loopback adapter. Values Linux has no source for are
// fixed: no anycast, multicast or DNS entries, no DNS suffix, zone indices
// 0, link speeds 0, one prefix per address.
AdapterQueryResult AdapterList::Query() {
  ifaddrs *list = nullptr;
  if (TQ_SYSCALL(getifaddrs, get_if_addrs)(&list) != 0) {
    error = errno;
    return error == ENOMEM ? AdapterQueryResult::kNoMemory : AdapterQueryResult::kFailed;
  }
  storage.reset(list);
  static const unsigned long kZeroZones[16] = {};

  std::vector<std::string> names;
  for (const ifaddrs *entry = list; entry != nullptr; entry = entry->ifa_next) {
    if (entry->ifa_addr == nullptr || entry->ifa_addr->sa_family != AF_INET) continue;
    if ((entry->ifa_flags & IFF_UP) == 0 || (entry->ifa_flags & IFF_LOOPBACK) != 0) continue;
    size_t at = 0;
    while (at < names.size() && names[at] != entry->ifa_name) ++at;
    if (at == names.size()) {
      names.push_back(entry->ifa_name);
      AdapterRecord r;
      r.if_index = if_nametoindex(entry->ifa_name);
      r.adapter_name = entry->ifa_name;
      r.dns_suffix = "";
      r.description = entry->ifa_name;
      r.friendly_name = entry->ifa_name;
      r.flags = 0x80;  // IPv4 enabled
      r.if_type = InterfaceType(*entry);
      r.oper_status = (entry->ifa_flags & IFF_RUNNING) != 0 ? 1 : 7;  // up : lower layer down
      r.zone_indices = kZeroZones;
      r.zone_count = 16;
      r.mtu = InterfaceMtu(entry->ifa_name);
      owned.push_back(HardwareAddress(list, entry->ifa_name));
      records.push_back(r);
    }
    records[at].unicast.push_back(entry->ifa_addr);
    records[at].prefix_count += 1;
  }
  for (size_t i = 0; i < records.size(); ++i) {
    records[i].physical_address = owned[i].empty() ? nullptr : owned[i].data();
    records[i].physical_address_length = owned[i].size();
  }
  if (records.empty()) {
    error = ENODATA;
    return AdapterQueryResult::kNoData;
  }
  return AdapterQueryResult::kOk;
}

bool AdapterList::ErrorText(std::string *text) const {
  *text = std::strerror(static_cast<int>(error));
  return true;
}

void WriteConsole(const char *text) {
  size_t left = std::strlen(text);
  while (left > 0) {
    const ssize_t n = write(1, text, left);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    text += n;
    left -= static_cast<size_t>(n);
  }
}

void LocalTimeNow(std::tm *local, int *millis) {
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  const time_t seconds = now.tv_sec;
  localtime_r(&seconds, local);
  *millis = static_cast<int>(now.tv_nsec / 1000000);
}

int CountFormatted(const char *format, va_list args) {
  return std::vsnprintf(nullptr, 0, format, args);
}
int PrintFormatted(char *out, size_t size, const char *format, va_list args) {
  return std::vsnprintf(out, size, format, args);
}

void PointerText(const void *pointer, char (&out)[32]) {
  std::snprintf(out, sizeof(out), "%016" PRIXPTR, reinterpret_cast<uintptr_t>(pointer));
}

// A dlopen of our own file that only finds it (RTLD_NOLOAD) adds one
// reference: dlclose by the host then leaves the code mapped.
ModuleReference AcquireModuleReference() {
  static const char anchor = 0;
  Dl_info info{};
  if (dladdr(&anchor, &info) == 0 || info.dli_fname == nullptr) return nullptr;
  void *self = dlopen(info.dli_fname, RTLD_NOW | RTLD_NOLOAD);
  if (self != nullptr) g_reference_held.store(true);
  return self;
}

void ReleaseModuleReference(ModuleReference reference) {
  if (reference == nullptr) return;
  g_reference_held.store(false);
  dlclose(reference);
}

// The thread's last steps (the standard thread's own, in this library) and
// its end cannot be waited for here without a thread of our own: kept.
bool HandOffModuleReference(ModuleReference) { return false; }

// Registered after the service object was made, so it runs before the
// object's teardown: at exit (and at the final unload, when no run holds
// the library). Unlike Windows, the other threads still run at that point.
void WatchProcessExit() { static ExitWatch watch; }
bool ProcessExiting() { return g_process_exiting.load(); }
bool HostCallbacksAllowed() { return !g_exit_hook_ran.load(); }

}  // namespace platform
}  // namespace TqProxy
