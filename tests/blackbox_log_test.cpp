// Black-box log tests: line format seen through a log callback, standard
// output seen from a child process (console_host). Minimum levels in and
// out of range are the model walk's; callbacks that call back in, the
// misuse suite's.
#include <gtest/gtest.h>

#include <regex>

#include "test_support.h"

using namespace tqtest;

namespace {

// Time text, level name, tag, source file and function, message, exactly
// one line feed.
const std::string kLogLine =
    R"(\[(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3})\]\[(DEBUG|INFO|WARN|ERROR)\]<TqProxy>)"
    R"(\[tq_udp_service->TqProxy::TQUdpService::(\w+):\d+\] ([^\r\n]*)\n)";

// Minimum 2 lets every line but DEBUG through, in order, each stamped with
// the local time and named for its level. Start and stop log no DEBUG line.
TEST(LogTest, LinesAtOrAboveTheMinimumInFormatAndOrder) {
  WinsockSession ws;
  LogCapture log;  // declared first: it outlives any line still under way
  TqProxyDll dll;
  ASSERT_TRUE(dll.Load());
  const uint16_t port = FreeUdpPort();
  dll.SetLog(&log, &LogCapture::Callback, TQ_PROXY_LOG_INFO);
  const std::string before = LocalTimeText();
  ProxyInitParam p = MakeParam("127.0.0.1", port), no_port = MakeParam("127.0.0.1", 0);
  EXPECT_EQ(TQ_PROXY_ERR_SOCKET, dll.Init(&no_port));
  EXPECT_EQ(TQ_PROXY_OK, dll.Init(&p));
  EXPECT_TRUE(log.WaitFor("status report"));
  UdpPeer peer;
  const std::string big(70000, 'x');  // no datagram that large
  EXPECT_EQ(1, dll.Send("127.0.0.1", peer.Port(), "x", 1));
  SetLastSocketError(0);
  EXPECT_EQ(-1, dll.Send("127.0.0.1", peer.Port(), big.data(), 70000));
  EXPECT_EQ(kErrorMessageSize, LastSocketError());  // the send's, kept past its WARN line
  EXPECT_EQ(TQ_PROXY_OK, dll.UnInit());
  const std::string after = LocalTimeText();
  static const char *const kNames[] = {"?", "DEBUG", "INFO", "WARN", "ERROR"};
  std::string got;
  for (const LogLine &line : log.Lines()) {
    std::smatch m;
    ASSERT_TRUE(std::regex_match(line.text, m, std::regex(kLogLine))) << line.text;
    EXPECT_TRUE(before <= m[1].str() && m[1].str() <= after) << before << " " << line.text;
    EXPECT_EQ(kNames[line.level >= 1 && line.level <= 4 ? line.level : 0], m[2].str());
    got += m[3].str() + ": " + m[4].str() + "\n";
  }
  const std::string ps = std::to_string(port), ip = ", ip=127\\.0\\.0\\.1",
                    start = "Start: service engine liten extern service info setting, port=";
  EXPECT_TRUE(std::regex_match(
      got, std::regex(start + "0" + ip + "\nStart: service engine start failed:[^\n]*\n" + start +
                      ps + ip + "\nCreateLocalSocket: Bind Success" + ip + ", port=" + ps +
                      "\nSelect: status report, do listen socket\\.size=1, svr\\.size=1 "
                      "\\[127\\.0\\.0\\.1:" +
                      ps +
                      ":<\\d+>;\\]\nSend: Socket Send fd=\\d+\n"
                      "Send: send to net size=70000 failed, result=-1\nStop: stop service\n")))
      << got;
  dll.Unload();
}

// console_host, its standard output in a file. Before any SetLog, raw lines
// (no CRT text mode) of every level; then the notices with the arguments as
// passed (msvcrt %p), in order with the console lines; a NULL callback
// routes lines back to standard output, unfiltered; minimum -1 silences
// everything. Last, an unload with the service running returns at once,
// and the process still exits cleanly, logging the stop.
TEST(ConsoleHost, StdoutNoticesAndUnloadWhileRunning) {
  std::string out;
  const int code = RunChild("console_host", std::to_string(FreeUdpPort()), &out);
  EXPECT_EQ(0, code) << out;

  const size_t split = out.find("callback=");
  ASSERT_NE(std::string::npos, split) << out;
  const std::string head = out.substr(0, split), tail = out.substr(split);
  const std::string notice = "<TqProxy> set log param, user data=";
  EXPECT_TRUE(std::regex_match(head, std::regex("(" + kLogLine + ")+"))) << out;
  for (const std::string level : {"DEBUG", "INFO", "WARN", "ERROR"}) {
    EXPECT_NE(std::string::npos, head.find("][" + level + "]<")) << level;
  }
  std::smatch m;
  ASSERT_TRUE(std::regex_match(
      tail, m,
      std::regex("callback=([0-9A-F]{16})\r?\n" + notice +
                 "000000001234ABCD, callback=\\1, min level=3\r?\n" + notice +
                 "0{16}, callback=0{16}, min level=7\r?\n"
                 "\\[[^\n]*\\]\\[INFO\\][^\n]*\\] service engine liten extern [^\n]*\n"
                 "\\[[^\n]*\\]\\[ERROR\\][^\n]*\\] service engine start failed:[^\n]*\n" +
                 notice + "0{16}, callback=\\1, min level=-1\r?\n" + notice +
                 "0{16}, callback=0{16}, min level=1\r?\n(\\[[^\n]*\n)*"
                 "freed ms=(\\d+)\r?\n(\\[[^\n]*\n)*\\[[^\n]*\\] stop service\n")))
      << out;
  EXPECT_LT(std::stoi(m[3].str()), 2000);
}

// A host that exits with the service running and its log callback set:
// once its exit has begun (its atexit handlers have run) the callback may
// belong to code already gone, so it is not called; the library's last
// line goes to standard output.
TEST(ConsoleHost, ProcessExitCallsNoLogCallback) {
  std::string out;
  EXPECT_EQ(0, RunChild("console_host", std::to_string(FreeUdpPort()) + " exit", &out)) << out;
  EXPECT_NE(std::string::npos, out.find("CALLBACK [")) << out;
  EXPECT_EQ(std::string::npos, out.find("AFTER EXIT")) << out;
  EXPECT_TRUE(std::regex_search(out, std::regex(R"(\n\[[^\n]*\] stop service\n$)"))) << out;
}

}  // namespace
