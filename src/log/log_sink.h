// Internal header. The process-wide log sink: formats one line per report
// and hands it to the host's log callback or writes it to standard output.
#pragma once

#include <atomic>
#include <cstdarg>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "TqProxy.h"
#include "platform.h"

namespace TqProxy {

enum LogLevel : int32_t {
  kLogLevelDebug = TQ_PROXY_LOG_DEBUG,
  kLogLevelInfo = TQ_PROXY_LOG_INFO,
  kLogLevelWarn = TQ_PROXY_LOG_WARN,
  kLogLevelError = TQ_PROXY_LOG_ERROR,
};

class LogSink {
 public:
  // Made on first use, never destroyed: the service's teardown at unload
  // still logs after every other static of the library is gone.
  static LogSink &Instance();

  // The body of TQ_Proxy_SetLog: prints its notice, then stores the values.
  void SetLog(void *user_data, LogCallback callback, int32_t min_level);

  void Write(const char *file, int32_t line, const char *function, int32_t level, const char *tag,
             const char *format, ...) TQ_PRINTF_FORMAT(7, 8);
  void WriteV(const char *file, int32_t line, const char *function, int32_t level, const char *tag,
              const char *format, va_list args);

  // At process exit a thread that the system ended may have died holding
  // the lock; from then on the sink only tries it, and calls no callback.
  void SetProcessExiting() { process_exiting.store(true); }

  struct PendingLine {
    int32_t level;
    std::string text;
  };

  LogSink(const LogSink &) = delete;
  LogSink &operator=(const LogSink &) = delete;

 private:
  LogSink() = default;

  bool PassesDeliveryTest(int32_t level) const;  // requires mutex
  bool Acquire(std::unique_lock<std::mutex> &lock);
  void DeliverLocked(int32_t level, const char *text);
  static void WriteToStdout(const char *text);

  LogCallback callback = nullptr;
  void *user_data = nullptr;
  std::mutex mutex;
  int32_t min_level = kLogLevelDebug;

  // While a callback runs, its thread holds `mutex` (t_delivering_log). A
  // callback that logs or calls TQ_Proxy_SetLog re-enters on that thread;
  // the mutex is not recursive, so those calls must not lock it again.
  // Lines written from inside a callback, delivered after it returns.
  std::vector<PendingLine> pending;
  std::atomic<bool> process_exiting{false};
};

}  // namespace TqProxy
