// Internal header. The few system calls that a test cannot make fail for
// real, the making of the breaker and of the thread, and the clock of peer
// activity, which a test cannot wait five minutes for: reachable through
// replaceable pointers in the test build only (TQPROXY_TEST_SEAMS). The
// library calls them directly.
#pragma once

#include <cstdint>

#include "platform.h"

#if defined(TQPROXY_TEST_SEAMS)
#include <atomic>
#include <memory>
#include <thread>

#if !defined(_WIN32)
struct ifaddrs;
struct pollfd;
#endif

namespace TqProxy {
class SocketBreaker;
class TQUdpService;
namespace seams {
#if defined(_WIN32)
extern std::atomic<int(WSAAPI *)(WORD, LPWSADATA)> wsa_startup;
extern std::atomic<SOCKET(WSAAPI *)(int, int, int)> create_socket;
extern std::atomic<int(WSAAPI *)(SOCKET, char *, int, int, sockaddr *, int *)> recv_from;
extern std::atomic<WSAEVENT(WSAAPI *)()> wsa_create_event;
extern std::atomic<DWORD(WSAAPI *)(DWORD, const WSAEVENT *, BOOL, DWORD, BOOL)>
    wsa_wait_for_multiple_events;
extern std::atomic<int(WSAAPI *)(SOCKET, WSAEVENT, LPWSANETWORKEVENTS)> wsa_enum_network_events;
extern std::atomic<ULONG(WINAPI *)(ULONG, ULONG, PVOID, PIP_ADAPTER_ADDRESSES, PULONG)>
    get_adapters_addresses;
extern std::atomic<LPVOID(WINAPI *)(HANDLE, DWORD, SIZE_T)> heap_alloc;
#else
extern std::atomic<int (*)(int, int, int)> create_socket;
extern std::atomic<ssize_t (*)(int, void *, size_t, int, sockaddr *, socklen_t *)> recv_from;
extern std::atomic<int (*)(unsigned int, int)> event_fd;
extern std::atomic<int (*)(pollfd *, unsigned long, int)> poll_sockets;
extern std::atomic<int (*)(ifaddrs **)> get_if_addrs;
#endif
extern std::atomic<int64_t (*)()> steady_now_ms;  // TqProxy::SteadyNowMs
// TqProxy::MakeSocketBreaker
extern std::atomic<std::shared_ptr<SocketBreaker> (*)()> make_breaker;
// TqProxy::StartNetIoThread
extern std::atomic<std::shared_ptr<std::thread> (*)(void (*)(TQUdpService *), TQUdpService *)>
    start_thread;
void Reset();
}  // namespace seams
}  // namespace TqProxy
// Atomic: a test replaces them while the library's thread calls through them.
#define TQ_SYSCALL(name, seam) (::TqProxy::seams::seam.load())
#else
#define TQ_SYSCALL(name, seam) ::name
#endif
