// The log sink's line layout and re-entrancy through LogSink::Write itself:
// the library's own calls never pass a tag, level 0 or a backslash path.
#include <gtest/gtest.h>

#include <algorithm>
#include <regex>
#include <string>
#include <vector>

#include "log/log_sink.h"
#include "test_support.h"

namespace {

using TqProxy::LogSink;

struct SinkCapture {  // installed for one test; later lines go to stdout again
  tqtest::LogCapture log;
  explicit SinkCapture(int32_t min_level) {
    LogSink::Instance().SetLog(&log, &tqtest::LogCapture::Callback, min_level);
  }
  ~SinkCapture() { LogSink::Instance().SetLog(nullptr, nullptr, 1); }
  // The last line behind its "[YYYY-MM-DD hh:mm:ss.mmm]" time field.
  std::string Last() const {
    const std::string text = log.Lines().empty() ? "" : log.Lines().back().text;
    static const std::regex time(R"(^\[\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2}\.\d{3}\])");
    EXPECT_TRUE(std::regex_search(text, time)) << text;
    return text.size() < 25 ? text : text.substr(25);
  }
};

TEST(LogSinkFormat, PrefixTagFilePartAndLevelName) {
  SinkCapture sink(0);
  LogSink &s = LogSink::Instance();
  s.Write("src/deep/dir/unit_a", 42, "Ns::Cls::Fn", 2, "extra", "value=%d", 7);
  EXPECT_EQ("[INFO]<TqProxy>[extra][unit_a->Ns::Cls::Fn:42] value=7\n", sink.Last());
  for (const char *no_tag : {static_cast<const char *>(nullptr), ""}) {
    s.Write("src/deep/dir/unit_a", 43, "Ns::Fn", 4, no_tag, "boom");
    EXPECT_EQ("[ERROR]<TqProxy>[unit_a->Ns::Fn:43] boom\n", sink.Last());
  }
  s.Write("C:\\src\\unit_b.cpp", 7, "F", 3, nullptr, "x");  // no '/': printed whole
  EXPECT_EQ("[WARN]<TqProxy>[C:\\src\\unit_b.cpp->F:7] x\n", sink.Last());
  s.Write("f", 9, "F", 0, nullptr, "z");
  EXPECT_EQ("[]<TqProxy>[f->F:9] z\n", sink.Last());
  EXPECT_EQ(0, sink.log.Lines().back().level);
}

// Windows runtime conventions (%I64u, %wS, whose argument must be consumed),
// a long message copied whole, and exactly one line feed per line.
TEST(LogSinkFormat, RuntimeConversionsAndLongMessage) {
  SinkCapture sink(1);
  LogSink &s = LogSink::Instance();
  s.Write("f", 1, "F", 2, nullptr, "n=%I64u", static_cast<unsigned long long>(UINT64_MAX));
  EXPECT_EQ("[INFO]<TqProxy>[f->F:1] n=18446744073709551615\n", sink.Last());
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat"
#pragma GCC diagnostic ignored "-Wformat-extra-args"
  s.Write("f", 2, "F", 2, nullptr, "name=%wS, after=%d", L"Wide text", 5);
#pragma GCC diagnostic pop
  EXPECT_EQ("[INFO]<TqProxy>[f->F:2] name=Wide text, after=5\n", sink.Last());
  const std::string big(10000, 'q');
  s.Write("f", 3, "F", 2, nullptr, "<%s>", big.c_str());
  EXPECT_EQ("[INFO]<TqProxy>[f->F:3] <" + big + ">\n", sink.Last());
  for (const tqtest::LogLine &l : sink.log.Lines()) {
    EXPECT_EQ(1, std::count(l.text.begin(), l.text.end(), '\n'));
  }
}

std::string Message(const std::string &line) {  // between the prefix and the line feed
  const size_t at = line.find("] ");
  return line.substr(at + 2, line.size() - at - 3);
}

struct Trace {
  std::vector<std::string> events;
  tqtest::LogCapture other;
};

// The sink's lock is held over the callback and is not recursive: a line
// logged inside must be delivered after the callback returns (not lost, no
// deadlock), and SetLog inside must take effect at once, for that line too.
TEST(LogSinkReentry, NestedLinesFollowTheCallbackAndSetLogInsideWorks) {
  Trace trace;
  LogSink &s = LogSink::Instance();
  LogCallback nesting = [](void *user_data, int32_t, const char *line) {
    auto *t = static_cast<Trace *>(user_data);
    t->events.push_back("begin " + Message(line));
    if (Message(line) == "outer") LogSink::Instance().Write("f", 1, "F", 2, nullptr, "inner");
    t->events.push_back("end " + Message(line));
  };
  s.SetLog(&trace, nesting, 1);
  s.Write("f", 1, "F", 2, nullptr, "outer");
  EXPECT_EQ((std::vector<std::string>{"begin outer", "end outer", "begin inner", "end inner"}),
            trace.events);
  trace.events.clear();
  LogCallback switching = [](void *user_data, int32_t, const char *line) {
    auto *t = static_cast<Trace *>(user_data);
    t->events.push_back(Message(line));
    LogSink::Instance().SetLog(&t->other, &tqtest::LogCapture::Callback, 1);
    LogSink::Instance().Write("f", 1, "F", 2, nullptr, "moved");
  };
  s.SetLog(&trace, switching, 1);
  s.Write("f", 1, "F", 2, nullptr, "switch");
  s.Write("f", 1, "F", 2, nullptr, "next");
  s.SetLog(nullptr, nullptr, 1);
  EXPECT_EQ(std::vector<std::string>{"switch"}, trace.events);
  ASSERT_EQ(2u, trace.other.Lines().size());
  EXPECT_EQ("moved", Message(trace.other.Lines()[0].text));
  EXPECT_EQ("next", Message(trace.other.Lines()[1].text));
}

}  // namespace
