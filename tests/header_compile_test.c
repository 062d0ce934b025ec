/* The public header compiles as C (C99 and C11), with its layout checks. */
#include "TqProxy.h"

static void TQ_PROXY_CALL on_receive(void *user_data, const char *data, int32_t length) {
  (void)user_data;
  (void)data;
  (void)length;
}

int tqproxy_header_compiles_as_c(void) {
  ProxyInitParam param = {{0}, 9527, on_receive, 0};
  return param.port == 9527 && TQ_PROXY_ERR_ARGUMENT == -99 ? 0 : 1;
}
