#include "log/log_sink.h"

#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>
#include <new>

#include "thread_context.h"

namespace TqProxy {
namespace {

constexpr const char *kLibraryTag = "TqProxy";
constexpr const char *kLevelNames[] = {"", "DEBUG", "INFO", "WARN", "ERROR"};
// A callback that logs from inside itself (say, by sending) could feed
// itself forever; one outer line delivers at most this many nested lines.
constexpr size_t kMaxNestedLines = 1024;
constexpr size_t kStackLineSize = 1024;

const char *LevelName(int32_t level) {
  return level >= 0 && level <= kLogLevelError ? kLevelNames[level] : "";
}

// The file part of a source path: the text after the last '/'.
const char *FilePart(const char *file) {
  if (file == nullptr) return "";
  const char *slash = std::strrchr(file, '/');
  return slash != nullptr ? slash + 1 : file;
}

// The system runtime's printf family, with the arguments given in place.
int CountF(const char *format, ...) TQ_PRINTF_FORMAT(1, 2);
int CountF(const char *format, ...) {
  va_list args;
  va_start(args, format);
  const int n = platform::CountFormatted(format, args);
  va_end(args);
  return n;
}
int PrintF(char *out, size_t size, const char *format, ...) TQ_PRINTF_FORMAT(3, 4);
int PrintF(char *out, size_t size, const char *format, ...) {
  va_list args;
  va_start(args, format);
  const int n = platform::PrintFormatted(out, size, format, args);
  va_end(args);
  return n;
}

// "YYYY-MM-DD hh:mm:ss.mmm", local calendar time.
void FormatTimeText(char (&out)[64]) {
  std::tm local{};
  int millis = 0;
  platform::LocalTimeNow(&local, &millis);
  PrintF(out, sizeof(out), "%d-%02d-%02d %02d:%02d:%02d.%03d", local.tm_year + 1900,
         local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec, millis);
  out[sizeof(out) - 1] = '\0';
}

// "[time][LEVEL]<TqProxy>[tag][file->function:line] ", without the tag's
// part when there is none.
struct LinePrefix {
  char time_text[64];
  const char *level;
  const char *tag_open;
  const char *tag;
  const char *tag_close;
  const char *file;
  const char *function;
  int32_t line;

