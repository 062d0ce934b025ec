// In-process benchmarks of the library's per-datagram work, over its
// sources linked statically: no socket I/O, no network I/O thread. Prints
// one row per figure: ROW,key,inproc,value,unit,note. Heap use is counted
// by the replaced global operator new below.
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "log/log_sink.h"
#include "test_seams.h"
#include "tq_udp_service.h"

namespace {
size_t g_allocations = 0;  // the benchmark is single-threaded
size_t g_live_bytes = 0;   // requested and not yet freed
}  // namespace

// On the process heap, as the default one; malloc/free here would make GCC
// warn about a mismatch it sees through the inlined operators.
void *operator new(size_t size) {
  ++g_allocations;
  if (void *p = HeapAlloc(GetProcessHeap(), 0, size != 0 ? size : 1)) {
    g_live_bytes += HeapSize(GetProcessHeap(), 0, p);
    return p;
  }
  throw std::bad_alloc();
}
void operator delete(void *p) noexcept {
  if (p == nullptr) return;
  g_live_bytes -= HeapSize(GetProcessHeap(), 0, p);
  HeapFree(GetProcessHeap(), 0, p);
}
void operator delete(void *p, size_t) noexcept { operator delete(p); }

namespace {

using TqProxy::LogSink;
using TqProxy::TQUdpService;

constexpr int kCalls = 200000;
constexpr unsigned kPeerPort = 50123;  // five digits: keys of 15 to 19 characters
const SOCKET kUnusedSocket = 100;      // recorded in the contexts, never used for I/O here

void Row(const std::string &key, double value, const char *unit, const char *note = "") {
  std::printf("ROW,%s,inproc,%.7g,%s,%s\n", key.c_str(), value, unit, note);
  std::fflush(stdout);
}

void TQ_PROXY_CALL DiscardLine(void *, int32_t, const char *) {}

// The same source addresses as the load generator's peers.
sockaddr_in PeerAddress(int i) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(kPeerPort);
  a.sin_addr.s_addr = htonl(0x7F010000u + (static_cast<uint32_t>(i / 250) << 8) + (i % 250 + 1));
  return a;
}

// Nanoseconds per call, the best of many short runs: a run that the other
// work of a shared machine interrupted is only ever slower.
template <class Op>
double NsPerCall(int calls, Op op) {
  double best = 1e300;
  for (int run = 0, i = 0; run < 20; ++run) {
    const auto start = std::chrono::steady_clock::now();
    for (const int end = i + calls / 20; i < end; ++i) op(i);
    const std::chrono::duration<double, std::nano> spent = std::chrono::steady_clock::now() - start;
    best = std::min(best, spent.count() / (calls / 20));
  }
  return best;
}

