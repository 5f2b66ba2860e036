#include "client/clientlog.h"

#include <locale>

#include "client/platform.h"

std::string NowTime() { return FormatLogTime(platform::utc_now()); }

std::string FormatLogTime(const platform::utc_time& t) {
  char buffer[100] = {};
  std::snprintf(buffer, sizeof buffer, "%d%02d%02d %02d:%02d:%02d.%03d", t.year, t.month, t.day, t.hour,
                t.minute, t.second, t.millisecond);
  return buffer;
}

template <typename T>
Log<T>::Log() {
  // Numbers in a log line never take the host application's locale.
  os.imbue(std::locale::classic());
}

template <typename T>
std::ostringstream& Log<T>::Get(TLogLevel level) {
  os << NowTime() << ' ' << ToString(level) << ": ";
  return os;
}

template <typename T>
Log<T>::~Log() {
  os << '\n';
  T::Output(os.str());
}

template <typename T>
TLogLevel Log<T>::ReportingLevel() {
  return logINFO;
}

template <typename T>
const char* Log<T>::ToString(TLogLevel level) {
  static const char* const names[] = {"ERROR",  "WARNING", "INFO",   "DEBUG",
                                      "DEBUG1", "DEBUG2",  "DEBUG3", "DEBUG4"};
  if (level < logERROR || level > logDEBUG4) return "UNKNOWN";
  return names[level];
}

FILE* Output2FILE::Stream() {
  // A function-local static is set exactly once even when two threads log
  // their first line together.
  static FILE* stream = stderr;
  return stream;
}

void Output2FILE::Output(const std::string& message) {
  FILE* stream = Stream();
  if (!stream) return;
  // One write and a flush per line: lines of different threads never mix.
  std::fwrite(message.data(), 1, message.size(), stream);
  std::fflush(stream);
}

template class Log<Output2FILE>;
