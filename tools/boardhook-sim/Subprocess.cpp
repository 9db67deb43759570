#include "Subprocess.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace bootsim {

namespace {

struct Pipe {
  int fd[2] = {-1, -1};
  Pipe() {
    if (pipe2(fd, O_CLOEXEC) != 0) {
      throw SimulatorError(std::string("cannot create a pipe: ") + std::strerror(errno));
    }
  }
  ~Pipe() {
    CloseRead();
    CloseWrite();
  }
  void CloseRead() {
    if (fd[0] >= 0) close(fd[0]);
    fd[0] = -1;
  }
  void CloseWrite() {
    if (fd[1] >= 0) close(fd[1]);
    fd[1] = -1;
  }
};

bool WriteAll(int fd, const std::string &data) {
  size_t done = 0;
  while (done < data.size()) {
    const ssize_t n = write(fd, data.data() + done, data.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

// Feeds `input` to the child and drains its two outputs at the same time, so
// that neither side blocks on a full pipe; then waits for it.
ChildResult Collect(pid_t pid, int inFd, int outFd, int errFd, const std::string &input) {
  ChildResult result;
  size_t written = 0;
  if (inFd >= 0 && input.empty()) {
    close(inFd);
    inFd = -1;
  }
  if (inFd >= 0) fcntl(inFd, F_SETFL, O_NONBLOCK);
  while (outFd >= 0 || errFd >= 0) {
    pollfd fds[3];
    nfds_t count = 0;
    if (inFd >= 0) fds[count++] = {inFd, POLLOUT, 0};
    if (outFd >= 0) fds[count++] = {outFd, POLLIN, 0};
    if (errFd >= 0) fds[count++] = {errFd, POLLIN, 0};
    if (poll(fds, count, -1) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    for (nfds_t index = 0; index < count; index++) {
      if (fds[index].revents == 0) continue;
      const int fd = fds[index].fd;
      if (fd == inFd) {
        const ssize_t n = write(inFd, input.data() + written, input.size() - written);
        if (n > 0) written += static_cast<size_t>(n);
        if ((n < 0 && errno != EAGAIN && errno != EINTR) || written == input.size()) {
          close(inFd);
          inFd = -1;
        }
        continue;
      }
      char buffer[65536];
      const ssize_t n = read(fd, buffer, sizeof buffer);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) {
        close(fd);
        (fd == outFd ? outFd : errFd) = -1;
        continue;
      }
      (fd == outFd ? result.out : result.err).append(buffer, static_cast<size_t>(n));
    }
  }
  if (inFd >= 0) close(inFd);
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  if (WIFEXITED(status)) {
    result.exitCode = WEXITSTATUS(status);
  } else if (WIFSIGNALED(status)) {
    result.signal = WTERMSIG(status);
  }
  return result;
}

}  // namespace

std::string ChildResult::EndText() const {
  if (exitCode >= 0) return "exit status " + std::to_string(exitCode);
  return "signal " + std::to_string(signal) + " (" + strsignal(signal) + ")";
}

namespace {

// Starts `argv` with its stdin and stdout (and stderr, when `err` is given)
// on the pipes; the parent keeps their other ends. SimulatorError when the
// program cannot be started.
pid_t StartProgram(const std::vector<std::string> &argv, Pipe &in, Pipe &out, Pipe *err) {
  // A child that ends before reading all its input must not end the tool
  // through SIGPIPE; the write then fails and the child's status tells why.
  static const bool ignoringSigpipe = signal(SIGPIPE, SIG_IGN) != SIG_ERR;
  (void)ignoringSigpipe;
  Pipe exec;
  std::vector<char *> args;
  for (const std::string &arg : argv) args.push_back(const_cast<char *>(arg.c_str()));
  args.push_back(nullptr);
  std::fflush(nullptr);
  const pid_t pid = fork();
  if (pid < 0) throw SimulatorError(std::string("cannot fork: ") + std::strerror(errno));
  if (pid == 0) {
    dup2(in.fd[0], 0);
    dup2(out.fd[1], 1);
    if (err != nullptr) dup2(err->fd[1], 2);
    execv(args[0], args.data());
    // Tell the parent why the program did not start.
    const int code = errno;
    [[maybe_unused]] ssize_t n = write(exec.fd[1], &code, sizeof code);
    _exit(127);
  }
  in.CloseRead();
  out.CloseWrite();
  if (err != nullptr) err->CloseWrite();
  exec.CloseWrite();
  int execError = 0;
  if (read(exec.fd[0], &execError, sizeof execError) == sizeof execError) {
    int status = 0;
    waitpid(pid, &status, 0);
    throw SimulatorError("cannot start " + argv[0] + ": " + std::strerror(execError));
  }
  return pid;
}

}  // namespace

ChildResult RunProgram(const std::vector<std::string> &argv, const std::string &input) {
  Pipe in, out, err;
  const pid_t pid = StartProgram(argv, in, out, &err);
  ChildResult result = Collect(pid, in.fd[1], out.fd[0], err.fd[0], input);
  in.fd[1] = out.fd[0] = err.fd[0] = -1;  // Collect closed them
  return result;
}

LineServer::LineServer(const std::vector<std::string> &argv) : program_(argv.at(0)) {
  Pipe in, out;
  pid_ = StartProgram(argv, in, out, nullptr);
  std::swap(in_, in.fd[1]);
  std::swap(out_, out.fd[0]);
}

LineServer::~LineServer() {
  if (in_ >= 0) close(in_);
  if (out_ >= 0) close(out_);
  int status = 0;
  while (pid_ > 0 && waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
  }
}

std::string LineServer::Exchange(const std::string &line) {
  if (!WriteAll(in_, line + "\n")) {
    throw SimulatorError(program_ + " no longer takes input (it ended)");
  }
  for (;;) {
    const size_t end = pending_.find('\n');
    if (end != std::string::npos) {
      std::string answer = pending_.substr(0, end);
      pending_.erase(0, end + 1);
      return answer;
    }
    char buffer[65536];
    const ssize_t n = read(out_, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) throw SimulatorError(program_ + " ended without answering");
    pending_.append(buffer, static_cast<size_t>(n));
  }
}

ChildResult RunForked(const std::function<std::string()> &body) {
  Pipe out, err;
  std::fflush(nullptr);
  const pid_t pid = fork();
  if (pid < 0) throw SimulatorError(std::string("cannot fork: ") + std::strerror(errno));
  if (pid == 0) {
    out.CloseRead();
    err.CloseRead();
    dup2(err.fd[1], 2);
    int code = 0;
    try {
      code = WriteAll(out.fd[1], body()) ? 0 : 4;
    } catch (const std::exception &error) {
      std::fprintf(stderr, "%s\n", error.what());
      code = 3;
    }
    std::fflush(nullptr);
    // The child leaves at once: the parent's objects are the parent's to
    // destroy, and its exit handlers are not the child's to run.
    _exit(code);
  }
  out.CloseWrite();
  err.CloseWrite();
  ChildResult result = Collect(pid, -1, out.fd[0], err.fd[0], "");
  out.fd[0] = err.fd[0] = -1;
  return result;
}

}  // namespace bootsim
