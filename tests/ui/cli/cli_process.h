// tarnwick-cli run as a user runs it: its own process, arguments, a registry of the
// test's own, standard output read line by line as it comes (so a test can wait for a
// record before it acts), standard error collected, signals, and the exit status.
#pragma once
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <string>
#include <vector>

extern char** environ;

class CliProcess {
 public:
  explicit CliProcess(std::vector<std::string> arguments,
                      const std::string& program = TARNWICK_CLI) {
    int out[2], err[2];
    if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) return;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_adddup2(&actions, err[1], 2);
    std::vector<char*> argv{const_cast<char*>(program.c_str())};
    for (std::string& argument : arguments) argv.push_back(argument.data());
    argv.push_back(nullptr);
    if (posix_spawn(&pid_, program.c_str(), &actions, nullptr, argv.data(), environ) != 0) {
      pid_ = -1;
    }
    posix_spawn_file_actions_destroy(&actions);
    close(out[1]);
    close(err[1]);
    out_ = out[0];
    err_ = err[0];
  }
  ~CliProcess() {
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
    if (out_ >= 0) close(out_);
    if (err_ >= 0) close(err_);
  }
  CliProcess(const CliProcess&) = delete;
  CliProcess& operator=(const CliProcess&) = delete;

  // Reads standard output until a line satisfies the condition; false at the deadline
  // or when the program ends first.
  bool WaitForLine(const std::function<bool(const std::string&)>& condition, int seconds = 30) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    size_t checked = 0;
    while (std::chrono::steady_clock::now() < end) {
      const std::vector<std::string> lines = Lines();
      for (; checked < lines.size(); ++checked) {
        if (condition(lines[checked])) return true;
      }
      if (!ReadSome(100)) return false;
    }
    return false;
  }
  // Lines of standard output that contain this text, so far.
  int CountLines(const std::string& text) {
    int count = 0;
    for (const std::string& line : Lines()) count += line.find(text) != std::string::npos;
    return count;
  }
  void Signal(int signal) {
    if (pid_ > 0) kill(pid_, signal);
  }
  // Reads everything to the end and returns the exit status (-1: killed by a signal or
  // did not end in time).
  int Wait(int seconds = 60) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while (ReadSome(100) && std::chrono::steady_clock::now() < end) {
    }
    int status = 0;
    if (pid_ <= 0) return -1;
    // Its streams close as it exits, a moment before its status can be collected.
    pid_t ended = 0;
    while ((ended = waitpid(pid_, &status, WNOHANG)) == 0 &&
           std::chrono::steady_clock::now() < end) {
      usleep(1000);
    }
    if (ended == 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, &status, 0);
      pid_ = -1;
      ADD_FAILURE() << "tarnwick-cli did not end; its standard error:\n" << errText_;
      return -1;
    }
    pid_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

  const std::string& Out() const { return outText_; }
  const std::string& Err() const { return errText_; }
  std::vector<std::string> Lines() const {
    std::vector<std::string> lines;
    size_t start = 0;
    for (size_t end; (end = outText_.find('\n', start)) != std::string::npos; start = end + 1) {
      lines.push_back(outText_.substr(start, end - start));
    }
    return lines;
  }

 private:
  // Waits up to timeoutMs for output; false once both streams have ended.
  bool ReadSome(int timeoutMs) {
    pollfd fds[2] = {{out_, POLLIN, 0}, {err_, POLLIN, 0}};
    const nfds_t count = 2;
    if (out_ < 0 && err_ < 0) return false;
    if (poll(fds, count, timeoutMs) <= 0) return true;
    for (int i = 0; i < 2; ++i) {
      int& fd = i == 0 ? out_ : err_;
      if (fd < 0 || fds[i].revents == 0) continue;
      char chunk[65536];
      const ssize_t got = read(fd, chunk, sizeof chunk);
      if (got <= 0) {
        close(fd);
        fd = -1;
        continue;
      }
      (i == 0 ? outText_ : errText_).append(chunk, static_cast<size_t>(got));
    }
    return out_ >= 0 || err_ >= 0;
  }

  pid_t pid_ = -1;
  int out_ = -1;
  int err_ = -1;
  std::string outText_;
  std::string errText_;
};
