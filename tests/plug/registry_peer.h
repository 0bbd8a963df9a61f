// One running copy of the tool's registry code in a process of its own
// (plug_registry_peer), driven command by command over a pipe, so the order of events
// is the test's and not the scheduler's. PLUG_REGISTRY_PEER names the program.
#pragma once
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

extern char** environ;

struct Reply {
  std::vector<std::string> Boxes;  // "title|text"
  std::string Answer;
};

class Peer {
 public:
  Peer() {
    int toPeer[2], fromPeer[2];
    if (pipe2(toPeer, O_CLOEXEC) != 0 || pipe2(fromPeer, O_CLOEXEC) != 0) return;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, toPeer[0], 0);
    posix_spawn_file_actions_adddup2(&actions, fromPeer[1], 1);
    char* argv[] = {const_cast<char*>(PLUG_REGISTRY_PEER), nullptr};
    if (posix_spawn(&pid_, PLUG_REGISTRY_PEER, &actions, nullptr, argv, environ) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
    close(toPeer[0]);
    close(fromPeer[1]);
    in_ = toPeer[1];
    out_ = fromPeer[0];
  }
  ~Peer() {
    Kill();
    if (in_ >= 0) close(in_);
    if (out_ >= 0) close(out_);
  }
  pid_t Pid() const { return pid_; }

  void Send(const std::string& command) {
    const std::string line = command + "\n";
    if (write(in_, line.data(), line.size()) != static_cast<ssize_t>(line.size())) {
      ADD_FAILURE() << "peer gone before: " << command;
    }
  }
  Reply Receive() {
    Reply reply;
    while (true) {
      const std::string answer = ReadLine();
      if (answer.rfind("box ", 0) == 0) {
        reply.Boxes.push_back(answer.substr(4));
        continue;
      }
      EXPECT_FALSE(answer.empty()) << "peer gave no answer";
      reply.Answer = answer;
      return reply;
    }
  }
  Reply Ask(const std::string& command) {
    Send(command);
    return Receive();
  }

  // The orderly end: the exit sequence, then the process ends.
  void Exit() {
    EXPECT_EQ(Ask("exit").Answer, "exited");
    Reap();
  }
  // A crash: no exit sequence at all.
  void Kill() {
    if (pid_ <= 0) return;
    kill(pid_, SIGKILL);
    Reap();
  }

 private:
  void Reap() {
    if (pid_ > 0) waitpid(pid_, nullptr, 0);
    pid_ = -1;
  }

  std::string ReadLine() {
    while (true) {
      const size_t end = buffer_.find('\n');
      if (end != std::string::npos) {
        std::string line = buffer_.substr(0, end);
        buffer_.erase(0, end + 1);
        return line;
      }
      pollfd ready{out_, POLLIN, 0};
      char chunk[4096];
      if (poll(&ready, 1, 60000) <= 0) return "";
      const ssize_t got = read(out_, chunk, sizeof chunk);
      if (got <= 0) return "";
      buffer_.append(chunk, static_cast<size_t>(got));
    }
  }

  pid_t pid_ = -1;
  int in_ = -1;
  int out_ = -1;
  std::string buffer_;
};
