// Internal header. The UDP service engine: one object per process that owns
// the bound sockets, the peer table, the network I/O thread and its breaker.
// Host threads run Start, Stop and Send; the network I/O thread runs Select.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "TqProxy.h"
#include "platform.h"
#include "peer_context.h"
#include "peer_expiry.h"
#include "peer_index.h"
#include "test_seams.h"

namespace TqProxy {

class SocketBreaker;
class SocketSelect;

// One bound listen socket, keyed in `listen_sockets` by its handle.
struct LocalSocketInfo {
  std::string ip;
  int32_t port = 0;
  bool excluded = false;  // taken out of the watch after a socket error
  // Sends on this socket take turns (see SendDatagram); it lives as long as
  // the entry, which Stop removes only after the sends in flight are done.
  std::unique_ptr<std::mutex> send_turn = std::make_unique<std::mutex>();
};

// One wait covers at most 64 events, and the breaker's takes one of them.
constexpr size_t kMaxListenSockets = 63;

enum ServiceState : int32_t { kStateIdle = 0, kStateRunning = 1, kStateStopRequested = 2 };

// The most peers the table holds: a new one beyond it replaces the one idle
// longest, so that a flood of new sources cannot exhaust memory.
constexpr size_t kMaxPeerContexts = 1048576;

// Milliseconds of the monotonic clock.
int64_t SteadyNowMs();
// The clock of peer activity: the monotonic clock (a seam in the test build).
inline int64_t PeerClockMs() { return TQ_SYSCALL(TqProxy::SteadyNowMs, steady_now_ms)(); }

class TQUdpService;
// What a start makes after its sockets, each of which may throw: the
// breaker, and the network I/O thread running `entry`.
std::shared_ptr<SocketBreaker> MakeSocketBreaker();
std::shared_ptr<std::thread> StartNetIoThread(void (*entry)(TQUdpService *), TQUdpService *service);

class TQUdpService {
 public:
  // The white-box tests reach the bound with a smaller table.
  explicit TQUdpService(size_t max_peer_contexts = kMaxPeerContexts);
  ~TQUdpService();
  TQUdpService(const TQUdpService &) = delete;
  TQUdpService &operator=(const TQUdpService &) = delete;

  // Each group's code is in the file named above it. Every operation logs
  // under this service's own name, wherever its code is (service_log.h).

  // tq_udp_service.cpp: the lifecycle.
  int32_t Start(const ProxyInitParam *param);
  int32_t Stop();
  // The teardown at process exit, instead of the destructor: logs only.
  void AbandonAtProcessExit() noexcept;

  // send_path.cpp
  int32_t Send(const char *ip, uint32_t port, const char *data, int32_t len);

  // local_address_discovery.cpp: appends every local IPv4 unicast address.
  int32_t GetSystemNetAdaptor(std::vector<std::string> *list);
  void CheckAndInsertIpAddress(std::vector<std::string> *list, const std::string &ip);

  // local_socket.cpp: binds one UDP socket per address on `port` into
  // `listen_sockets`.
  bool CreateLocalSocket(const std::vector<std::string> &addresses, int32_t port,
                         std::string *error);

  // net_io_loop.cpp: the whole body of the network I/O thread.
  void Select();

  // peer_context_table.cpp: the peer table's lookup and sweep.
  std::shared_ptr<PeerConnContext> GetPeerContext(SOCKET socket, const sockaddr_in *from);
  void ExpirePeerContexts();

  // The fields, public for the library's own white-box tests.
  std::mutex mutex;  // guards peer_contexts, peer_index and peer_expiry
  SOCKET send_socket = 0;
  PeerTable peer_contexts;
  // The same entries by address and port, for the per-datagram and per-send
  // lookups, and by due time, for the sweep; changed only together with
  // peer_contexts.
  PeerIndex peer_index;
  PeerExpiry peer_expiry;
  const size_t max_peer_contexts;
  std::atomic<int32_t> state{kStateIdle};
  std::map<int64_t, LocalSocketInfo> listen_sockets;
  std::shared_ptr<std::thread> net_io_thread;
  std::shared_ptr<SocketBreaker> breaker;
  RecvCallback recv_callback = nullptr;
  void *user_data = nullptr;

 private:
  // tq_udp_service.cpp
  static void NetIoThreadEntry(TQUdpService *service);
  void RequestStop();
  // Everything Stop does after the stop request: join, wait for sends in
  // flight, empty the tables, close sockets, balance the socket library.
  void ReleaseRun(bool log_stop);
  bool HasRunToRelease() const;
  void AcquireModuleReference();
  void ReleaseModuleReference();
  void HandOffModuleReference();
  // net_io_loop.cpp
  void ScanReadySockets(SocketSelect &poller, char *recv_buffer);
  // local_address_discovery.cpp
  void DescribeAdapter(const platform::AdapterRecord &adapter, std::vector<std::string> *list);
  // send_path.cpp
  SOCKET EnsureSendSocket();
  int32_t SendToPeer(PeerConnContext &peer, int64_t now, const char *data, int32_t len);
  std::mutex *SendTurnOf(SOCKET s) const;
  // peer_context_table.cpp: takes a context, already out of peer_expiry,
  // out of the other two.
  void RemovePeer(PeerConnContext &peer) noexcept;

  friend class SendInFlight;

  std::mutex lifecycle_mutex;    // serialises Start and Stop of host threads
  std::mutex send_socket_mutex;  // makes send_socket at most once
  std::atomic<int32_t> sends_in_flight{0};
  std::mutex sends_done_mutex;  // with sends_done: Stop waits for sends in flight
  std::condition_variable sends_done;
  // A stop asked for from a callback inside Start or Stop of the thread that
  // holds lifecycle_mutex; guarded by it.
  bool nested_stop_requested = false;
  int32_t socket_library_startups = 0;  // WSAStartup calls not yet balanced
  // Keeps the code mapped while the thread runs.
  std::atomic<platform::ModuleReference> module_reference{nullptr};
};

}  // namespace TqProxy
