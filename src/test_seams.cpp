#include "test_seams.h"

#if defined(TQPROXY_TEST_SEAMS)
#if !defined(_WIN32)
#include <ifaddrs.h>
#include <poll.h>
#include <sys/eventfd.h>
#endif

namespace TqProxy {
namespace seams {

#if defined(_WIN32)
int(WSAAPI *wsa_startup)(WORD, LPWSADATA);
SOCKET(WSAAPI *create_socket)(int, int, int);
int(WSAAPI *recv_from)(SOCKET, char *, int, int, sockaddr *, int *);
WSAEVENT(WSAAPI *wsa_create_event)();
DWORD(WSAAPI *wsa_wait_for_multiple_events)(DWORD, const WSAEVENT *, BOOL, DWORD, BOOL);
int(WSAAPI *wsa_enum_network_events)(SOCKET, WSAEVENT, LPWSANETWORKEVENTS);
ULONG(WINAPI *get_adapters_addresses)(ULONG, ULONG, PVOID, PIP_ADAPTER_ADDRESSES, PULONG);
LPVOID(WINAPI *heap_alloc)(HANDLE, DWORD, SIZE_T);
#else
int (*create_socket)(int, int, int);
ssize_t (*recv_from)(int, void *, size_t, int, sockaddr *, socklen_t *);
int (*event_fd)(unsigned int, int);
int (*poll_sockets)(pollfd *, unsigned long, int);
int (*get_if_addrs)(ifaddrs **);
#endif
bool fail_next_thread_start;

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
  fail_next_thread_start = false;
}

namespace {
const bool kInitialised = (Reset(), true);
}  // namespace

}  // namespace seams
}  // namespace TqProxy
#endif
