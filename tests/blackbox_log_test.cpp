// Black-box log tests: line format and level filter seen through a log
// callback, and standard output seen from a child process (console_host).
#include <gtest/gtest.h>

#include <fstream>
#include <regex>
#include <set>
#include <sstream>

#include "test_support.h"

using namespace tqtest;

namespace {

// Time text, level name, tag, source position, message, exactly one line feed.
const std::regex kLogLine(
    R"(\[\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3}\]\[(DEBUG|INFO|WARN|ERROR)\]<TqProxy>)"
    R"(\[tq_udp_service->TqProxy::TQUdpService::(\w+):\d+\] ([^\r\n]*)\n)");

// "Function: message" of a captured line, once its format and level number are checked.
std::string Parse(const LogLine &line) {
  static const char *const kNames[] = {"?", "DEBUG", "INFO", "WARN", "ERROR"};
  std::smatch m;
  EXPECT_TRUE(std::regex_match(line.text, m, kLogLine)) << line.text;
  if (m.empty()) return "";
  EXPECT_EQ(m[1].str(), kNames[line.level >= 1 && line.level <= 4 ? line.level : 0]);
  return m[2].str() + ": " + m[3].str();
}

class LogTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(dll.Load()); }
  void TearDown() override {
    if (dll.module == nullptr) return;
    dll.SetLog(&log, &LogCapture::Callback, 1);  // off any capture local to the test
    dll.UnInit();
    dll.Unload();
  }
  WinsockSession ws;
  TqProxyDll dll;
  LogCapture log, second;  // members: they outlive any line still under way
  const uint16_t port = FreeUdpPort();
};

TEST_F(LogTest, LineFormatOfAStartAndStop) {
  dll.SetLog(&log, &LogCapture::Callback, 1);
  ProxyInitParam p = MakeParam("127.0.0.1", port);
  ASSERT_EQ(0, dll.Init(&p));
  ASSERT_TRUE(log.WaitFor("status report"));
  EXPECT_EQ(0, dll.UnInit());
  std::vector<std::string> got;
  for (const LogLine &line : log.Lines()) got.push_back(Parse(line));
  const std::string ps = std::to_string(port);
  ASSERT_EQ(4u, got.size());
  EXPECT_EQ(
      "Start: service engine liten extern service info setting, port=" + ps + ", ip=127.0.0.1",
      got[0]);
  EXPECT_EQ("CreateLocalSocket: Bind Success, ip=127.0.0.1, port=" + ps, got[1]);
  EXPECT_TRUE(
      std::regex_match(got[2], std::regex(R"(Select: status report, do listen socket\.size=)"
                                          R"(1, svr\.size=1 \[127\.0\.0\.1:)" +
                                          ps + R"(:<\d+>;\])")))
      << got[2];
  EXPECT_EQ("Stop: stop service", got[3]);
}

// Minimum 2 drops DEBUG only; 7 is ignored, but the callback is still replaced.
TEST_F(LogTest, LevelFilter) {
  dll.SetLog(&log, &LogCapture::Callback, 2);
  ProxyInitParam no_port = MakeParam("127.0.0.1", 0), p = MakeParam("127.0.0.1", port);
  EXPECT_EQ(-98, dll.Init(&no_port));  // ERROR
  ASSERT_EQ(0, dll.Init(&p));          // INFO
  ASSERT_TRUE(log.WaitFor("status report"));
  UdpPeer peer;
  const std::string big(70000, 'x');  // no datagram that large: WARN
  EXPECT_EQ(1, dll.Send("127.0.0.1", peer.Port(), "x", 1));
  EXPECT_EQ(-1, dll.Send("127.0.0.1", peer.Port(), big.data(), 70000));
  std::set<int32_t> levels;
  for (const LogLine &line : log.Lines()) levels.insert(Parse(line).empty() ? 0 : line.level);
  EXPECT_EQ((std::set<int32_t>{2, 3, 4}), levels);

  dll.SetLog(&second, &LogCapture::Callback, 7);
  EXPECT_EQ(-1, dll.Send("127.0.0.1", peer.Port(), big.data(), 70000));
  EXPECT_EQ(1u, second.Count("send to net size=70000 failed, result=-1"));
  EXPECT_EQ(0u, second.Count("send data to"));  // DEBUG: the minimum is still 2
}

