// White-box tests: the library's own log sink captured for a scope, and
// the messages of the lines captured.
#pragma once

#include <string>
#include <vector>

#include "log/log_sink.h"
#include "test_support.h"
#include "tq_udp_service.h"

namespace tqtest {

using Lines = std::vector<std::string>;

// The message of a line: between its prefix and its line feed.
inline std::string Message(const std::string &line) {
  const size_t at = line.find("] ", line.find("->"));
  return line.substr(at + 2, line.size() - at - 3);
}

inline Lines Messages(const LogCapture &log) {
  Lines out;
  for (const LogLine &line : log.Lines()) out.push_back(Message(line.text));
  return out;
}

// Every line of the library's sink, while it lives.
struct SinkCapture : LogCapture {
  SinkCapture() { TqProxy::LogSink::Instance().SetLog(this, &LogCapture::Callback, 1); }
  ~SinkCapture() { TqProxy::LogSink::Instance().SetLog(nullptr, nullptr, 1); }
};

}  // namespace tqtest
