// The client's own log: one line per message on standard error, written
// whole when the message object goes out of scope.
//   <yyyymmdd hh:mm:ss.mmm UTC> <LEVEL>: <text>
// Use it only through FILE_LOG, which formats nothing for a level above the
// reporting level (INFO).
#pragma once

#include <cstdio>
#include <sstream>
#include <string>

#include "client/platform.h"

// Message levels; a lower number is more severe
enum TLogLevel { logERROR, logWARNING, logINFO, logDEBUG, logDEBUG1, logDEBUG2, logDEBUG3, logDEBUG4 };

// A message under construction
template <typename T>
class Log {
 public:
  Log();
  virtual ~Log();
  Log(const Log&) = delete;
  Log& operator=(const Log&) = delete;

  std::ostringstream& Get(TLogLevel level = logINFO);

  static TLogLevel ReportingLevel();
  static const char* ToString(TLogLevel level);

 protected:
  std::ostringstream os;
};

// The shared output stream (standard error) and the one write of a line
class Output2FILE {
 public:
  static FILE* Stream();
  static void Output(const std::string& message);
};

class FILELog : public Log<Output2FILE> {};

// The time stamp of a line: "%d%02d%02d %02d:%02d:%02d.%03d", now in UTC
std::string FormatLogTime(const platform::utc_time& time);
std::string NowTime();

#define FILE_LOG(level)                                                  \
  if ((level) > FILELog::ReportingLevel() || !Output2FILE::Stream()) { \
  } else                                                                 \
    FILELog().Get(level)