// console_host <scenario> <free port> with standard output in a file; killed after 10 s.
std::pair<DWORD, std::string> RunConsoleHost(const std::string &scenario) {
  char path[MAX_PATH];
  std::string dir(path, GetModuleFileNameA(nullptr, path, MAX_PATH));
  dir.resize(dir.find_last_of("\\/") + 1);
  const std::string out_path = std::string(path, GetTempPathA(MAX_PATH, path)) + "tq_console_" +
                               std::to_string(GetCurrentProcessId()) + ".txt";
  SECURITY_ATTRIBUTES inherit{sizeof(inherit), nullptr, TRUE};
  HANDLE file = CreateFileA(out_path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit,
                            CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  STARTUPINFOA si{};
  si.cb = sizeof(si);
  si.dwFlags = STARTF_USESTDHANDLES;
  si.hStdOutput = si.hStdError = file;
  PROCESS_INFORMATION pi{};
  std::string command =
      "\"" + dir + "console_host.exe\" " + scenario + " " + std::to_string(FreeUdpPort());
  DWORD code = 1000;
  if (CreateProcessA(nullptr, &command[0], nullptr, nullptr, TRUE, 0, nullptr, dir.c_str(), &si,
                     &pi)) {
    if (WaitForSingleObject(pi.hProcess, 10000) != WAIT_OBJECT_0) {
      TerminateProcess(pi.hProcess, 99);  // hung
      WaitForSingleObject(pi.hProcess, 5000);
    }
    GetExitCodeProcess(pi.hProcess, &code);
    CloseHandle(pi.hProcess);
    CloseHandle(pi.hThread);
  }
  CloseHandle(file);
  std::stringstream out;
  out << std::ifstream(out_path, std::ios::binary).rdbuf();
  DeleteFileA(out_path.c_str());
  return {code, out.str()};
}

// Before any SetLog, raw lines of every level; then the notices with the
// arguments as passed (msvcrt %p), in order with the console lines; a NULL
// callback routes lines back to stdout; minimum -1 silences everything.
TEST(ConsoleHost, StdoutLinesAndSetLogNotices) {
  const auto [code, out] = RunConsoleHost("console");
  EXPECT_EQ(0u, code) << out;  // 2x: the callback got the wrong lines
  const size_t split = out.find("callback=");
  ASSERT_NE(std::string::npos, split) << out;
  EXPECT_GT(out.find('\r'), split);  // raw bytes before it, no CRT text mode
  std::set<std::string> levels;
  std::istringstream lines(out.substr(0, split));
  for (std::string line; std::getline(lines, line);) {
    std::smatch m;
    EXPECT_TRUE(std::regex_match(line += "\n", m, kLogLine)) << line;
    if (!m.empty()) levels.insert(m[1].str());
  }
  EXPECT_EQ((std::set<std::string>{"DEBUG", "INFO", "WARN", "ERROR"}), levels);
  EXPECT_NE(std::string::npos, out.rfind("] stop service\n", split));
  const std::string notice = "<TqProxy> set log param, user data=";
  EXPECT_TRUE(std::regex_match(
      out.substr(split),
      std::regex("callback=([0-9A-F]{16})\r?\n" + notice +
                 "000000001234ABCD, callback=\\1, min level=3\r?\n" + notice +
                 "0{16}, callback=0{16}, min level=7\r?\n"
                 "\\[[^\n]*\\]\\[INFO\\][^\n]*\\] service engine liten extern [^\n]*\n"
                 "\\[[^\n]*\\]\\[ERROR\\][^\n]*\\] service engine start failed:[^\n]*\n" +
                 notice + "0{16}, callback=\\1, min level=-1\r?\n")))
      << out;
}

TEST(ConsoleHost, FreeLibraryWhileRunningReturnsAndExitsCleanly) {
  const auto [code, out] = RunConsoleHost("freelib");
  EXPECT_EQ(0u, code) << out;  // 50: FreeLibrary hung; 41: unmapped under its thread
  std::smatch m;
  ASSERT_TRUE(std::regex_search(out, m, std::regex("freed ms=(\\d+)\r?\n"))) << out;
  EXPECT_LT(std::stoi(m[1].str()), 2000);
  EXPECT_NE(std::string::npos, out.find("] stop service\n", m.position(0))) << out;
}

}  // namespace
