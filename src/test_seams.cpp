#include "test_seams.h"

#include "tq_udp_service.h"

// Part of the test build only: the shipped library calls the system directly.
#if !defined(TQPROXY_TEST_SEAMS)
#error "test_seams.cpp belongs to the test build (TQPROXY_TEST_SEAMS)"
#endif

#if !defined(_WIN32)
#include <ifaddrs.h>
#include <poll.h>
#include <sys/eventfd.h>
#endif

namespace TqProxy {
namespace seams {

#if defined(_WIN32)
std::atomic<int(WSAAPI *)(WORD, LPWSADATA)> wsa_startup;
std::atomic<SOCKET(WSAAPI *)(int, int, int)> create_socket;
std::atomic<int(WSAAPI *)(SOCKET, char *, int, int, sockaddr *, int *)> recv_from;
std::atomic<WSAEVENT(WSAAPI *)()> wsa_create_event;
std::atomic<DWORD(WSAAPI *)(DWORD, const WSAEVENT *, BOOL, DWORD, BOOL)>
    wsa_wait_for_multiple_events;
std::atomic<int(WSAAPI *)(SOCKET, WSAEVENT, LPWSANETWORKEVENTS)> wsa_enum_network_events;
std::atomic<ULONG(WINAPI *)(ULONG, ULONG, PVOID, PIP_ADAPTER_ADDRESSES, PULONG)>
    get_adapters_addresses;
std::atomic<LPVOID(WINAPI *)(HANDLE, DWORD, SIZE_T)> heap_alloc;
#else
std::atomic<int (*)(int, int, int)> create_socket;
std::atomic<ssize_t (*)(int, void *, size_t, int, sockaddr *, socklen_t *)> recv_from;
std::atomic<int (*)(unsigned int, int)> event_fd;
std::atomic<int (*)(pollfd *, unsigned long, int)> poll_sockets;
std::atomic<int (*)(ifaddrs **)> get_if_addrs;
#endif
std::atomic<int64_t (*)()> steady_now_ms;
std::atomic<std::shared_ptr<SocketBreaker> (*)()> make_breaker;
std::atomic<std::shared_ptr<std::thread> (*)(void (*)(TQUdpService *), TQUdpService *)>
    start_thread;

void Reset() {
#if defined(_WIN32)
  wsa_startup = &::WSAStartup;
  create_socket = &::socket;
  recv_from = &::recvfrom;
  wsa_create_event = &::WSACreateEvent;
  wsa_wait_for_multiple_events = &::WSAWaitForMultipleEvents;
  wsa_enum_network_events = &::WSAEnumNetworkEvents;
  get_adapters_addresses = &::GetAdaptersAddresses;
  heap_alloc = &::HeapAlloc;
#else
  create_socket = &::socket;
  recv_from = &::recvfrom;
  event_fd = &::eventfd;
  poll_sockets = &::poll;
  get_if_addrs = &::getifaddrs;
#endif
  steady_now_ms = &SteadyNowMs;
  make_breaker = &MakeSocketBreaker;
  start_thread = &StartNetIoThread;
}

namespace {
const bool kInitialised = (Reset(), true);
}  // namespace

}  // namespace seams
}  // namespace TqProxy