  // Its length without writing when `out` is null.
  int Write(char *out, size_t size) const {
    static constexpr const char kFormat[] = "[%s][%s]<%s>%s%s%s[%s->%s:%d] ";
    return out == nullptr ? CountF(kFormat, time_text, level, kLibraryTag, tag_open, tag, tag_close,
                                   file, function, line)
                          : PrintF(out, size, kFormat, time_text, level, kLibraryTag, tag_open, tag,
                                   tag_close, file, function, line);
  }
};

// One conversion of the runtime's printf, with its own arguments.
template <class... Args>
void AppendFormatted(std::string &out, const std::string &spec, Args... args) {
  const int length = CountF(spec.c_str(), args...);
  if (length <= 0) return;
  std::vector<char> buffer(static_cast<size_t>(length) + 1);
  PrintF(buffer.data(), buffer.size(), spec.c_str(), args...);
  out.append(buffer.data(), static_cast<size_t>(length));
}

template <class T>
void AppendWithStars(std::string &out, const std::string &spec, const int *stars, int star_count,
                     T value) {
  if (star_count == 0) AppendFormatted(out, spec, value);
  if (star_count == 1) AppendFormatted(out, spec, stars[0], value);
  if (star_count == 2) AppendFormatted(out, spec, stars[0], stars[1], value);
}

// A wide character as the runtime writes it in the C locale: the byte of
// the same value, or '?' where there is none.
char NarrowChar(wchar_t c) { return static_cast<unsigned>(c) < 0x100 ? static_cast<char>(c) : '?'; }

// The message of `format` as the runtime's printf makes it, except that
// wide texts and characters are converted here, each character that the C
// locale cannot write becoming '?'.
std::string FormatSubstituting(const char *format, va_list args) {
  std::string out;
  for (const char *p = format; *p != '\0';) {
    if (*p != '%') {
      out += *p++;
      continue;
    }
    const char *const start = p++;
    int stars[2];
    int star_count = 0;
    while (*p != '\0' && std::strchr("-+ #0", *p) != nullptr) ++p;
    for (int field = 0; field < 2; ++field) {  // width, then precision after a '.'
      if (field == 1 && *p++ != '.') {
        --p;
        break;
      }
      if (*p == '*') {
        stars[star_count++] = va_arg(args, int);
        ++p;
      }
      while (*p >= '0' && *p <= '9') ++p;
    }
    const char *const length = p;
    while (*p != '\0' && std::strchr("hlLwIqjzt3264", *p) != nullptr) ++p;
    const std::string size(length, p);
    const char conversion = *p;
    if (conversion == '\0') break;
    ++p;
    std::string spec(start, length);  // flags, width and precision
    const bool wide_size = size == "l" || size == "w";
    const bool long_long = size == "ll" || size == "I64" || size == "q" || size == "L" ||
                           (size == "l" && sizeof(long) == sizeof(long long));
    const bool pointer_size = size == "I" || size == "z" || size == "j" || size == "t";
    switch (conversion) {
      case '%':
        out += '%';
        break;
      case 'd':
      case 'i':
      case 'o':
      case 'u':
      case 'x':
      case 'X':
        spec += (long_long || pointer_size) ? TQ_FORMAT_LL : "";
        spec += conversion;
        if (long_long || pointer_size) {
          AppendWithStars(out, spec, stars, star_count, va_arg(args, long long));
        } else {
          AppendWithStars(out, spec, stars, star_count, va_arg(args, int));  // or a 32-bit long
        }
        break;
      case 'e':
      case 'E':
      case 'f':
      case 'F':
      case 'g':
      case 'G':
      case 'a':
      case 'A':
        AppendWithStars(out, spec + conversion, stars, star_count, va_arg(args, double));
        break;
      case 'p':
        AppendWithStars(out, spec + 'p', stars, star_count, va_arg(args, void *));
        break;
      case 'n':
        (void)va_arg(args, void *);  // writes nothing here
        break;
      case 'c':
      case 'C': {
        const int c = va_arg(args, int);
        const bool wide = conversion == 'C' ? size != "h" : wide_size;
        AppendWithStars(
            out, spec + 'c', stars, star_count,
            wide ? static_cast<int>(static_cast<unsigned char>(NarrowChar(static_cast<wchar_t>(c))))
                 : c);
        break;
      }
      case 's':
      case 'S': {
        const bool wide = conversion == 'S' ? size != "h" : wide_size;
        if (!wide) {
          AppendWithStars(out, spec + 's', stars, star_count, va_arg(args, const char *));
          break;
        }
        const wchar_t *text = va_arg(args, const wchar_t *);
        std::string narrow = text != nullptr ? "" : "(null)";
        for (; text != nullptr && *text != L'\0'; ++text) narrow += NarrowChar(*text);
        AppendWithStars(out, spec + 's', stars, star_count, narrow.c_str());
        break;
      }
      default:  // not a conversion: kept as written, nothing consumed
        out.append(start, p);
        break;
    }
  }
  return out;
}

// Marks this thread as the one inside the callback; clears the mark and
// any undelivered nested lines even if a host callback unwinds.
class DeliveryScope {
 public:
  explicit DeliveryScope(std::vector<LogSink::PendingLine> &pending) : pending_(pending) {
    t_delivering_log = true;
  }
  ~DeliveryScope() {
    // Emptied with its memory, which would otherwise outlive an unload.
    if (pending_.capacity() != 0) std::vector<LogSink::PendingLine>().swap(pending_);
    t_delivering_log = false;
  }
  DeliveryScope(const DeliveryScope &) = delete;
  DeliveryScope &operator=(const DeliveryScope &) = delete;

