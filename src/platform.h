// Internal header. The one place that pulls in the Windows headers, in the
// order they need (winsock2 before windows.h), with the same macros for
// MinGW and MSVC.
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
#if defined(__GNUC__) && defined(_WIN32)
#define TQ_PRINTF_FORMAT(fmt, args) __attribute__((format(ms_printf, fmt, args)))
#else
#define TQ_PRINTF_FORMAT(fmt, args)
#endif
