// Runs a program as a child process for tests of whole-program behaviour:
// its own environment (variables set or removed), standard output and
// standard error captured, a deadline after which it is killed.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace kf::testing {

struct ChildResult {
  int status = -1;       // exit status; -1 when killed by a signal
  int signal = 0;        // the signal that ended it, if any
  bool timedOut = false;
  std::string out, err;
};

struct ChildEnvironment {
  std::map<std::string, std::string> set;
  std::vector<std::string> unset;
};

inline std::string ReadWholeFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

class ChildProcess {
 public:
  ChildProcess(const std::string& program, const std::vector<std::string>& args, const ChildEnvironment& env = {}) {
    char outTemplate[] = "/tmp/kf-child-out-XXXXXX";
    char errTemplate[] = "/tmp/kf-child-err-XXXXXX";
    const int outFd = ::mkstemp(outTemplate);
    const int errFd = ::mkstemp(errTemplate);
    outPath_ = outTemplate;
    errPath_ = errTemplate;
    std::vector<std::string> envStrings;
    for (char** e = environ; *e; ++e) {
      const std::string entry(*e);
      const std::string name = entry.substr(0, entry.find('='));
      bool drop = env.set.count(name) > 0;
      for (const std::string& u : env.unset) drop = drop || u == name;
      if (!drop) envStrings.push_back(entry);
    }
    for (const auto& [k, v] : env.set) envStrings.push_back(k + "=" + v);
    std::vector<std::string> argStrings{program};
    argStrings.insert(argStrings.end(), args.begin(), args.end());
    std::vector<char*> argv, envp;
    for (auto& a : argStrings) argv.push_back(a.data());
    argv.push_back(nullptr);
    for (auto& e : envStrings) envp.push_back(e.data());
    envp.push_back(nullptr);
    pid_ = ::fork();
    if (pid_ == 0) {
      ::dup2(outFd, 1);
      ::dup2(errFd, 2);
      const int devNull = ::open("/dev/null", O_RDONLY);
      if (devNull >= 0) ::dup2(devNull, 0);
      ::execve(program.c_str(), argv.data(), envp.data());
      std::_Exit(127);
    }
    ::close(outFd);
    ::close(errFd);
  }
  ~ChildProcess() {
    if (pid_ > 0 && !reaped_) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
    std::remove(outPath_.c_str());
    std::remove(errPath_.c_str());
  }
  pid_t pid() const { return pid_; }
  // True while the child runs (not yet reaped).
  bool running() {
    if (reaped_) return false;
    int st = 0;
    const pid_t r = ::waitpid(pid_, &st, WNOHANG);
    if (r == pid_) {
      reaped_ = true;
      rawStatus_ = st;
      return false;
    }
    return true;
  }
  // Waits up to `seconds` for the child to end; kills it after that.
  ChildResult wait(double seconds) {
    ChildResult r;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (running()) {
      if (std::chrono::steady_clock::now() > deadline) {
        r.timedOut = true;
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, &rawStatus_, 0);
        reaped_ = true;
        break;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    if (WIFEXITED(rawStatus_)) r.status = WEXITSTATUS(rawStatus_);
    if (WIFSIGNALED(rawStatus_)) r.signal = WTERMSIG(rawStatus_);
    r.out = ReadWholeFile(outPath_);
    r.err = ReadWholeFile(errPath_);
    return r;
  }

 private:
  pid_t pid_ = -1;
  bool reaped_ = false;
  int rawStatus_ = 0;
  std::string outPath_, errPath_;
};

inline ChildResult RunChild(const std::string& program, const std::vector<std::string>& args,
                            const ChildEnvironment& env = {}, double seconds = 60) {
  ChildProcess child(program, args, env);
  return child.wait(seconds);
}

}  // namespace kf::testing
