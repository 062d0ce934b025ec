// The log sink through LogSink::Write itself, for what the library's own
// lines do not reach: a tag, a line longer than the stack buffer, lines
// written from inside the callback.
#include <gtest/gtest.h>

#include <string>

#include "whitebox_support.h"

namespace {

using TqProxy::LogSink;
using tqtest::Message;

void Write(const char *message) {
  LogSink::Instance().Write("f", 1, "F", 2, nullptr, "%s", message);
}

// The time field is checked by the black-box log test.
TEST(LogSinkFormat, TaggedLineLongerThanTheStackBuffer) {
  tqtest::SinkCapture log;
  const std::string big(10000, 'q');
  LogSink::Instance().Write("src/dir/unit", 42, "Ns::Fn", 2, "extra", "<%s>", big.c_str());
  ASSERT_EQ(1u, log.Lines().size());
  EXPECT_EQ("[INFO]<TqProxy>[extra][unit->Ns::Fn:42] <" + big + ">\n",
            log.Lines()[0].text.substr(25));  // behind the time field
}

// "%wS" is the runtime's wide-text conversion, unknown to GCC's checker.
#if defined(__GNUC__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat"
#pragma GCC diagnostic ignored "-Wformat-extra-args"
#endif
// The runtime fails a whole message for one wide character the C locale
// cannot write (U+4E2D); the line keeps its text, with '?' for that one.
// Only the Windows runtime is given wide texts (adapter names).
#if defined(_WIN32)
TEST(LogSinkFormat, WideTextThatCannotBeConvertedIsSubstituted) {
  tqtest::SinkCapture log;
  LogSink::Instance().Write("f", 1, "F", 2, nullptr, "Description: %wS , %-4d|%3s|%ls|%I64u|%%",
                            L"lo\u4E2D\u00E9", 7, "ab", L"\u4E2D", 18446744073709551615ULL);
  EXPECT_EQ(tqtest::Lines{"Description: lo?\xE9 , 7   | ab|?|18446744073709551615|%"},
            tqtest::Messages(log));
}
#endif
#if defined(__GNUC__)
#pragma GCC diagnostic pop
#endif

struct Trace {
  tqtest::Lines events;
  tqtest::LogCapture other;
  int fed = 0;

  static void TQ_PROXY_CALL Callback(void *user_data, int32_t, const char *line) {
    auto *t = static_cast<Trace *>(user_data);
    const std::string message = Message(line);
    t->events.push_back("begin " + message);
    if (message == "outer") Write("inner");
    if (message == "inner") {
      LogSink::Instance().SetLog(&t->other, &tqtest::LogCapture::Callback, 1);
      Write("moved");
    }
    if (message == "feed" && ++t->fed < 2000) Write("feed");  // bounded without the cap
    t->events.push_back("end " + message);
  }
};

// The sink's lock is held over the callback and is not recursive: a line
// written inside is queued and delivered after the callback returns, in
// order, to whatever callback SetLog inside has installed by then. A
// callback that feeds itself gets at most 1024 nested lines per outer line.
TEST(LogSinkReentry, NestedLinesFollowTheCallback) {
  Trace trace;
  LogSink::Instance().SetLog(&trace, &Trace::Callback, 1);
  Write("outer");
  Write("next");
  EXPECT_EQ((tqtest::Lines{"begin outer", "end outer", "begin inner", "end inner"}), trace.events);
  LogSink::Instance().SetLog(&trace, &Trace::Callback, 1);
  Write("feed");
  LogSink::Instance().SetLog(nullptr, nullptr, 1);
  EXPECT_EQ(1 + 1024, trace.fed);
  EXPECT_EQ((tqtest::Lines{"moved", "next"}), tqtest::Messages(trace.other));
}

}  // namespace
