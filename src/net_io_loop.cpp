// The network I/O loop: the body of the service's one thread. Each cycle
// sweeps idle peers, registers the listen sockets, waits up to 100 ms and
// reads at most one datagram from each ready socket, in handle order.
#include <memory>
#include <sstream>

#include "service_log.h"
#include "test_seams.h"
#include "socket/socket_select.h"
#include "tq_udp_service.h"

namespace TqProxy {
namespace {

constexpr int32_t kWaitTimeoutMs = 100;
// 81920 bytes, more than any datagram; a receive takes one byte less, so
// that the text handed to the host always ends in a NUL.
constexpr size_t kRecvBufferSize = 0x14000;

bool IsWatched(const std::pair<const int64_t, LocalSocketInfo> &entry) {
  return entry.first > 0 && !entry.second.excluded;
}

// Closes the poller's event objects however the loop ends.
class PollerClearOnExit {
 public:
  explicit PollerClearOnExit(SocketSelect &poller) : poller_(poller) {}
  ~PollerClearOnExit() { poller_.Clear(); }
  PollerClearOnExit(const PollerClearOnExit &) = delete;
  PollerClearOnExit &operator=(const PollerClearOnExit &) = delete;

 private:
  SocketSelect &poller_;
};

}  // namespace

void TQUdpService::Select() {
  std::ostringstream status;
  status << "do listen socket.size=" << listen_sockets.size()
         << ", svr.size=" << listen_sockets.size() << " [";
  for (const auto &entry : listen_sockets) {
    status << entry.second.ip << ":" << entry.second.port << ":<" << entry.first << ">;";
  }
  status << "]";
  TQ_SERVICE_LOG(fn::kSelect, kLogLevelInfo, "status report, %s", status.str().c_str());

  std::unique_ptr<char[]> recv_buffer(new char[kRecvBufferSize]);
  SocketSelect poller(breaker.get());
  PollerClearOnExit clear_on_exit(poller);
  poller.Clear();

  while (state.load() == kStateRunning) {
    ExpirePeerContexts();

    size_t watched = 0;
    for (const auto &entry : listen_sockets) {
      if (!IsWatched(entry)) continue;
      poller.WatchRead(static_cast<SOCKET>(entry.first));
      poller.WatchException(static_cast<SOCKET>(entry.first));
      ++watched;
    }

    int32_t r;
    if (watched > 0) {
      r = poller.Wait(kWaitTimeoutMs);
    } else {
      // Every socket was taken out of the watch. A select over empty sets
      // is invalid on Windows (WSAEINVAL at once); fail as it would.
      platform::SetLastSocketError(platform::kErrorInvalidArgument);
      r = -1;
    }
    // A failed wait, or a broken breaker, whose own code is reported: the
    // thread's last error says nothing of it.
    const char *failure = nullptr;
    int err = 0;
    if (r < 0) {
      failure = "select return error";
      err = platform::LastSocketError();
    } else if (poller.BreakerError() != 0) {
      failure = "select exception";
      err = static_cast<int>(poller.BreakerError());
    }
    if (failure != nullptr) {
      TQ_SERVICE_LOG(fn::kSelect, kLogLevelError,
                     "status report, %s will exit net i/o thread, ret=%d, err.no=%d, err.msg=%s",
                     failure, r, err, ErrorText(err));
      break;
    }
    ScanReadySockets(poller, recv_buffer.get());
  }
}

void TQUdpService::ScanReadySockets(SocketSelect &poller, char *recv_buffer) {
  for (auto &entry : listen_sockets) {
    if (!IsWatched(entry)) continue;
    const SOCKET s = static_cast<SOCKET>(entry.first);
    LocalSocketInfo &info = entry.second;

    if (poller.HasException(s)) {
      const int err = platform::LastSocketError();
      TQ_SERVICE_LOG(fn::kSelect, kLogLevelError,
                     "status report, socket read exception, will remove fd=%d, ip=%s, port=%d, "
                     "err.no=%d, err.msg=%s",
                     static_cast<int32_t>(entry.first), info.ip.c_str(), info.port, err,
                     ErrorText(err));
      // As the line says: out of the watch for good (it stays open until
      // Stop). Left in, a lasting error would be reported every cycle and
      // starve the sockets after it. Clear drops its registration; the
      // others are registered again next cycle.
      info.excluded = true;
      poller.Clear();
      return;
    }
    if (!poller.IsReadable(s)) continue;

    sockaddr_in from{};
    socklen_t from_len = sizeof(from);
    const int n =
        TQ_SYSCALL(recvfrom, recv_from)(s, recv_buffer, static_cast<int>(kRecvBufferSize - 1), 0,
                                        reinterpret_cast<sockaddr *>(&from), &from_len);
    if (n <= 0) {
      const int err = platform::LastSocketError();
      TQ_SERVICE_LOG(fn::kSelect, kLogLevelInfo, "recv data ret=%d, error=%d, %s", n, err,
                     ErrorText(err));
      continue;
    }
    recv_buffer[n] = '\0';

    const std::shared_ptr<PeerConnContext> peer = GetPeerContext(s, &from);
    if (!peer) {
      TQ_SERVICE_LOG(fn::kSelect, kLogLevelError, "no peer context");
      continue;
    }
    TQ_SERVICE_LOG(fn::kSelect, kLogLevelDebug, "recv data from ip=%s, port=%u, datalen=%d",
                   Ipv4Text(peer->addr.sin_addr).CStr(),
                   static_cast<unsigned>(ntohs(peer->addr.sin_port)), n);
    // Not once the process is ending: the host's code may be gone.
    if (recv_callback != nullptr && platform::HostCallbacksAllowed()) {
      recv_callback(user_data, recv_buffer, n);
    }
  }
}

}  // namespace TqProxy