void BenchTable(int peers) {
  LogSink &log = LogSink::Instance();
  auto service = std::make_unique<TQUdpService>();
  std::vector<sockaddr_in> addresses;
  for (int i = 0; i < peers; ++i) addresses.push_back(PeerAddress(i));
  // Known peers in a scattered order, as many active peers would send. The
  // inputs are laid out in call order, so that reading them costs the same
  // at every table size: a receive finds the sender in the buffer it has
  // just written, a host has the text it passes at hand.
  struct Call {
    sockaddr_in from;
    char ip[16];
  };
  std::vector<Call> calls(kCalls);
  uint32_t x = 12345;
  for (Call &call : calls) {
    call.from = addresses[((x = x * 1664525u + 1013904223u) >> 8) % peers];
    std::snprintf(call.ip, sizeof(call.ip), "%s", TqProxy::Ipv4Text(call.from.sin_addr).CStr());
  }

  // What the table keeps per peer, live after the inserts: the ordered
  // table's nodes and keys, the index, the contexts and their count blocks.
  const size_t bytes_before = g_live_bytes, allocations_before = g_allocations;
  const auto start = std::chrono::steady_clock::now();
  for (const sockaddr_in &a : addresses) service->GetPeerContext(kUnusedSocket, &a);
  const std::chrono::duration<double, std::nano> spent = std::chrono::steady_clock::now() - start;
  const std::string n = std::to_string(peers);
  Row("insert_" + n, spent.count() / peers, "ns", "GetPeerContext: new peer and its INFO line");
  Row("heap_per_peer_" + n, static_cast<double>(g_live_bytes - bytes_before) / peers, "bytes",
      ("allocations_per_peer=" +
       std::to_string(static_cast<double>(g_allocations - allocations_before) / peers))
          .c_str());

  auto lookup = [&](int i) { service->GetPeerContext(kUnusedSocket, &calls[i].from); };
  const size_t allocations = g_allocations;
  for (int i = 0; i < kCalls; ++i) lookup(i);
  Row("allocs_per_lookup_" + n, static_cast<double>(g_allocations - allocations) / kCalls,
      "allocs");
  Row("lookup_rand_" + n, NsPerCall(kCalls, lookup), "ns",
      "GetPeerContext: known keys in scattered order");
  Row("lookup_same_" + n, NsPerCall(kCalls, [&](int) { lookup(0); }), "ns",
      "GetPeerContext: one known key");
  Row("expire_" + n, NsPerCall(kCalls, [&](int) { service->ExpirePeerContexts(); }), "ns",
      "ExpirePeerContexts: nothing due");

  // Send to a known peer with a length no datagram can have: the peer is
  // selected and refreshed, and the send fails at once without a socket
  // call; its WARN line is filtered (callback at ERROR) so as not to time
  // the formatting.
  log.SetLog(nullptr, DiscardLine, TQ_PROXY_LOG_ERROR);
  service->state = TqProxy::kStateRunning;
  static char payload[64];
  Row("sendsel_" + n,
      NsPerCall(kCalls, [&](int i) { service->Send(calls[i].ip, kPeerPort, payload, 65508); }),
      "ns", "Send to a known peer; sendto not reached");
  service->state = TqProxy::kStateIdle;
  log.SetLog(nullptr, DiscardLine, TQ_PROXY_LOG_INFO);
}

int64_t g_fake_now_ms = 0;
int64_t FakeNow() { return g_fake_now_ms; }

// A table that turns over: `peers` entries spread evenly over the idle
// window, and each cycle the clock moves on by one spacing, so that one
// entry is due, and one new peer arrives after the sweep. Only the sweeps
// are timed: the mean per cycle over a stretch of cycles long enough to
// hold whatever work the sweep does only now and then, the best stretch
// kept. The cost of the timing itself is taken off.
void BenchChurn(int peers) {
  auto service = std::make_unique<TQUdpService>();
  TqProxy::seams::steady_now_ms = &FakeNow;
  const int64_t spacing = TqProxy::kPeerIdleLimitMs / peers;
  const int64_t t0 = 50000000000LL;  // far from 0, like a real monotonic clock
  int next = 0;
  for (; next < peers; ++next) {
    g_fake_now_ms = t0 + next * spacing;
    const sockaddr_in a = PeerAddress(next);
    service->GetPeerContext(kUnusedSocket, &a);
  }
  using Clock = std::chrono::steady_clock;
  constexpr int kStretch = 1000, kStretches = 5;
  double timer_ns = 1e300;
  for (int i = 0; i < 1000; ++i) {
    const auto a = Clock::now();
    const std::chrono::duration<double, std::nano> d = Clock::now() - a;
    timer_ns = std::min(timer_ns, d.count());
  }
  double best = 1e300;
  size_t largest = 0, smallest = SIZE_MAX;
  for (int stretch = 0; stretch < kStretches; ++stretch) {
    double sum = 0;
    for (int cycle = 0; cycle < kStretch; ++cycle) {
      g_fake_now_ms += spacing;
      const auto start = Clock::now();
      service->ExpirePeerContexts();
      const std::chrono::duration<double, std::nano> spent = Clock::now() - start;
      sum += spent.count() - timer_ns;
      const size_t size = service->peer_contexts.size();
      largest = std::max(largest, size);
      smallest = std::min(smallest, size);
      const sockaddr_in a = PeerAddress(next++);
      service->GetPeerContext(kUnusedSocket, &a);
    }
    best = std::min(best, sum / kStretch);
  }
  Row("churn_" + std::to_string(peers), best, "ns",
      ("ExpirePeerContexts: one due per cycle, then " + std::to_string(smallest) + " to " +
       std::to_string(largest) + " left")
          .c_str());
  TqProxy::seams::Reset();
}

