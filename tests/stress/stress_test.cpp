// Load, soak and lifecycle churn on loopback: 16 peers and three host
// threads against one service, and start/stop cycles under traffic. Each
// run prints one summary line; the assertions are on correctness and
// resources, never on timing. Long form: TQ_SOAK_SECONDS=N runs each test
// for N seconds (the load at TQ_SOAK_RATE datagrams/s, default 250).
#include <gtest/gtest.h>
#include <fcntl.h>
#include <io.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <random>
#include <sstream>

#include "test_support.h"

using namespace tqtest;
using Clock = std::chrono::steady_clock;

namespace {

constexpr int kPeers = 16, kHosts = 3, kHeader = 12, kMax = 65507;

double Since(Clock::time_point t0) {
  return std::chrono::duration<double>(Clock::now() - t0).count();
}
long long Env(const char *name, long long fallback) {
  const char *text = std::getenv(name);
  return text != nullptr && std::atoll(text) > 0 ? std::atoll(text) : fallback;
}
std::string TempName(const char *suffix) {
  char dir[MAX_PATH];
  GetTempPathA(MAX_PATH, dir);
  return dir + ("tq_stress_" + std::to_string(GetCurrentProcessId()) + "_" +
                std::to_string(GetTickCount64()) + suffix);
}

uint32_t Checksum(const char *p, size_t n) {  // FNV-1a over 8-byte words, length folded in
  uint64_t h = 14695981039346656037ull ^ n, w = 0;
  size_t i = 0;
  for (; i + 8 <= n; i += 8) h = (h ^ (std::memcpy(&w, p + i, 8), w)) * 1099511628211ull;
  for (; i < n; ++i) h = (h ^ static_cast<uint8_t>(p[i])) * 1099511628211ull;
  return static_cast<uint32_t>(h ^ (h >> 32));
}

// Log-uniform sizes, so that small and large are both common, and one in
// 64 of the largest IPv4 carries. Origin, sequence, checksum, random bytes;
// shorter than that header: origin | 0x80, then a fixed pattern.
std::string MakeDatagram(std::mt19937_64 &rng, uint32_t origin, uint32_t seq, int min_size) {
  const double x = std::exp(std::uniform_real_distribution<double>(0, std::log(kMax))(rng));
  const int n = rng() % 64 == 0 ? kMax : std::max(min_size, std::min(kMax, static_cast<int>(x)));
  std::string d(n + 8, static_cast<char>(0x80 | origin));
  for (int k = 1; k < n && n < kHeader; ++k) d[k] = static_cast<char>(n * 31 + k * 7);
  for (int i = kHeader; i < n; i += 8) {
    const uint64_t r = rng();
    std::memcpy(&d[i], &r, 8);
  }
  d.resize(n);
  const uint32_t header[] = {origin, seq, n < kHeader ? 0 : Checksum(&d[kHeader], n - kHeader)};
  if (n >= kHeader) std::memcpy(&d[0], header, kHeader);
  return d;
}

// One origin's datagrams as they arrived; more short ones between two
// numbered ones than were sent between them counts as doubled.
struct Stream {
  std::vector<bool> seen;
  int64_t last = -1;
  std::atomic<uint64_t> got{0};
  uint64_t short_since = 0, doubled = 0, disorder = 0;
  void Add(int64_t seq) {
    ++got;
    if (seq < 0) {
      ++short_since;
      return;
    }
    if (seen.size() <= static_cast<size_t>(seq)) seen.resize(seq * 2 + 64);
    doubled += seen[seq] || short_since > static_cast<uint64_t>(seq - last - 1);
    disorder += seq < last;
    seen[seq] = true;
    last = std::max(last, seq);
    short_since = 0;
  }
  bool Saw(uint32_t seq) const { return seq < seen.size() && seen[seq]; }
};

// Checks a datagram and adds it to the stream of its origin, one of
// [first, first + count); false when it is damaged or from elsewhere.
bool Take(const char *d, int n, Stream *streams, uint32_t first, uint32_t count) {
  const auto *u = reinterpret_cast<const uint8_t *>(d);
  uint32_t h[3] = {};
  std::memcpy(h, d, std::min(n, kHeader));
  bool ok = n < kHeader ? (u[0] & 0x80) != 0 : h[2] == Checksum(d + kHeader, n - kHeader);
  for (int k = 1; k < n && n < kHeader; ++k) ok &= u[k] == static_cast<uint8_t>(n * 31 + k * 7);
  const uint32_t origin = n < kHeader ? u[0] & 0x7F : h[0];
  if (!ok || origin < first || origin >= first + count) return false;
  streams[origin - first].Add(n < kHeader ? -1 : static_cast<int64_t>(h[1]));
  return true;
}

struct Inbox {  // written by the net I/O thread only
  Stream from[kPeers];
  std::atomic<uint64_t> corrupt{0};
  static void TQ_PROXY_CALL Callback(void *self, const char *data, int32_t len) {
    auto *in = static_cast<Inbox *>(self);
    in->corrupt += !Take(data, len, in->from, 0, kPeers);
  }
};

struct LogTally {
  std::atomic<uint64_t> malformed{0}, stops{0};
  static void TQ_PROXY_CALL Callback(void *self, int32_t, const char *line) {
    auto *t = static_cast<LogTally *>(self);
    const size_t n = std::strlen(line);
    t->malformed += n < 30 || line[0] != '[' || line[n - 1] != '\n' || !strstr(line, "]<TqProxy>[");
    t->stops += strstr(line, "] stop service\n") != nullptr;
  }
};

// "Name: value" figures of a Linux file, read through Wine's Z: drive; of
// /proc/net/snmp, the "Udp:" row of names and the row of values after it.
std::map<std::string, long long> ProcFigures(const std::string &path) {
  std::ifstream file(path);
  std::map<std::string, long long> out;
  std::vector<std::string> names;
  for (std::string line, word; std::getline(file, line);) {
    std::istringstream in(line);
    in >> word;
    if (word != "Udp:") {
      in >> out[word];
      continue;
    }
    for (size_t i = 0; in >> word; ++i) {
      if (names.size() <= i)
        names.push_back(word);
      else
        out[names[i]] = std::atoll(word.c_str());
    }
  }
  return out;
}
const char kSnmp[] = "Z:\\proc\\net\\snmp";  // the kernel's UDP drops: InErrors, RcvbufErrors

// With no log callback the library writes every line, DEBUG ones too, to
// standard output: to a file meanwhile (C runtime descriptor and handle).
int RedirectStdout(int fd) {
  std::fflush(stdout);
  const int previous = _dup(1);
  _dup2(fd, 1);
  _close(fd);
  SetStdHandle(STD_OUTPUT_HANDLE, reinterpret_cast<HANDLE>(_get_osfhandle(1)));
  return previous;
}

// One run: the peers send `rate` datagrams/s in all; host thread 0 sends to
// known peers, 1 to every peer, 2 to sockets that are no peers; the main
// thread switches the log routing. Returns the datagrams that went missing.
long long RunLoad(TqProxyDll &dll, double rate, double seconds) {
  const std::string console = TempName(".log");
  const int saved_stdout = RedirectStdout(_open(console.c_str(), _O_CREAT | _O_WRONLY, 0600));
  const uint16_t port = FreeUdpPort();
  Inbox inbox;
  LogTally tally[2];
  dll.SetLog(&tally[0], &LogTally::Callback, 2);
  const ProxyInitParam param = MakeParam("127.0.0.1", port, &Inbox::Callback, &inbox);
  EXPECT_EQ(0, dll.Init(&param));
  UdpPeer socks[kPeers + 2];  // the peers, then two sinks
  int last_key = 0;  // the peer whose result a send to all returns: last in "port_ip" order
  const auto key = [&](int k) { return std::to_string(socks[k].Port()) + "_"; };
  for (int i = 1; i < kPeers; ++i) last_key = key(i) > key(last_key) ? i : last_key;
  std::map<std::string, long long> kernel_before = ProcFigures(kSnmp);
  std::atomic<bool> running{true}, draining{true};
  std::atomic<uint64_t> wouldblock{0}, rx_corrupt{0};
  std::vector<uint64_t> sent(kPeers);
  std::vector<std::pair<uint32_t, int>> reported[kHosts];  // (sequence, socket) sent in full
  Stream rx[kPeers + 2][kHosts];                           // at each test socket, per host thread
  auto pace = [&](Clock::time_point t0, double due) {
    while (running && Since(t0) < due) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  };
  auto heard_all = [&] {
    return std::all_of(inbox.from, inbox.from + kPeers, [](const Stream &s) { return s.got > 0; });
  };

  std::vector<std::thread> threads;
  threads.emplace_back([&] {  // the peers in turn; one numbered datagram each first
    std::mt19937_64 rng(7);
    const auto t0 = Clock::now();
    for (uint64_t k = 0; running; ++k) {
      pace(t0, k / rate);
      const int p = static_cast<int>(k % kPeers);
      const std::string d = MakeDatagram(rng, p, k / kPeers, k < kPeers ? kHeader : 1);
      sent[p] += socks[p].SendTo("127.0.0.1", port, d) == static_cast<int>(d.size());
    }
  });
  for (int t = 0; t < kHosts; ++t) {
    threads.emplace_back([&, t] {
      std::mt19937_64 rng(100 + t);
      const bool heard = Eventually(heard_all, 10000);
      const auto t0 = Clock::now();
      for (uint32_t seq = 0; running && heard; ++seq) {
        pace(t0, seq / (t == 1 ? 25.0 : 400.0));
        const int to = t == 0   ? static_cast<int>(rng() % kPeers)
                       : t == 1 ? last_key
                                : kPeers + seq % 2;
        const std::string d = MakeDatagram(rng, kPeers + t, seq, kHeader);
        const int n = static_cast<int>(d.size());
        const int rc =
            dll.Send(t == 1 ? nullptr : "127.0.0.1", t == 1 ? 0 : socks[to].Port(), d.data(), n);
        if (rc == n) {
          reported[t].emplace_back(seq, to);
        } else if (rc == -1 && GetLastError() == WSAEWOULDBLOCK) {
          ++wouldblock;  // Wine: concurrent sendto on one non-blocking socket
        } else {
          ADD_FAILURE() << "host thread " << t << ": " << rc << ", error " << GetLastError();
        }
      }
    });
  }
  std::thread drain([&] {  // the test sockets, until quiet for 0.5 s after the senders
    std::vector<char> buf(kMax + 16);
    const auto t0 = Clock::now();
    for (auto quiet = t0; (draining || Since(quiet) < 0.5) && Since(t0) < seconds + 60;) {
      fd_set set;
      FD_ZERO(&set);
      for (const auto &s : socks) FD_SET(s.Socket(), &set);
      timeval tv{0, 20000};
      if (select(0, &set, nullptr, nullptr, &tv) <= 0) continue;
      quiet = Clock::now();
      for (int i = 0; i < kPeers + 2; ++i) {
        if (!FD_ISSET(socks[i].Socket(), &set)) continue;
        const int n = recv(socks[i].Socket(), buf.data(), static_cast<int>(buf.size()), 0);
        rx_corrupt += n > 0 && !Take(buf.data(), n, rx[i], kPeers, kHosts);
      }
    }
  });

  const auto t0 = Clock::now();
  for (int phase = 0; Since(t0) < seconds; ++phase) {
    const int kind = phase % 5, levels[] = {2, 3, 1, -1};  // four callback set-ups, then stdout
    if (kind < 4) dll.SetLog(&tally[kind % 2], &LogTally::Callback, levels[kind]);
    if (kind == 4) dll.SetLog(nullptr, nullptr, 2);
    std::this_thread::sleep_for(std::chrono::milliseconds(kind == 4 ? 50 : 250));
  }
  dll.SetLog(&tally[0], &LogTally::Callback, 2);
  _close(RedirectStdout(saved_stdout));
  const double duration = Since(t0);
  running = false;
  for (std::thread &th : threads) th.join();
  draining = false;
  drain.join();
  uint64_t in_sent = 0, delivered = 0, doubled = 0, disorder = 0, host_sent = 0, arrived = 0;
  for (uint64_t before = ~0ull; before != delivered;) {  // until the service's queue is drained
    before = delivered;
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    in_sent = delivered = 0;
    for (int p = 0; p < kPeers; ++p) in_sent += sent[p], delivered += inbox.from[p].got;
  }
  const auto stop_t0 = Clock::now();
  EXPECT_EQ(0, dll.UnInit());
  const double stop_ms = Since(stop_t0) * 1000;
  std::map<std::string, long long> kernel_after = ProcFigures(kSnmp);
  const long long kernel = kernel_after["InErrors"] - kernel_before["InErrors"];
  const long long rcvbuf = kernel_after["RcvbufErrors"] - kernel_before["RcvbufErrors"];
  long long missing = static_cast<long long>(in_sent - delivered), console_lines = 0;
  for (const Stream &s : inbox.from) doubled += s.doubled, disorder += s.disorder;
  for (int t = 0; t < kHosts; ++t) {
    host_sent += reported[t].size();
    for (const auto &s : reported[t]) missing += !rx[s.second][t].Saw(s.first);
    for (const auto &at : rx) arrived += at[t].got, doubled += at[t].doubled;
    for (const auto &at : rx) disorder += at[t].disorder;
  }
  std::ifstream file(console);
  for (std::string line; std::getline(file, line);) {
    if (line.rfind("[2", 0) != 0) {  // the test's own output meanwhile (failures)
      if (line.rfind("<TqProxy> set log param", 0) != 0) std::printf("%s\n", line.c_str());
      continue;
    }
    ++console_lines;  // whole lines, not torn by writers on other threads
    const size_t tag = line.find("]<TqProxy>[");
    EXPECT_TRUE(tag != std::string::npos && tag == line.rfind("]<TqProxy>[")) << line;
  }
  file.close();
  DeleteFileA(console.c_str());
  const long long lost = std::max(0LL, missing - kernel);  // what the kernel's count leaves open
  EXPECT_TRUE(heard_all());
  EXPECT_LE(delivered, in_sent);
  EXPECT_EQ(0, lost);
  EXPECT_EQ(0u, doubled);
  EXPECT_EQ(0u, inbox.corrupt + rx_corrupt);
  EXPECT_EQ(0u, disorder);
  EXPECT_EQ(0u, tally[0].malformed + tally[1].malformed);
  std::printf(
      "[load] peers=%d host_threads=%d rate=%.0f/s (sent %.0f/s) duration=%.1fs datagrams_in=%llu "
      "delivered=%llu (%.0f/s) host_sent=%llu host_arrived=%llu (each copy of a send to all) "
      "wouldblock=%llu lost_by_us=%lld doubled=%llu corrupted=%llu disorder=%llu "
      "kernel_drops=%lld (rcvbuf %lld) console_lines=%lld stop_ms=%.0f\n",
      kPeers, kHosts, rate, in_sent / duration, duration, in_sent, delivered, delivered / duration,
      host_sent, arrived, wouldblock.load(), lost, doubled, inbox.corrupt + rx_corrupt, disorder,
      kernel, rcvbuf, console_lines, stop_ms);
  return missing;
}

// Every datagram the kernel queued for the service reaches the callback
// once, intact, in per-peer order, and every send reported as sent
// arrives; at rising rates, to show where the kernel starts to drop.
TEST(Load, PeersAndHostThreadsWhileLogRoutingChanges) {
  WinsockSession ws;
  TqProxyDll dll;
  ASSERT_TRUE(dll.Load());
  ASSERT_EQ(1u, ProcFigures(kSnmp).count("InErrors")) << "the kernel's UDP counters are needed";
  const long long soak = Env("TQ_SOAK_SECONDS", 0);
  std::vector<double> rates = {250, 500, 1000, 2000, 4000};
  if (soak > 0) rates = {static_cast<double>(Env("TQ_SOAK_RATE", 250))};
  double held = 0, loss_from = 0;
  for (double rate : rates) {
    const long long missing = RunLoad(dll, rate, soak > 0 ? soak : 4);
    if (missing == 0 && loss_from == 0) held = rate;
    if (missing > 0 && loss_from == 0) loss_from = rate;
  }
  std::printf("[load] held without loss up to %.0f/s; kernel drops from %.0f/s (0: none)\n", held,
              loss_from);
  dll.Unload();
}

// Files are opened by the Wine server, so Z:\proc\self is the server: our
// own Linux pid is the one process that maps a file only we map.
std::string OwnProcDir() {
  const std::string mark = TempName(".mark");
  const HANDLE file = CreateFileA(mark.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                  CREATE_ALWAYS, FILE_FLAG_DELETE_ON_CLOSE, nullptr);
  DWORD written;
  WriteFile(file, "mark", 4, &written, nullptr);
  MapViewOfFile(CreateFileMappingA(file, nullptr, PAGE_READONLY, 0, 0, nullptr), FILE_MAP_READ, 0,
                0, 0);
  std::string found;
  WIN32_FIND_DATAA entry;
  const HANDLE find = FindFirstFileA("Z:\\proc\\*", &entry);
  do {
    const std::string dir = std::string("Z:\\proc\\") + entry.cFileName + "\\";
    std::ifstream maps(entry.cFileName[0] >= '1' && entry.cFileName[0] <= '9' ? dir + "maps" : "");
    const std::string text{std::istreambuf_iterator<char>(maps), {}};
    if (text.find(mark.substr(mark.rfind('\\') + 1)) != std::string::npos) found = dir;
  } while (found.empty() && FindNextFileA(find, &entry));
  FindClose(find);
  return found;  // the mark stays mapped, and goes with the process
}

struct Usage {
  long long threads = 0, rss_kb = 0, fds = 0, handles = 0;
};
// Linux's view (threads, resident memory, open fds: every socket that Wine
// has handed us, and each thread's pipes), and the Windows handles, counted
// one by one: GetProcessHandleCount reports 0 under Wine.
Usage Measure(const std::string &proc) {
  std::map<std::string, long long> status = ProcFigures(proc + "status");
  Usage u{status["Threads:"], status["VmRSS:"], 0, 0};
  WIN32_FIND_DATAA entry;
  const HANDLE find = FindFirstFileA((proc + "fd\\*").c_str(), &entry);
  for (bool more = find != INVALID_HANDLE_VALUE; more; more = FindNextFileA(find, &entry)) {
    u.fds += entry.cFileName[0] != '.';
  }
  FindClose(find);
  DWORD flags;
  for (uintptr_t h = 4; h < 16384; h += 4) {
    u.handles += GetHandleInformation(reinterpret_cast<HANDLE>(h), &flags) != 0;
  }
  return u;
}

// Start/stop cycles with a peer sending all the while and a host thread
// sending into every stop: no send may hit a closed socket, each stop is
// logged once, and threads, fds, handles and memory come back to their
// level after a warm-up (a leak per cycle shows a thousandfold).
TEST(Churn, StartStopUnderTrafficReturnsResources) {
  WinsockSession ws;
  TqProxyDll dll;
  ASSERT_TRUE(dll.Load());
  const std::string proc = OwnProcDir();
  ASSERT_FALSE(proc.empty());
  LogTally log;
  dll.SetLog(&log, &LogTally::Callback, 2);
  const uint16_t port = FreeUdpPort();
  UdpPeer peer, sink;
  const long long soak = Env("TQ_SOAK_SECONDS", 0);
  std::atomic<bool> done{false};
  std::atomic<uint64_t> received{0};
  std::map<long long, uint64_t> results;  // send result (minus the error for -1) -> count
  std::thread source([&] {  // about one datagram a millisecond; drains what comes back
    for (const auto t0 = Clock::now(); !done && Since(t0) < soak + 600;) {
      peer.SendTo("127.0.0.1", port, "tick");
      while (peer.Receive(nullptr, nullptr, 0) || sink.Receive(nullptr, nullptr, 0)) continue;
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  });
  std::thread sender([&] {  // to the peer, to every peer, to a non-peer, without a pause
    const char *ips[] = {"127.0.0.1", nullptr, "127.0.0.1"};
    const uint32_t ports[] = {peer.Port(), 0, sink.Port()};
    for (uint64_t i = 0; !done; ++i) {
      const int rc = dll.Send(ips[i % 3], ports[i % 3], "data", 4);
      ++results[rc == -1 ? -static_cast<long long>(GetLastError()) : rc];
      if (i % 8 == 0) std::this_thread::yield();
    }
  });

  const RecvCallback count = [](void *n, const char *, int32_t) {
    ++*static_cast<std::atomic<uint64_t> *>(n);
  };
  const ProxyInitParam param = MakeParam("127.0.0.1", port, count, &received);
  constexpr int kWarmup = 50;
  std::mt19937 rng(3);
  Usage base, end;
  double stop_ms_sum = 0, stop_ms_max = 0;
  int cycles = 0, failed_starts = 0;
  auto t0 = Clock::now();
  for (; cycles < kWarmup + 1000 || Since(t0) < soak; ++cycles) {
    if (cycles == kWarmup) {  // the last stop's thread gone from Linux's view too
      std::this_thread::sleep_for(std::chrono::milliseconds(300));
      base = Measure(proc), t0 = Clock::now();
    }
    failed_starts += dll.Init(&param) != 0;
    std::this_thread::sleep_for(std::chrono::microseconds(rng() % 2000));
    const auto stop_t0 = Clock::now();
    dll.UnInit();
    const double ms = Since(stop_t0) * 1000;
    if (cycles >= kWarmup) stop_ms_sum += ms, stop_ms_max = std::max(stop_ms_max, ms);
  }
  const double seconds = Since(t0);
  const int measured = cycles - kWarmup;
  // An ended thread may take a moment to leave Linux's view.
  Eventually([&] { return (end = Measure(proc)).threads <= base.threads && end.fds <= base.fds; },
             5000);
  const uint64_t before = received;  // still serving after all that
  EXPECT_EQ(0, dll.Init(&param));
  EXPECT_TRUE(Eventually([&] { return received > before; }));
  dll.UnInit();
  done = true;
  source.join();
  sender.join();

  EXPECT_EQ(0, failed_starts);
  EXPECT_EQ(static_cast<uint64_t>(cycles + 1), log.stops.load());
  EXPECT_EQ(0u, log.malformed.load());
  for (const auto &result : results) {  // -10035: Wine's concurrent sendto quirk
    EXPECT_TRUE(result.first == 4 || result.first == -97 || result.first == -99 ||
                result.first == -WSAEWOULDBLOCK)
        << "send result " << result.first << " x" << result.second;
  }
  EXPECT_GT(results[4], 0u);
  EXPECT_LE(end.threads, base.threads);
  EXPECT_LE(end.fds, base.fds);
  // A few objects are made once, on first need, at any time (such as the
  // event of a lock first contended): a per-cycle leak would be 1000 here.
  EXPECT_LE(end.handles, base.handles + 8);
  EXPECT_LE(end.rss_kb, base.rss_kb + 8192);  // heap that settles; a leak per cycle would not
  std::printf(
      "[churn] cycles=%d duration=%.1fs cycles_per_s=%.0f stop_ms_avg=%.2f stop_ms_max=%.1f "
      "delivered=%llu sends_ok=%llu refused_stopped=%llu no_peer=%llu wouldblock=%llu "
      "threads=%lld->%lld fds=%lld->%lld handles=%lld->%lld rss_kb=%lld->%lld\n",
      measured, seconds, measured / seconds, stop_ms_sum / measured, stop_ms_max, received.load(),
      results[4], results[-97], results[-99], results[-WSAEWOULDBLOCK], base.threads, end.threads,
      base.fds, end.fds, base.handles, end.handles, base.rss_kb, end.rss_kb);
  dll.Unload();
}

}  // namespace
