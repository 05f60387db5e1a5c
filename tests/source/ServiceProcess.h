// Runs the reference range service (tools/range-service) as a separate
// process for the duration of a test.
#pragma once

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

extern char** environ;

namespace kf::test {

class ServiceProcess {
 public:
  // Starts the service and waits for its "ready" line. `ok()` tells whether
  // it came up.
  explicit ServiceProcess(std::vector<std::string> args) {
    args.insert(args.begin(), KERFLINE_RANGE_SERVICE);
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    int out[2];
    if (pipe(out) != 0) return;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_addclose(&actions, out[0]);
    if (posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
    close(out[1]);
    FILE* f = fdopen(out[0], "r");
    char line[512] = {0};
    if (pid_ > 0 && f && fgets(line, sizeof line, f)) ready_ = std::string(line).rfind("ready ", 0) == 0;
    if (f) fclose(f);
  }
  ~ServiceProcess() { stop(); }
  bool ok() const { return ready_; }
  pid_t pid() const { return pid_; }
  // Sends `sig` (SIGKILL, SIGSTOP, SIGCONT…) without waiting.
  void signal(int sig) {
    if (pid_ > 0) kill(pid_, sig);
  }
  // SIGTERM (and SIGCONT, for a stopped service), then waits; returns the
  // exit status.
  int stop() {
    if (pid_ <= 0) return -1;
    kill(pid_, SIGTERM);
    kill(pid_, SIGCONT);
    int status = 0;
    waitpid(pid_, &status, 0);
    pid_ = -1;
    return status;
  }

 private:
  pid_t pid_ = -1;
  bool ready_ = false;
};

}  // namespace kf::test
