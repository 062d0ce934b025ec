// Internal header. The few system calls that a test cannot make fail for
// real, reachable through replaceable pointers in the test build only
// (TQPROXY_TEST_SEAMS). The DLL calls the system directly.
#pragma once

#include "platform.h"

#if defined(TQPROXY_TEST_SEAMS)
namespace TqProxy {
namespace seams {
extern ULONG(WINAPI *get_adapters_addresses)(ULONG family, ULONG flags, PVOID reserved,
                                             PIP_ADAPTER_ADDRESSES addresses, PULONG size);
extern LPVOID(WINAPI *heap_alloc)(HANDLE heap, DWORD flags, SIZE_T bytes);
}  // namespace seams
}  // namespace TqProxy
#define TQ_SYSCALL(name, seam) ::TqProxy::seams::seam
#else
#define TQ_SYSCALL(name, seam) ::name
#endif
