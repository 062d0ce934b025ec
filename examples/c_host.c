/* tqproxy_c_host: a host written in C, linked through the import library
 * (Windows) or against libTqProxy.so (Linux). It starts the service on
 * 127.0.0.1, sends it one datagram from a socket of its own, echoes it from
 * the receive callback and checks that the echo comes back from the
 * service's port. Exit code 0 on success.
 *
 * Usage: tqproxy_c_host [port]   (default: a free loopback port) */

/* What differs between Winsock and BSD sockets, in one place. */
#if defined(_WIN32)
#include <winsock2.h>
#include <ws2tcpip.h>
static int net_start(void) {
  WSADATA wsa;
  return WSAStartup(MAKEWORD(2, 2), &wsa) == 0;
}
#define net_stop() WSACleanup()
#define net_error() WSAGetLastError()
static void set_receive_timeout(SOCKET s, unsigned seconds) {
  DWORD ms = seconds * 1000;
  setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, (const char *)&ms, sizeof(ms));
}
#else
#define _POSIX_C_SOURCE 200112L
#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>
typedef int SOCKET;
#define closesocket close
#define net_start() 1
#define net_stop() ((void)0)
#define net_error() errno
static void set_receive_timeout(SOCKET s, unsigned seconds) {
  struct timeval tv;
  tv.tv_sec = (time_t)seconds;
  tv.tv_usec = 0;
  setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));
}
#endif

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "TqProxy.h"

/* The log callback runs one call at a time, and main reads the count only
 * after TQ_Proxy_UnInit has joined the network thread: no lock needed. */
static long g_log_lines;

static void TQ_PROXY_CALL on_log(void *user_data, int32_t level, const char *line) {
  (void)user_data;
  (void)level;
  ++g_log_lines;
  fputs(line, stdout);
}

/* On the library's network thread. Sending from here is allowed: a NULL
 * address means every known peer, which here is the one sender. */
static void TQ_PROXY_CALL on_receive(void *user_data, const char *data, int32_t length) {
  ++*(long *)user_data;
  TQ_Proxy_Send(NULL, 0, data, length);
}

static int fail(const char *what) {
  printf("tqproxy_c_host: FAILED: %s (error %d)\n", what, net_error());
  return 1;
}

int main(int argc, char **argv) {
  SOCKET host;
  struct sockaddr_in service, me, from;
  socklen_t len = sizeof(me), from_len = sizeof(from);
  int n, ok;
  long received = 0;
  ProxyInitParam param;
  const char message[] = "hello from C";
  char echo[64];

  if (!net_start()) return fail("socket start-up");
  /* The host's own socket, on a free loopback port. */
  host = socket(AF_INET, SOCK_DGRAM, 0);
  memset(&me, 0, sizeof(me));
  me.sin_family = AF_INET;
  me.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (bind(host, (struct sockaddr *)&me, sizeof(me)) != 0 ||
      getsockname(host, (struct sockaddr *)&me, &len) != 0) {
    return fail("bind");
  }
  set_receive_timeout(host, 10);

  service = me;
  if (argc > 1) {
    service.sin_port = htons((unsigned short)atoi(argv[1]));
  } else { /* a port that was free a moment ago */
    SOCKET probe = socket(AF_INET, SOCK_DGRAM, 0);
    service.sin_port = 0;
    len = sizeof(service);
    bind(probe, (struct sockaddr *)&service, sizeof(service));
    getsockname(probe, (struct sockaddr *)&service, &len);
    closesocket(probe);
  }

  TQ_Proxy_SetLog(NULL, on_log, TQ_PROXY_LOG_INFO); /* DEBUG lines dropped */
  memset(&param, 0, sizeof(param));
  strcpy(param.ip, "127.0.0.1");
  param.port = ntohs(service.sin_port);
  param.recv_callback = on_receive;
  param.user_data = &received;
  if (TQ_Proxy_Init(&param) != TQ_PROXY_OK) return fail("TQ_Proxy_Init");

  sendto(host, message, (int)strlen(message), 0, (struct sockaddr *)&service, sizeof(service));
  n = (int)recvfrom(host, echo, (int)sizeof(echo) - 1, 0, (struct sockaddr *)&from, &from_len);
  ok = n == (int)strlen(message) && memcmp(echo, message, (size_t)n) == 0 &&
       from.sin_port == service.sin_port;

  TQ_Proxy_UnInit(); /* returns when the network thread has ended */
  /* Stopped: a send is refused by state (-97), bad arguments first (-99). */
  if (TQ_Proxy_Send("127.0.0.1", ntohs(me.sin_port), message, 1) != TQ_PROXY_ERR_STATE ||
      TQ_Proxy_Send("127.0.0.1", ntohs(me.sin_port), NULL, 1) != TQ_PROXY_ERR_ARGUMENT) {
    return fail("result codes after stop");
  }
  TQ_Proxy_SetLog(NULL, NULL, TQ_PROXY_LOG_DEBUG); /* back to standard output */
  closesocket(host);
  net_stop();

  if (!ok) return fail("no echo from the service's port within 10 s");
  if (received != 1 || g_log_lines == 0) return fail("callback counts");
  printf("tqproxy_c_host: echo of %d bytes from port %u, %ld log lines\n", n,
         (unsigned)ntohs(from.sin_port), g_log_lines);
  return 0;
}
