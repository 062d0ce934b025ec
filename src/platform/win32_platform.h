// Internal header. The Windows side of platform.h: the system headers in
// the order they need (winsock2 before windows.h), with the same macros for
// MinGW and MSVC, and the types the portable declarations name.
#pragma once

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#ifndef _WINSOCK_DEPRECATED_NO_WARNINGS
#define _WINSOCK_DEPRECATED_NO_WARNINGS  // inet_ntoa and inet_addr are the calls we mean
#endif
#ifndef _CRT_SECURE_NO_WARNINGS
#define _CRT_SECURE_NO_WARNINGS  // strerror, _snprintf
#endif

#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
#include <iphlpapi.h>

// printf-style checking with the Windows runtime's conventions (%I64u, %ls).
#if defined(__GNUC__)
#define TQ_PRINTF_FORMAT(fmt, args) __attribute__((format(ms_printf, fmt, args)))
#else
#define TQ_PRINTF_FORMAT(fmt, args)
#endif

// The runtime's conversions for a 64-bit unsigned value and for an adapter
// text (wide on Windows).
#define TQ_FORMAT_U64 "%I64u"
#define TQ_FORMAT_LL "I64"
#define TQ_FORMAT_ADAPTER_TEXT "%wS"

namespace TqProxy {
namespace platform {

using Event = WSAEVENT;
const Event kInvalidEvent = WSA_INVALID_EVENT;
using NetworkEvents = WSANETWORKEVENTS;
using AdapterText = wchar_t;
using ModuleReference = HMODULE;

constexpr int kErrorInvalidArgument = WSAEINVAL;
constexpr int kErrorMessageSize = WSAEMSGSIZE;
constexpr int kErrorAddressNotAvailable = WSAEADDRNOTAVAIL;
constexpr int kErrorWouldBlock = WSAEWOULDBLOCK;
constexpr unsigned long kMaxPhysicalAddressLength = MAX_ADAPTER_ADDRESS_LENGTH;
constexpr size_t kMaxSetSockets = FD_SETSIZE;

// The network-event bits of a registration and of NetworkEvents.
constexpr long kFdRead = FD_READ;
constexpr long kFdAccept = FD_ACCEPT;
constexpr long kFdClose = FD_CLOSE;
constexpr int kFdReadBit = FD_READ_BIT;
constexpr int kFdAcceptBit = FD_ACCEPT_BIT;
constexpr int kFdCloseBit = FD_CLOSE_BIT;

// FD_SET without its duplicate scan: the caller adds each socket once.
class SocketSet {
 public:
  SocketSet() { set.fd_count = 0; }
  void Add(SOCKET socket) {
    if (set.fd_count < FD_SETSIZE) set.fd_array[set.fd_count++] = socket;
  }
  bool Contains(SOCKET socket) const { return FD_ISSET(socket, const_cast<fd_set *>(&set)) != 0; }
  fd_set *Native() { return &set; }

 private:
  fd_set set;
};

}  // namespace platform
}  // namespace TqProxy
