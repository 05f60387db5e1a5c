// The mpv command-line program driven over its JSON IPC socket, the
// reference the player benchmarks measure against, and the statistics they
// print.
#pragma once

#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace kf::bench {

using Clock = std::chrono::steady_clock;

inline double msSince(Clock::time_point t0) {
  return std::chrono::duration<double, std::milli>(Clock::now() - t0).count();
}

struct Stats {
  double median = 0, p90 = 0;
};
inline Stats stats(std::vector<double> v) {
  if (v.empty()) return {};
  std::sort(v.begin(), v.end());
  return {v[v.size() / 2], v[std::min(v.size() - 1, v.size() * 9 / 10)]};
}

inline std::string quoteJson(const std::string& s) {
  std::string out = "\"";
  for (char c : s) {
    if (c == '"' || c == '\\') out.push_back('\\');
    out.push_back(c);
  }
  return out + "\"";
}

class MpvCli {
 public:
  bool start(const std::string& socketPath) {
    socket_ = socketPath;
    std::filesystem::remove(socket_);
    const std::string ipc = "--input-ipc-server=" + socket_;
    std::vector<std::string> args = {"mpv",
                                     "--no-config",
                                     "--idle=yes",
                                     "--vo=null",
                                     "--ao=null",
                                     "--pause",
                                     "--keep-open=yes",
                                     "--no-terminal",
                                     "--hr-seek-framedrop=no",
                                     "--demuxer-lavf-o=advanced_editlist=1",
                                     ipc};
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    if (posix_spawnp(&pid_, "mpv", nullptr, nullptr, argv.data(), environ) != 0) return false;
    for (int i = 0; i < 500; ++i) {
      fd_ = ::socket(AF_UNIX, SOCK_STREAM, 0);
      sockaddr_un addr{};
      addr.sun_family = AF_UNIX;
      std::snprintf(addr.sun_path, sizeof addr.sun_path, "%s", socket_.c_str());
      if (::connect(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0) return true;
      ::close(fd_);
      fd_ = -1;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
  }
  ~MpvCli() {
    if (fd_ >= 0) {
      send(R"({"command":["quit"]})");
      ::close(fd_);
    }
    if (pid_ > 0) {
      int status = 0;
      for (int i = 0; i < 100 && waitpid(pid_, &status, WNOHANG) == 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
      if (waitpid(pid_, &status, WNOHANG) == 0) {
        kill(pid_, SIGKILL);
        waitpid(pid_, &status, 0);
      }
    }
    std::filesystem::remove(socket_);
  }
  void send(const std::string& json) {
    const std::string line = json + "\n";
    if (::write(fd_, line.data(), line.size()) < 0) std::perror("ipc write");
  }
  // Seeks exactly or to a keyframe and returns the milliseconds until the
  // player has restarted playback at the new position.
  double seek(double t, bool exact) {
    char cmd[256];
    const int rid = ++lastRequest_;
    std::snprintf(cmd, sizeof cmd, R"({"command":["seek",%.6f,"%s"],"request_id":%d})", t,
                  exact ? "absolute+exact" : "absolute+keyframes", rid);
    const auto t0 = Clock::now();
    send(cmd);
    waitFor("\"request_id\":" + std::to_string(rid));
    waitFor("\"event\":\"playback-restart\"");
    return msSince(t0);
  }
  // Reads lines until one contains `needle`; false on a closed socket.
  bool waitFor(const std::string& needle) {
    while (true) {
      auto nl = buffer_.find('\n');
      while (nl != std::string::npos) {
        const std::string line = buffer_.substr(0, nl);
        buffer_.erase(0, nl + 1);
        if (line.find(needle) != std::string::npos) return true;
        nl = buffer_.find('\n');
      }
      char buf[4096];
      const ssize_t n = ::read(fd_, buf, sizeof buf);
      if (n <= 0) return false;
      buffer_.append(buf, static_cast<std::size_t>(n));
    }
  }

 private:
  std::string socket_, buffer_;
  pid_t pid_ = -1;
  int fd_ = -1;
  int lastRequest_ = 100;  // seek request ids; lower ones are the callers'
};

}  // namespace kf::bench
