// Runs tests/speech_server.py as a child process for one test: on a free
// port of 127.0.0.1, with a JSON script, writing its frame log into a
// folder of its own. The server is stopped, and the folder removed, when the
// object goes.
//
//   SpeechServer server(R"({"text_reply": [{"word": "hi"}, {"end": true}]})");
//   ASSERT_TRUE(server.running()) << server.error();
//   ... connect to server.port() ...
//   auto frames = server.frames();   // what the server received, in order
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "scratch_dir.h"

extern char** environ;


namespace orvelle_test {

// One frame the server received ("frame" line of its log).
struct ServerFrame {
  int conn = 0;
  unsigned type = 0;
  unsigned long stream = 0;
  unsigned long length = 0;
  unsigned long trailer = 0;
  bool ok = false;
  std::string data;  // the data bytes, decoded from hex
};

// The value of key=value in a log line, or "" when absent.
inline std::string log_field(const std::string& line, const std::string& key) {
  std::string needle = " " + key + "=";
  std::size_t at = line.find(needle);
  if (at == std::string::npos) return "";
  at += needle.size();
  std::size_t end = line.find(' ', at);
  return line.substr(at, end == std::string::npos ? std::string::npos : end - at);
}

inline std::string from_hex(const std::string& hex) {
  auto digit = [](char c) { return c <= '9' ? c - '0' : (c | 0x20) - 'a' + 10; };
  std::string out;
  out.reserve(hex.size() / 2);
  for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
    out.push_back(static_cast<char>(digit(hex[i]) << 4 | digit(hex[i + 1])));
  }
  return out;
}

inline std::string to_hex(const std::string& bytes) {
  static const char digits[] = "0123456789abcdef";
  std::string out;
  for (unsigned char c : bytes) {
    out.push_back(digits[c >> 4]);
    out.push_back(digits[c & 15]);
  }
  return out;
}

class SpeechServer {
 public:
  explicit SpeechServer(const std::string& script_json = "{}") { start(script_json); }
  ~SpeechServer() { stop(); }
  SpeechServer(const SpeechServer&) = delete;
  SpeechServer& operator=(const SpeechServer&) = delete;

  bool running() const { return pid_ > 0 && port_ > 0; }
  int port() const { return port_; }
  const std::string& error() const { return error_; }
  const std::string& log_path() const { return log_path_; }

  // Complete lines only: a line the server is still writing is left out.
  std::vector<std::string> log_lines() const {
    std::vector<std::string> lines;
    std::ifstream in(log_path_, std::ios::binary);
    std::stringstream all;
    all << in.rdbuf();
    const std::string text = all.str();
    std::size_t start = 0;
    for (std::size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1) {
      lines.push_back(text.substr(start, end - start));
    }
    return lines;
  }

  std::vector<ServerFrame> frames() const {
    std::vector<ServerFrame> out;
    for (const std::string& line : log_lines()) {
      if (line.rfind("frame ", 0) != 0) continue;
      ServerFrame f;
      f.conn = std::atoi(log_field(line, "conn").c_str());
      f.type = static_cast<unsigned>(std::stoul(log_field(line, "type")));
      f.stream = std::stoul(log_field(line, "stream"));
      f.length = std::stoul(log_field(line, "length"));
      f.trailer = std::stoul(log_field(line, "trailer"));
      f.ok = log_field(line, "ok") == "1";
      f.data = from_hex(log_field(line, "data"));
      out.push_back(f);
    }
    return out;
  }

  // Waits until at least count log lines begin with kind (e.g. "frame",
  // "disconnect"); false after timeout_ms.
  bool wait_for(const std::string& kind, std::size_t count, int timeout_ms = 10000) const {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
      std::size_t n = 0;
      for (const std::string& line : log_lines()) {
        if (line.rfind(kind + " ", 0) == 0 || line == kind) ++n;
      }
      if (n >= count) return true;
      if (std::chrono::steady_clock::now() > deadline) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
  }

  void stop() {
    if (pid_ > 0) {
      ::kill(pid_, SIGTERM);
      int status = 0;
      while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
      }
      pid_ = -1;
    }
    if (pipe_ >= 0) {
      ::close(pipe_);
      pipe_ = -1;
    }
  }

 private:
  void start(const std::string& script_json) {
    log_path_ = dir_.Path("frames.log");
    script_path_ = dir_.Path("script.json");
    {
      std::ofstream script(script_path_);
      script << script_json;
    }

    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) {
      error_ = "cannot make a pipe";
      return;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
    std::vector<std::string> args = {ORVELLE_PYTHON, ORVELLE_SPEECH_SERVER, "--port",   "0",
                                      "--script",     script_path_,          "--log", log_path_};
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    pid_t pid = -1;
    int rc = ::posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(fds[1]);
    pipe_ = fds[0];
    if (rc != 0) {
      error_ = std::string("cannot start the speech server: ") + std::strerror(rc);
      return;
    }
    pid_ = pid;

    // The server prints "LISTENING <port>" once it accepts connections.
    std::string line;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (line.find('\n') == std::string::npos) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0) {
        error_ = "the speech server did not start in time";
        return;
      }
      pollfd p{pipe_, POLLIN, 0};
      if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) continue;
      char c[256];
      ssize_t n = ::read(pipe_, c, sizeof c);
      if (n <= 0) {
        error_ = "the speech server ended before it listened";
        return;
      }
      line.append(c, static_cast<std::size_t>(n));
    }
    if (line.rfind("LISTENING ", 0) == 0) port_ = std::atoi(line.c_str() + 10);
    if (port_ <= 0) error_ = "unexpected first line from the speech server: " + line;
  }

  pid_t pid_ = -1;
  int pipe_ = -1;
  int port_ = 0;
  ScratchDir dir_;  // goes after the destructor has stopped the server
  std::string log_path_, script_path_, error_;
};

}  // namespace orvelle_test
