#include "tq_udp_service.h"

#include <chrono>
#include <cstring>
#include <exception>
#include <utility>

#include "service_log.h"
#include "test_seams.h"
#include "socket/socket_breaker.h"
#include "thread_context.h"

namespace TqProxy {
namespace {

// Counts the exports of this thread that run Start or Stop.
class LifecycleScope {
 public:
  LifecycleScope() { ++t_lifecycle_depth; }
  ~LifecycleScope() { --t_lifecycle_depth; }
  LifecycleScope(const LifecycleScope &) = delete;
  LifecycleScope &operator=(const LifecycleScope &) = delete;
};

}  // namespace

int64_t SteadyNowMs() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

std::shared_ptr<SocketBreaker> MakeSocketBreaker() { return std::make_shared<SocketBreaker>(); }

std::shared_ptr<std::thread> StartNetIoThread(void (*entry)(TQUdpService *),
                                              TQUdpService *service) {
  return std::make_shared<std::thread>(entry, service);
}

TQUdpService::TQUdpService(size_t max_peer_contexts) : max_peer_contexts(max_peer_contexts) {
  // The sink must outlive this object, whose teardown still logs: making it
  // first orders its destruction (it has none) after ours.
  LogSink::Instance();
}

TQUdpService::~TQUdpService() {
  try {
    Stop();
  } catch (...) {
    // Nothing may escape a destructor that runs at unload.
  }
}

void TQUdpService::AbandonAtProcessExit() noexcept {
  try {
    // The loader lock is held and every other thread is gone: no join, no
    // WSACleanup, no lock that a killed thread may hold, no host code. Just
    // say so, on standard output.
    LogSink::Instance().SetProcessExiting();
    TQ_SERVICE_LOG(fn::kStop, kLogLevelInfo, "stop service");
  } catch (...) {
  }
}

int32_t TQUdpService::Start(const ProxyInitParam *param) {
  if (param == nullptr) return TQ_PROXY_ERR_ARGUMENT;
  // From inside a callback: the loop thread cannot replace itself, a start
  // nested in a start or stop of this thread would tear it apart, and one
  // nested in a send would wait for that send to end.
  if (CalledFromServiceCallback()) return TQ_PROXY_ERR_STATE;
  std::unique_lock<std::mutex> lifecycle(lifecycle_mutex, std::try_to_lock);
  if (!lifecycle.owns_lock()) return TQ_PROXY_ERR_STATE;  // another thread starts or stops
  LifecycleScope scope;
  if (state.load() != kStateIdle) return TQ_PROXY_ERR_STATE;

  // The previous run ended without a full Stop (its loop failed, or it was
  // stopped from a callback): finish that first. Replacing a thread object
  // that was never joined would end the process.
  if (HasRunToRelease()) ReleaseRun(true);
  nested_stop_requested = false;

  int startup_error = 0;
  if (!platform::StartSocketLibrary(&startup_error)) {
    // A failed start-up is not one to balance: WSACleanup here would undo
    // one that the host made. It reports its error as its result only.
    TQ_SERVICE_LOG(fn::kStart, kLogLevelError, "WSAStartup fail=%d", startup_error);
    return TQ_PROXY_ERR_SOCKET;
  }
  ++socket_library_startups;

  // Never read past the 128 bytes, NUL or not.
  const std::string ip(param->ip, strnlen(param->ip, sizeof(param->ip)));
  const int32_t port = param->port;
  std::vector<std::string> addresses;
  if (!ip.empty()) {
    TQ_SERVICE_LOG(fn::kStart, kLogLevelInfo,
                   "service engine liten extern service info setting, port=%d, ip=%s", port,
                   ip.c_str());
    addresses.push_back(ip);
  } else if (GetSystemNetAdaptor(&addresses) == 0 && !addresses.empty()) {
    TQ_SERVICE_LOG(fn::kStart, kLogLevelInfo,
                   "service engine get sys net suceess, port=%d, size=%d", port,
                   static_cast<int32_t>(addresses.size()));
  } else {
    TQ_SERVICE_LOG(fn::kStart, kLogLevelError, "service engine get sys net failed, size=%d",
                   static_cast<int32_t>(addresses.size()));
  }

  std::string error;
  if (!CreateLocalSocket(addresses, port, &error)) {
    TQ_SERVICE_LOG(
        fn::kStart, kLogLevelError,
        "service engine start failed:%s, do listen exception, will not start work thread",
        error.c_str());
    return TQ_PROXY_ERR_SOCKET;
  }

  const RecvCallback previous_callback = recv_callback;
  void *const previous_user_data = user_data;
  recv_callback = param->recv_callback;
  user_data = param->user_data;
  state.exchange(kStateRunning);
  AcquireModuleReference();
  try {
    breaker = TQ_SYSCALL(TqProxy::MakeSocketBreaker, make_breaker)();
    net_io_thread =
        TQ_SYSCALL(TqProxy::StartNetIoThread, start_thread)(&TQUdpService::NetIoThreadEntry, this);
  } catch (const std::exception &e) {
    // Roll back to idle, with the sockets closed and the socket library
    // balanced, and the callbacks of the previous start back in place.
    state.exchange(kStateIdle);
    recv_callback = previous_callback;
    user_data = previous_user_data;
    TQ_SERVICE_LOG(fn::kStart, kLogLevelError,
                   "service engine start failed:%s, create net i/o thread exception", e.what());
    ReleaseRun(false);
    return TQ_PROXY_ERR_SOCKET;
  }
  // A log callback of this start asked for the stop, while there was no
  // run yet to stop: the start is done, so the stop is done now, as if the
  // host had called it right after.
  if (std::exchange(nested_stop_requested, false)) {
    RequestStop();
    ReleaseRun(true);
  }
  return TQ_PROXY_OK;
}

int32_t TQUdpService::Stop() {
  // On the loop thread (a callback) or inside another export of this
  // thread, waiting would wait for ourselves: request the stop only; the
  // next Stop or Start from a host thread, or the unload, finishes it.
  if (CalledFromServiceCallback()) {
    // Inside Start or Stop this thread holds lifecycle_mutex.
    if (t_lifecycle_depth > 0) nested_stop_requested = true;
    RequestStop();
    return TQ_PROXY_OK;
  }
  std::lock_guard<std::mutex> lifecycle(lifecycle_mutex);
  LifecycleScope scope;
  nested_stop_requested = false;
  RequestStop();
  ReleaseRun(true);
  return TQ_PROXY_OK;
}

void TQUdpService::RequestStop() {
  int32_t running = kStateRunning;
  state.compare_exchange_strong(running, kStateStopRequested);
}

bool TQUdpService::HasRunToRelease() const {
  return net_io_thread != nullptr || breaker != nullptr || !listen_sockets.empty();
}

void TQUdpService::ReleaseRun(bool log_stop) {
  // Nothing wakes the wait: the loop sees the request within one 100 ms
  // wait plus the cycle under way. Joined without `mutex`, which the loop
  // takes every cycle.
  if (net_io_thread && net_io_thread->joinable()) net_io_thread->join();
  {
    // A send that passed its state test may still use a socket closed
    // below. The state is not running here, so the last one wakes us.
    std::unique_lock<std::mutex> lock(sends_done_mutex);
    sends_done.wait(lock, [this] { return sends_in_flight.load() == 0; });
  }

  {
    std::lock_guard<std::mutex> lock(mutex);
    peer_contexts.clear();
    peer_index.Clear();
    peer_expiry.Clear();
    net_io_thread.reset();
    breaker.reset();
    for (const auto &entry : listen_sockets)
      platform::CloseSocket(static_cast<SOCKET>(entry.first));
    listen_sockets.clear();
    {
      // Closed here, not kept: after the WSACleanup below the handle would
      // be stale, and after a restart it could name another socket.
      std::lock_guard<std::mutex> send_lock(send_socket_mutex);
      if (send_socket != 0) platform::CloseSocket(send_socket);
      send_socket = 0;
    }
    // Only the start-ups this library made: the host may use Winsock too.
    for (; socket_library_startups > 0; --socket_library_startups) platform::StopSocketLibrary();
  }
  // Outside `mutex`: a log callback may call the exports, which take it.
  if (log_stop) TQ_SERVICE_LOG(fn::kStop, kLogLevelInfo, "stop service");
  ReleaseModuleReference();
}

void TQUdpService::NetIoThreadEntry(TQUdpService *service) {
  t_on_net_io_thread = true;
  try {
    service->Select();
  } catch (const std::exception &e) {
    try {
      TQ_SERVICE_LOG(fn::kSelect, kLogLevelError,
                     "status report, exception will exit net i/o thread, what=%s", e.what());
    } catch (...) {
    }
  } catch (...) {
    // A host callback that threw something that is no exception: the loop
    // ends as on any other failure, the process does not.
    try {
      TQ_SERVICE_LOG(fn::kSelect, kLogLevelError,
                     "status report, exception will exit net i/o thread, what=%s", "unknown");
    } catch (...) {
    }
  }
  // Ended by itself, with no Stop to come and join: nobody else would give
  // the library's reference to itself back.
  int32_t running = kStateRunning;
  if (service->state.compare_exchange_strong(running, kStateIdle)) {
    service->HandOffModuleReference();
  }
  service->state.exchange(kStateIdle);
}

// While the thread runs, a FreeLibrary by the host must not unmap the code
// it runs: the library holds one reference to itself until Stop, or until
// the loop has ended by itself (see HandOffModuleReference).
void TQUdpService::AcquireModuleReference() {
  if (module_reference.load() != nullptr) return;
  module_reference.store(platform::AcquireModuleReference());
}

void TQUdpService::ReleaseModuleReference() {
  platform::ReleaseModuleReference(module_reference.exchange(nullptr));
}

// Called on the network I/O thread as the loop ends by itself: the
// reference goes once this thread has ended, where the system can arrange
// that; otherwise Stop or the next Start releases it.
void TQUdpService::HandOffModuleReference() {
  platform::ModuleReference module = module_reference.exchange(nullptr);
  if (module == nullptr) return;
  if (!platform::HandOffModuleReference(module)) module_reference.store(module);
}

}  // namespace TqProxy