// The bound: a table filled to its limit, then a flood of new sources,
// each of which replaces the peer idle longest. Live heap per peer at the
// limit and after the flood, and the cost of a new peer when full.
void BenchFull() {
  auto service = std::make_unique<TQUdpService>();
  TqProxy::seams::steady_now_ms = &FakeNow;
  const int limit = static_cast<int>(TqProxy::kMaxPeerContexts);
  const size_t bytes_before = g_live_bytes;
  const int64_t t0 = 50000000000LL;
  int next = 0;
  for (; next < limit; ++next) {
    g_fake_now_ms = t0 + next / 8;  // all within the idle limit
    const sockaddr_in a = PeerAddress(next);
    service->GetPeerContext(kUnusedSocket, &a);
  }
  Row("heap_per_peer_full", static_cast<double>(g_live_bytes - bytes_before) / limit, "bytes",
      ("live heap " + std::to_string(g_live_bytes - bytes_before) + " bytes for " +
       std::to_string(service->peer_contexts.size()) + " peers")
          .c_str());
  constexpr int kFlood = 100000;
  const auto start = std::chrono::steady_clock::now();
  for (const int end = next + kFlood; next < end; ++next) {
    const sockaddr_in a = PeerAddress(next);
    service->GetPeerContext(kUnusedSocket, &a);
  }
  const std::chrono::duration<double, std::nano> spent = std::chrono::steady_clock::now() - start;
  Row("insert_full", spent.count() / kFlood, "ns",
      "GetPeerContext: new peer replacing the longest idle (lines filtered)");
  Row("heap_per_peer_flooded", static_cast<double>(g_live_bytes - bytes_before) / limit, "bytes",
      ("after " + std::to_string(kFlood) +
       " more new sources: " + std::to_string(service->peer_contexts.size()) + " peers")
          .c_str());
  TqProxy::seams::Reset();
}

}  // namespace

int main(int argc, char **argv) {
  LogSink &log = LogSink::Instance();
  if (argc > 1 && std::string(argv[1]) == "churn") {
    log.SetLog(nullptr, DiscardLine, TQ_PROXY_LOG_ERROR);
    for (int peers : {10, 1000, 10000, 100000}) BenchChurn(peers);
    return 0;
  }
  if (argc > 1 && std::string(argv[1]) == "full") {
    log.SetLog(nullptr, DiscardLine, TQ_PROXY_LOG_ERROR);
    BenchFull();
    return 0;
  }
  log.SetLog(nullptr, DiscardLine, TQ_PROXY_LOG_INFO);  // as the benchmark host: INFO delivered
  for (int peers : {10, 10000, 100000}) BenchTable(peers);

  // The per-datagram DEBUG line, dropped by the filter; and a delivered line.
  auto line = [&](int32_t level) {
    log.Write("src/tq_udp_service", 123, "TqProxy::TQUdpService::Select", level, nullptr,
              "recv data from ip=%s, port=%u, datalen=%d", "127.1.0.1", kPeerPort, 64);
  };
  Row("log_dropped", NsPerCall(kCalls, [&](int) { line(TqProxy::kLogLevelDebug); }), "ns",
      "DEBUG line: callback at INFO");
  Row("log_delivered", NsPerCall(kCalls / 10, [&](int) { line(TqProxy::kLogLevelInfo); }), "ns",
      "INFO line to a callback");
  // The peers' INFO lines filtered: only the sweep is of interest here.
  log.SetLog(nullptr, DiscardLine, TQ_PROXY_LOG_ERROR);
  for (int peers : {10, 100000}) BenchChurn(peers);
  BenchFull();
  return 0;
}
