/*
 * TqProxy.h - public interface of TqProxy.dll, a UDP endpoint for a Windows
 * host process. Public header: compiles as C (C89 and later) and as C++.
 *
 * Lifecycle: TQ_Proxy_Init starts the service (one UDP socket per local
 * IPv4 address on one port, plus one network I/O thread of the library's
 * own); TQ_Proxy_UnInit stops it; the service can be started again after a
 * stop. TQ_Proxy_Send sends datagrams; TQ_Proxy_SetLog routes log lines.
 *
 * Threading rules:
 *  - TQ_Proxy_Init and TQ_Proxy_UnInit are meant for host threads. While
 *    another thread is inside TQ_Proxy_Init or TQ_Proxy_UnInit,
 *    TQ_Proxy_Init returns -97 at once and TQ_Proxy_UnInit waits for it.
 *  - TQ_Proxy_Send and TQ_Proxy_SetLog may be called from any thread at any
 *    time, concurrently, also from inside either callback. Sends of several
 *    threads at once all go out; a send fails (-1) only for a reason of its
 *    own, or when the system could take no datagram for tens of ms.
 *  - RecvCallback runs on the library's network I/O thread, one call at a
 *    time. LogCallback runs on whichever thread writes the line, one call
 *    at a time.
 *  - TQ_Proxy_UnInit called from inside a callback on the network I/O
 *    thread only requests the stop and returns 0; the next TQ_Proxy_UnInit
 *    or TQ_Proxy_Init from a host thread finishes it. Called from a log
 *    callback during TQ_Proxy_Init, the stop follows that start: that
 *    TQ_Proxy_Init returns 0 with the service already stopped.
 *  - At process exit no callback is called: the library's last line goes
 *    to standard output instead, when the minimum level lets it through.
 */
#ifndef TQPROXY_H
#define TQPROXY_H

#include <stddef.h>
#include <stdint.h>

/* The library's version: the one place it is written (the build reads it). */
#define TQPROXY_VERSION_MAJOR 1
#define TQPROXY_VERSION_MINOR 0
#define TQPROXY_VERSION_PATCH 0
#define TQPROXY_STRINGIZE_(x) #x
#define TQPROXY_STRINGIZE(x) TQPROXY_STRINGIZE_(x)
#define TQPROXY_VERSION_STRING             \
  TQPROXY_STRINGIZE(TQPROXY_VERSION_MAJOR) \
  "." TQPROXY_STRINGIZE(TQPROXY_VERSION_MINOR) "." TQPROXY_STRINGIZE(TQPROXY_VERSION_PATCH)

#ifdef __cplusplus
extern "C" {
#endif

#if defined(_WIN32) && !defined(TQPROXY_BUILDING_DLL)
#define TQ_PROXY_API __declspec(dllimport)
#elif !defined(_WIN32) && defined(TQPROXY_BUILDING_DLL) && defined(__GNUC__)
#define TQ_PROXY_API __attribute__((visibility("default")))
#else
#define TQ_PROXY_API
#endif

#if defined(_WIN32)
#define TQ_PROXY_CALL __cdecl
#else
#define TQ_PROXY_CALL
#endif

/* Result codes of the exports (ServiceResult). TQ_Proxy_Send otherwise
 * returns the result of its last datagram send: the bytes sent, or -1. */
typedef int32_t ServiceResult;
#define TQ_PROXY_OK 0
#define TQ_PROXY_ERR_STATE (-97)    /* wrong state: not idle (Init), not running (Send) */
#define TQ_PROXY_ERR_SOCKET (-98)   /* socket layer failure */
#define TQ_PROXY_ERR_ARGUMENT (-99) /* bad argument, or nothing to send to */

/* Log levels. As a minimum level, -1 delivers nothing to the callback. */
#define TQ_PROXY_LOG_NONE (-1)
#define TQ_PROXY_LOG_DEBUG 1
#define TQ_PROXY_LOG_INFO 2
#define TQ_PROXY_LOG_WARN 3
#define TQ_PROXY_LOG_ERROR 4

/* Called on the network I/O thread for every received datagram.
 * `data` points into the library's receive buffer: valid only until the
 * callback returns, followed by one NUL byte. `length` is at least 1. */
typedef void(TQ_PROXY_CALL *RecvCallback)(void *user_data, const char *data, int32_t length);

/* Called for every delivered log line. `line` is NUL-terminated, ends in a
 * line feed and is freed when the callback returns: copy it to keep it. */
typedef void(TQ_PROXY_CALL *LogCallback)(void *user_data, int32_t level, const char *line);

/* The start record. Read only during TQ_Proxy_Init. */
typedef struct ProxyInitParam {
  char ip[128];               /* dotted-quad IPv4 text; "" = every local address */
  int32_t port;               /* UDP port in host byte order, 1 to 65535 */
  RecvCallback recv_callback; /* may be NULL: datagrams are then dropped */
  void *user_data;            /* first argument of every recv_callback call */
} ProxyInitParam;

#if defined(_WIN64)
#if defined(__cplusplus)
#define TQ_PROXY_STATIC_ASSERT(cond, name) static_assert(cond, #name)
#elif defined(__STDC_VERSION__) && __STDC_VERSION__ >= 201112L
#define TQ_PROXY_STATIC_ASSERT(cond, name) _Static_assert(cond, #name)
#else
#define TQ_PROXY_STATIC_ASSERT(cond, name) typedef char tq_proxy_assert_##name[(cond) ? 1 : -1]
#endif
TQ_PROXY_STATIC_ASSERT(offsetof(ProxyInitParam, ip) == 0, ip_at_0);
TQ_PROXY_STATIC_ASSERT(offsetof(ProxyInitParam, port) == 128, port_at_128);
TQ_PROXY_STATIC_ASSERT(offsetof(ProxyInitParam, recv_callback) == 136, recv_callback_at_136);
TQ_PROXY_STATIC_ASSERT(offsetof(ProxyInitParam, user_data) == 144, user_data_at_144);
TQ_PROXY_STATIC_ASSERT(sizeof(ProxyInitParam) == 152, size_152);
#undef TQ_PROXY_STATIC_ASSERT
#endif

/* Starts the service: 0, or -97 (not idle), -98 (nothing bound), -99 (NULL). */
TQ_PROXY_API ServiceResult TQ_PROXY_CALL TQ_Proxy_Init(const ProxyInitParam *param);

/* Sends `len` bytes. ip NULL or port 0: to every known peer. A known peer
 * is answered from the socket on which it was heard. Returns -99, -97, -98
 * or the result of the last send (bytes sent, or -1). */
TQ_PROXY_API ServiceResult TQ_PROXY_CALL TQ_Proxy_Send(const char *ip, uint32_t port,
                                                       const char *data, int32_t len);

/* Routes log lines to `callback` (NULL: standard output) and sets the
 * callback's minimum level (-1 to 4; other values keep the old one). */
TQ_PROXY_API void TQ_PROXY_CALL TQ_Proxy_SetLog(void *user_data, LogCallback callback,
                                                int32_t min_level);

/* Stops the service; always 0. Safe in any state. */
TQ_PROXY_API ServiceResult TQ_PROXY_CALL TQ_Proxy_UnInit(void);

#ifdef __cplusplus
}
#endif

#endif /* TQPROXY_H */
