// Reading a 1 GiB movie through the range loader, from the reference Larder
// service (a separate process) and from the local file service, against
// reading the file directly; prints the two ratios.
//
// Usage: kerfline_bench_source [--filled] [--mib N]
// The file is made in /tmp at run time (sparse unless --filled) and deleted
// afterwards.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "source/MGFileRangeService.h"
#include "source/MGLarderConnection.h"
#include "source/MGLarderRegistry.h"
#include "source/MGLarderServer.h"
#include "source/MGRangeAssetLoader.h"

extern char** environ;

namespace {

constexpr std::size_t kChunk = 524288;  // what the player asks for per read

double Seconds(std::chrono::steady_clock::time_point t0) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

// Sums the bytes so that no reader can skip the copy.
std::uint64_t Touch(const std::uint8_t* p, std::size_t n) {
  std::uint64_t s = 0;
  for (std::size_t i = 0; i < n; i += 4096) s += p[i];
  return s;
}

double ReadDirect(const std::string& path, std::uint64_t size, std::uint64_t& sum) {
  std::vector<std::uint8_t> buf(kChunk);
  int fd = open(path.c_str(), O_RDONLY);
  auto t0 = std::chrono::steady_clock::now();
  for (std::uint64_t at = 0; at < size;) {
    ssize_t n = pread(fd, buf.data(), buf.size(), static_cast<off_t>(at));
    if (n <= 0) break;
    sum += Touch(buf.data(), static_cast<std::size_t>(n));
    at += static_cast<std::uint64_t>(n);
  }
  double s = Seconds(t0);
  close(fd);
  return s;
}

double ReadThroughLoader(const std::shared_ptr<kf::MGRangeAssetLoader>& loader, std::uint64_t& sum,
                         bool& ok) {
  kf::MGBlockingRangeReader reader(loader);
  std::vector<std::uint8_t> buf(kChunk);
  auto t0 = std::chrono::steady_clock::now();
  std::uint64_t at = 0;
  while (at < reader.size()) {
    auto r = reader.read(at, buf.data(), buf.size());
    if (!r.ok() || *r == 0) break;
    sum += Touch(buf.data(), *r);
    at += *r;
  }
  ok = at == reader.size();
  return Seconds(t0);
}

}  // namespace

int main(int argc, char** argv) {
  bool filled = false;
  std::uint64_t mib = 1024;
  for (int i = 1; i < argc; ++i) {
    if (!std::strcmp(argv[i], "--filled"))
      filled = true;
    else if (!std::strcmp(argv[i], "--mib") && i + 1 < argc)
      mib = std::strtoull(argv[++i], nullptr, 10);
  }
  const std::uint64_t size = mib << 20;
  char tmpl[] = "/tmp/kf-bench-source-XXXXXX";
  std::string dir = mkdtemp(tmpl);
  std::filesystem::create_directories(dir + "/root");
  std::string path = dir + "/root/big.mp4";
  {
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (filled) {
      std::vector<std::uint8_t> block(1 << 20);
      for (std::size_t i = 0; i < block.size(); ++i) block[i] = static_cast<std::uint8_t>(i * 31 + 7);
      for (std::uint64_t i = 0; i < mib; ++i) {
        if (write(fd, block.data(), block.size()) != static_cast<ssize_t>(block.size())) return 1;
      }
    } else if (ftruncate(fd, static_cast<off_t>(size)) != 0) {
      return 1;
    }
    close(fd);
  }
  std::printf("file: %llu MiB, %s, read in %zu KiB pieces\n", static_cast<unsigned long long>(mib),
              filled ? "filled" : "sparse", kChunk / 1024);

  // The reference service, as its own process.
  std::string registry = dir + "/registry";
  std::vector<std::string> args{KERFLINE_RANGE_SERVICE, "--identifier", "bench", "--root",
                                dir + "/root",          "--registry",   registry};
  std::vector<char*> cargv;
  for (auto& a : args) cargv.push_back(a.data());
  cargv.push_back(nullptr);
  int out[2];
  if (pipe(out) != 0) return 1;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, out[1], 1);
  pid_t pid = -1;
  posix_spawn(&pid, cargv[0], &actions, nullptr, cargv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  close(out[1]);
  char line[512] = {0};
  FILE* f = fdopen(out[0], "r");
  bool ready = f && fgets(line, sizeof line, f) && std::strncmp(line, "ready ", 6) == 0;
  if (f) fclose(f);

  std::uint64_t sum = 0;
  double warm = ReadDirect(path, size, sum);  // brings a filled file into the page cache
  (void)warm;
  double direct = ReadDirect(path, size, sum);

  bool okLocal = false, okLarder = false;
  auto fileService = kf::MGFileRangeService::create(path);
  double local =
      ReadThroughLoader(kf::MGRangeAssetLoader::create(fileService, size, path, nullptr), sum, okLocal);

  double larder = -1;
  if (ready) {
    auto domain = kf::MGLookupLarderDomain(registry, "bench");
    auto conn =
        domain
            ? kf::MGLarderConnection::connect(domain->socketPath, kf::kLarderByteRangeServiceName, "big.mp4")
            : kf::Result<std::shared_ptr<kf::MGLarderConnection>>(kf::Error{"bench", 1, "no domain"});
    if (conn.ok()) {
      (*conn)->resume();
      larder = ReadThroughLoader(kf::MGRangeAssetLoader::create(*conn, size, path, *conn), sum, okLarder);
    }
  }
  if (pid > 0) {
    kill(pid, SIGTERM);
    waitpid(pid, nullptr, 0);
  }
  std::filesystem::remove_all(dir);

  auto rate = [&](double s) { return s > 0 ? static_cast<double>(mib) / s : 0.0; };
  std::printf("direct pread:            %7.3f s  %8.0f MiB/s\n", direct, rate(direct));
  std::printf("loader + file service:   %7.3f s  %8.0f MiB/s%s\n", local, rate(local),
              okLocal ? "" : "  (FAILED)");
  if (larder >= 0) {
    std::printf("loader + Larder service: %7.3f s  %8.0f MiB/s%s\n", larder, rate(larder),
                okLarder ? "" : "  (FAILED)");
  } else {
    std::printf("loader + Larder service: could not start the reference service\n");
  }
  std::printf("ratio file service / direct:   %.2f\n", local / direct);
  if (larder >= 0) std::printf("ratio Larder service / direct: %.2f\n", larder / direct);
  std::printf("(checksum %llu)\n", static_cast<unsigned long long>(sum));
  return okLocal && okLarder ? 0 : 1;
}
