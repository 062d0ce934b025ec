// Internal header. The few system calls that a test cannot make fail for
// real, and the clock of peer activity, which a test cannot wait five
// minutes for: reachable through replaceable pointers in the test build
// only (TQPROXY_TEST_SEAMS). The DLL calls the system directly.
#pragma once

#include <cstdint>

#include "platform.h"

#if defined(TQPROXY_TEST_SEAMS)
namespace TqProxy {
namespace seams {
extern int(WSAAPI *wsa_startup)(WORD, LPWSADATA);
extern SOCKET(WSAAPI *create_socket)(int, int, int);
extern int(WSAAPI *recv_from)(SOCKET, char *, int, int, sockaddr *, int *);
extern WSAEVENT(WSAAPI *wsa_create_event)();
extern DWORD(WSAAPI *wsa_wait_for_multiple_events)(DWORD, const WSAEVENT *, BOOL, DWORD, BOOL);
extern int(WSAAPI *wsa_enum_network_events)(SOCKET, WSAEVENT, LPWSANETWORKEVENTS);
extern ULONG(WINAPI *get_adapters_addresses)(ULONG, ULONG, PVOID, PIP_ADAPTER_ADDRESSES, PULONG);
extern LPVOID(WINAPI *heap_alloc)(HANDLE, DWORD, SIZE_T);
extern int64_t (*steady_now_ms)();  // TqProxy::SteadyNowMs
// When set, the next start fails to create its thread, as std::thread does.
extern bool fail_next_thread_start;
// When set, the next start fails to make its breaker (out of memory).
extern bool fail_next_breaker;
void Reset();
}  // namespace seams
}  // namespace TqProxy
#define TQ_SYSCALL(name, seam) ::TqProxy::seams::seam
#else
#define TQ_SYSCALL(name, seam) ::name
#endif
