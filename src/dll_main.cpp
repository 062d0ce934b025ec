// The library's four exports. The exports forward to
// the one service object and the log sink; nothing thrown inside may cross
// into a host that cannot catch it.
#include <exception>
#include <new>

#include "TqProxy.h"
#include "service_log.h"
#include "tq_udp_service.h"

namespace {

// The one service object of the process, idle from load to the first start.
// At process exit it is left undestroyed: the system has already killed its
// thread, possibly inside a lock (the heap's, the runtime's), and freeing
// the tables would wait on that lock forever. At FreeLibrary it is torn
// down, which runs Stop.
class ServiceInstance {
 public:
  ServiceInstance() : service(*new (storage) TqProxy::TQUdpService()) {}
  ~ServiceInstance() {
    if (TqProxy::platform::ProcessExiting()) {
      service.AbandonAtProcessExit();
    } else {
      service.~TQUdpService();
    }
  }
  ServiceInstance(const ServiceInstance &) = delete;
  ServiceInstance &operator=(const ServiceInstance &) = delete;

 private:
  alignas(TqProxy::TQUdpService) unsigned char storage[sizeof(TqProxy::TQUdpService)];

 public:
  TqProxy::TQUdpService &service;
};

ServiceInstance g_instance;
TqProxy::TQUdpService &g_service = g_instance.service;
// After the instance: where the system needs a watch for the process's end,
// it must see the end before the instance's teardown does.
const bool g_exit_watched = (TqProxy::platform::WatchProcessExit(), true);

void LogBoundaryFailure(const char *function, const char *what) noexcept {
  try {
    TQ_SERVICE_LOG(function, TqProxy::kLogLevelError, "service engine exception, what=%s", what);
  } catch (...) {
    // Not even the line could be written: stay silent rather than throw.
  }
}

}  // namespace

extern "C" ServiceResult TQ_PROXY_CALL TQ_Proxy_Init(const ProxyInitParam *param) {
  try {
    return g_service.Start(param);
  } catch (const std::exception &e) {
    LogBoundaryFailure(TqProxy::fn::kStart, e.what());
  } catch (...) {
    LogBoundaryFailure(TqProxy::fn::kStart, "unknown");
  }
  return TQ_PROXY_ERR_SOCKET;
}

extern "C" ServiceResult TQ_PROXY_CALL TQ_Proxy_Send(const char *ip, uint32_t port,
                                                     const char *data, int32_t len) {
  try {
    return g_service.Send(ip, port, data, len);
  } catch (const std::exception &e) {
    LogBoundaryFailure(TqProxy::fn::kSend, e.what());
  } catch (...) {
    LogBoundaryFailure(TqProxy::fn::kSend, "unknown");
  }
  return TQ_PROXY_ERR_SOCKET;
}

extern "C" void TQ_PROXY_CALL TQ_Proxy_SetLog(void *user_data, LogCallback callback,
                                              int32_t min_level) {
  try {
    TqProxy::LogSink::Instance().SetLog(user_data, callback, min_level);
  } catch (const std::exception &e) {
    LogBoundaryFailure("TqProxy::LogSink::SetLog", e.what());
  } catch (...) {
    LogBoundaryFailure("TqProxy::LogSink::SetLog", "unknown");
  }
}

extern "C" ServiceResult TQ_PROXY_CALL TQ_Proxy_UnInit(void) {
  try {
    return g_service.Stop();
  } catch (const std::exception &e) {
    LogBoundaryFailure(TqProxy::fn::kStop, e.what());
  } catch (...) {
    LogBoundaryFailure(TqProxy::fn::kStop, "unknown");
  }
  return TQ_PROXY_OK;
}
