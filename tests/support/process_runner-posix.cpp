#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <stdexcept>

#include "support/process_runner.h"

namespace quarry::testing {
namespace {

[[noreturn]] void startChild(const std::string& program, const std::vector<std::string>& arguments,
                             const ProcessOptions& options, int outFd, int errFd) {
  const int nullFd = open("/dev/null", O_RDONLY);
  dup2(nullFd, 0);
  dup2(outFd, 1);
  dup2(errFd, 2);
  for (const auto& [name, value] : options.environment) setenv(name.c_str(), value.c_str(), 1);
  // The program starts with the default actions, whatever the test runner set.
  signal(SIGPIPE, SIG_DFL);
  signal(SIGXFSZ, SIG_DFL);
  if (options.fileSizeLimit) {
    const rlimit limit{*options.fileSizeLimit, *options.fileSizeLimit};
    setrlimit(RLIMIT_FSIZE, &limit);
  }
  if (options.descriptorLimit) {
    const rlimit limit{*options.descriptorLimit, *options.descriptorLimit};
    setrlimit(RLIMIT_NOFILE, &limit);
  }
  if (!options.outFile.empty()) {
    const int file = open(options.outFile.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0666);
    dup2(file, 1);
    close(file);
  }
  if (!options.workingDirectory.empty() && chdir(options.workingDirectory.c_str()) != 0) _exit(126);
  std::vector<char*> argv{const_cast<char*>(program.c_str())};
  for (const std::string& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
  argv.push_back(nullptr);
  execv(program.c_str(), argv.data());
  _exit(127);
}

using Clock = std::chrono::steady_clock;

// Reads both pipes to their ends, whichever has data, so neither fills up and stalls; past
// the deadline the child is killed, which closes them.
void drain(int fds[2], pid_t child, Clock::time_point deadline, ProcessResult& result) {
  pollfd polled[2] = {{fds[0], POLLIN, 0}, {fds[1], POLLIN, 0}};
  std::string* sinks[2] = {&result.out, &result.err};
  int open = (fds[0] >= 0) + (fds[1] >= 0);
  while (open > 0) {
    if (!result.timedOut && Clock::now() > deadline) {
      kill(child, SIGKILL);
      result.timedOut = true;
    }
    if (poll(polled, 2, 200) <= 0) continue;
    for (int k = 0; k < 2; ++k) {
      if (polled[k].fd < 0 || polled[k].revents == 0) continue;
      char buffer[65536];
      const ssize_t got = read(polled[k].fd, buffer, sizeof buffer);
      if (got > 0) {
        sinks[k]->append(buffer, static_cast<std::size_t>(got));
      } else {
        close(polled[k].fd);
        polled[k].fd = -1;
        --open;
      }
    }
  }
}

int waitFor(pid_t child, Clock::time_point deadline, ProcessResult& result) {
  int status = 0;
  for (;;) {
    rusage usage{};
    const pid_t done = wait4(child, &status, WNOHANG, &usage);
    if (done == child) {
      result.peakKiB = static_cast<std::uint64_t>(usage.ru_maxrss);
      break;
    }
    if (!result.timedOut && Clock::now() > deadline) {
      kill(child, SIGKILL);
      result.timedOut = true;
    }
    usleep(10000);
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

}  // namespace

ProcessResult runProcess(const std::string& program, const std::vector<std::string>& arguments,
                         const ProcessOptions& options) {
  int outPipe[2];
  int errPipe[2];
  if (pipe(outPipe) != 0 || pipe(errPipe) != 0) throw std::runtime_error("pipe failed");
  for (const int end : {outPipe[0], outPipe[1], errPipe[0], errPipe[1]}) {
    fcntl(end, F_SETFD, FD_CLOEXEC);  // the child's copies close at exec
  }
  // A reader that has gone: the child's copy of the read end closes at exec.
  if (options.outReaderGone) outPipe[0] = (close(outPipe[0]), -1);
  if (options.errReaderGone) errPipe[0] = (close(errPipe[0]), -1);
  const pid_t child = fork();
  if (child < 0) throw std::runtime_error("fork failed");
  if (child == 0) startChild(program, arguments, options, outPipe[1], errPipe[1]);
  close(outPipe[1]);
  close(errPipe[1]);
  const auto deadline = Clock::now() + std::chrono::seconds(options.timeoutSeconds);
  ProcessResult result;
  int readEnds[2] = {outPipe[0], errPipe[0]};
  drain(readEnds, child, deadline, result);
  result.exitCode = waitFor(child, deadline, result);
  return result;
}

}  // namespace quarry::testing
