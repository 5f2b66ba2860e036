// Memory properties: how far a piece of work raises the process's peak
// resident size. The work runs in a child process of its own, so what the
// test did before cannot hide it and what it leaves cannot spoil what the
// test does next.
#pragma once

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

namespace orvelle_test {

// Bytes by which `work()` raised the peak resident size of a child process
// forked to run it; -1 when the child could not be run or did not finish.
template <class Work>
int64_t PeakGrowthBytes(Work&& work) {
  int fds[2];
  if (pipe(fds) != 0) return -1;
  const pid_t child = fork();
  if (child < 0) {
    close(fds[0]);
    close(fds[1]);
    return -1;
  }
  if (child == 0) {
    close(fds[0]);
    rusage before{}, after{};
    getrusage(RUSAGE_SELF, &before);
    work();
    getrusage(RUSAGE_SELF, &after);
    // ru_maxrss counts kilobytes on Linux.
    const int64_t grown = (static_cast<int64_t>(after.ru_maxrss) - before.ru_maxrss) * 1024;
    const ssize_t wrote = write(fds[1], &grown, sizeof grown);
    _exit(wrote == static_cast<ssize_t>(sizeof grown) ? 0 : 1);
  }
  close(fds[1]);
  int64_t grown = -1;
  if (read(fds[0], &grown, sizeof grown) != static_cast<ssize_t>(sizeof grown)) grown = -1;
  close(fds[0]);
  int status = 0;
  pid_t waited;
  do waited = waitpid(child, &status, 0);
  while (waited < 0 && errno == EINTR);
  if (waited != child) return -1;
  return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? grown : -1;
}

}  // namespace orvelle_test
