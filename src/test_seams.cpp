#include "test_seams.h"

#include "tq_udp_service.h"

#if defined(TQPROXY_TEST_SEAMS)
namespace TqProxy {
namespace seams {

int(WSAAPI *wsa_startup)(WORD, LPWSADATA);
SOCKET(WSAAPI *create_socket)(int, int, int);
int(WSAAPI *recv_from)(SOCKET, char *, int, int, sockaddr *, int *);
WSAEVENT(WSAAPI *wsa_create_event)();
DWORD(WSAAPI *wsa_wait_for_multiple_events)(DWORD, const WSAEVENT *, BOOL, DWORD, BOOL);
int(WSAAPI *wsa_enum_network_events)(SOCKET, WSAEVENT, LPWSANETWORKEVENTS);
ULONG(WINAPI *get_adapters_addresses)(ULONG, ULONG, PVOID, PIP_ADAPTER_ADDRESSES, PULONG);
LPVOID(WINAPI *heap_alloc)(HANDLE, DWORD, SIZE_T);
int64_t (*steady_now_ms)();
bool fail_next_thread_start;
bool fail_next_breaker;

void Reset() {
  wsa_startup = &::WSAStartup;
  create_socket = &::socket;
  recv_from = &::recvfrom;
  wsa_create_event = &::WSACreateEvent;
  wsa_wait_for_multiple_events = &::WSAWaitForMultipleEvents;
  wsa_enum_network_events = &::WSAEnumNetworkEvents;
  get_adapters_addresses = &::GetAdaptersAddresses;
  heap_alloc = &::HeapAlloc;
  steady_now_ms = &SteadyNowMs;
  fail_next_thread_start = false;
  fail_next_breaker = false;
}

namespace {
const bool kInitialised = (Reset(), true);
}  // namespace

}  // namespace seams
}  // namespace TqProxy
#endif
