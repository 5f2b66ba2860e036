// An application linked with the shared library that keeps its event log in
// a global object and returns from main while an asynchronous render still
// runs. Usage: exit_order_app <port> <output file>.
//
// The output file gets the log's lines when the log is destroyed, then "log
// destroyed"; an event that comes after that is written straight to the file
// as a "late" line. Each event line holds its type, the code of a call on its
// handle made inside the callback (0 while the handle is known) and the
// milliseconds since main began.
#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "client/orvelle.h"

namespace {

using Clock = std::chrono::steady_clock;

// Trivially destructible, so still usable after every object below is gone.
std::atomic<bool> log_gone{false};
int out_fd = -1;
CONNECTION_HANDLE handle = 0;
Clock::time_point began;

long long Ms() { return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - began).count(); }

void Write(const std::string& line) {
  if (::write(out_fd, line.data(), line.size()) < 0) std::_Exit(4);
}

struct EventLog {
  std::vector<std::string> lines;
  ~EventLog() {
    for (const std::string& line : lines) Write(line);
    Write("log destroyed " + std::to_string(Ms()) + "\n");
    log_gone = true;
  }
};

// Built before main, so before the first ovCreateConnection.
EventLog event_log;

int Record(void*, int type, void*, long) {
  const int known = ovSetUserData(handle, nullptr);
  const std::string line = std::to_string(type) + " " + std::to_string(known) + " " + std::to_string(Ms()) + "\n";
  if (log_gone) {
    Write("late " + line);
  } else {
    event_log.lines.push_back("event " + line);
  }
  return OV_SUCCESS;
}

}  // namespace

int main(int argc, char** argv) {
  began = Clock::now();
  if (argc != 3) return 2;
  out_fd = ::open(argv[2], O_WRONLY | O_CREAT | O_TRUNC, 0600);
  if (out_fd < 0) return 2;
  handle = ovCreateConnection();
  ovSetCallBack(handle, Record);
  if (ovOpenConnection(handle, "127.0.0.1", std::atoi(argv[1])) != OV_SUCCESS) return 3;
  if (ovRenderSpeechAsync(handle, "slow") != OV_SUCCESS) return 3;
  // The server answers with a word, then stalls: return in the stall.
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  return 0;
}