 private:
  std::vector<LogSink::PendingLine> &pending_;
};

}  // namespace

LogSink &LogSink::Instance() {
  // Never destroyed: it must outlive the service object's destructor. Made
  // in the library's own storage, not on the heap, so that an unload takes
  // it along instead of leaving it behind.
  alignas(LogSink) static unsigned char storage[sizeof(LogSink)];
  static LogSink *const instance = new (storage) LogSink();
  return *instance;
}

bool LogSink::Acquire(std::unique_lock<std::mutex> &lock) {
  if (!process_exiting.load()) {
    lock.lock();
    return true;
  }
  return lock.try_lock();
}

bool LogSink::PassesDeliveryTest(int32_t level) const {
  return min_level != -1 && min_level <= level && level <= kLogLevelError;
}

void LogSink::SetLog(void *new_user_data, LogCallback new_callback, int32_t new_min_level) {
  // The runtime's own conventions for %p (16 upper-case digits), whatever
  // printf the compiler would pick; flushed so that it stays in order with
  // the lines that WriteFile puts on the same handle.
  char notice[256];
  char user_data_text[32];
  char callback_text[32];
  platform::PointerText(new_user_data, user_data_text);
  platform::PointerText(reinterpret_cast<void *>(new_callback), callback_text);
  PrintF(notice, sizeof(notice), "<%s> set log param, user data=%s, callback=%s, min level=%d\n",
         kLibraryTag, user_data_text, callback_text, new_min_level);
  notice[sizeof(notice) - 1] = '\0';
  std::fputs(notice, stdout);
  std::fflush(stdout);

  auto store = [&] {
    user_data = new_user_data;
    callback = new_callback;
    if (new_min_level >= -1 && new_min_level <= kLogLevelError) min_level = new_min_level;
  };
  if (t_delivering_log) {
    store();  // called from inside our own callback: the lock is already ours
  } else {
    std::lock_guard<std::mutex> lock(mutex);
    store();
  }
}

void LogSink::Write(const char *file, int32_t line, const char *function, int32_t level,
                    const char *tag, const char *format, ...) {
  va_list args;
  va_start(args, format);
  WriteV(file, line, function, level, tag, format, args);
  va_end(args);
}

void LogSink::WriteV(const char *file, int32_t line, const char *function, int32_t level,
                     const char *tag, const char *format, va_list args) {
  const bool nested = t_delivering_log;
  bool lock_lost = false;  // only at process exit
  {
    // Early filter: a line the callback would drop costs no formatting.
    std::unique_lock<std::mutex> lock(mutex, std::defer_lock);
    if (!nested) lock_lost = !Acquire(lock);
    if (!lock_lost && callback != nullptr && !PassesDeliveryTest(level)) return;
  }

  LinePrefix prefix{};
  FormatTimeText(prefix.time_text);
  prefix.level = LevelName(level);
  const bool has_tag = tag != nullptr && tag[0] != '\0';
  prefix.tag_open = has_tag ? "[" : "";
  prefix.tag = has_tag ? tag : "";
  prefix.tag_close = has_tag ? "]" : "";
  prefix.file = FilePart(file);
  prefix.function = function != nullptr ? function : "";
  prefix.line = line;
  if (format == nullptr) format = "";

  // Measure, then fill one zero-filled buffer: prefix, message, "\n", NUL.
  const int prefix_len = prefix.Write(nullptr, 0);
  va_list measure;
  va_copy(measure, args);
  int message_len = platform::CountFormatted(format, measure);
  va_end(measure);
  if (prefix_len < 0) return;
  // The runtime fails the whole message for one wide character that the C
  // locale cannot write: the message is then made here, with '?' for it.
  std::string substituted;
  if (message_len < 0) {
    va_list again;
    va_copy(again, args);
    substituted = FormatSubstituting(format, again);
    va_end(again);
    message_len = static_cast<int>(substituted.size());
  }

  // Most lines fit the stack: no allocation, which also keeps the line
  // written at process exit away from a heap lock a killed thread may hold.
  const size_t size = static_cast<size_t>(prefix_len) + static_cast<size_t>(message_len) + 4;
  char stack_text[kStackLineSize];
  std::unique_ptr<char[]> heap_text;
  if (size > sizeof(stack_text)) heap_text.reset(new char[size]);
  char *const text = heap_text ? heap_text.get() : stack_text;
  std::memset(text, 0, size);
  prefix.Write(text, static_cast<size_t>(prefix_len) + 1);
  if (!substituted.empty()) {
    std::memcpy(text + prefix_len, substituted.data(), substituted.size());
  } else if (message_len > 0) {
    platform::PrintFormatted(text + prefix_len, message_len + 1, format, args);
  }
  // _vsnprintf writes no NUL on an exact fit or overflow; the layout is ours.
  text[prefix_len + message_len] = '\n';
  text[prefix_len + message_len + 1] = '\0';

  if (nested) {
    DeliverLocked(level, text);
    return;
  }

  std::unique_lock<std::mutex> lock(mutex, std::defer_lock);
  if (lock_lost || !Acquire(lock)) {
    WriteToStdout(text);
    return;
  }
  if (!PassesDeliveryTest(level) && callback != nullptr) return;
  // At process exit the host's callback may belong to a module already
  // detached, or to a runtime already shut down: a line the callback would
  // have had goes to standard output instead.
  if (callback == nullptr || process_exiting.load() || !platform::HostCallbacksAllowed()) {
    lock.unlock();
    WriteToStdout(text);
    return;
  }

  DeliveryScope scope(pending);
  callback(user_data, level, text);
  // Lines that the callback itself caused, in order, under the same lock.
  for (size_t i = 0; i < pending.size(); ++i) {
    const PendingLine next = pending[i];
    if (callback == nullptr) {
      WriteToStdout(next.text.c_str());
    } else if (PassesDeliveryTest(next.level)) {
      callback(user_data, next.level, next.text.c_str());
    }
  }
}

void LogSink::DeliverLocked(int32_t level, const char *text) {
  if (callback == nullptr) {
    WriteToStdout(text);
  } else if (PassesDeliveryTest(level) && pending.size() < kMaxNestedLines) {
    pending.push_back(PendingLine{level, text});
  }
}

void LogSink::WriteToStdout(const char *text) { platform::WriteConsole(text); }

}  // namespace TqProxy
