// Launch to first picture, seen from outside: starts a program and watches
// the X server's screen until the movie's picture shows, so that the
// program and the reference player are timed by the same observer and the
// same rule (a picture drawn and presented, not a player's own notion of
// "ready").
//
//   kerfline_bench_first_picture R,G,B MIN_PIXELS -- PROGRAM [ARGS...]
//
// The picture counts as shown when at least MIN_PIXELS of the sampled
// pixels (every 8th pixel of every 16th row) are within 24 of the colour
// R,G,B in each channel: the generated movies carry a band of one colour
// under their frame number. Prints "first_picture_s=SECONDS" (from just
// before the program is started), then ends the program. Exit status 1 when
// nothing shows within 20 s.
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <vector>

namespace {

double Since(std::chrono::steady_clock::time_point t0) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

void Stop(pid_t child) {
  ::kill(child, SIGTERM);
  for (int i = 0; i < 200; ++i) {
    if (::waitpid(child, nullptr, WNOHANG) == child) return;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  ::kill(child, SIGKILL);
  ::waitpid(child, nullptr, 0);
}

}  // namespace

int main(int argc, char** argv) {
  int r = 0, g = 0, b = 0;
  if (argc < 5 || std::sscanf(argv[1], "%d,%d,%d", &r, &g, &b) != 3 || std::strcmp(argv[3], "--") != 0) {
    std::fprintf(stderr, "usage: %s R,G,B MIN_PIXELS -- PROGRAM [ARGS...]\n", argv[0]);
    return 2;
  }
  const long minPixels = std::atol(argv[2]);
  Display* display = XOpenDisplay(nullptr);
  if (!display) {
    std::fprintf(stderr, "no X display\n");
    return 2;
  }
  const Window root = DefaultRootWindow(display);
  const int width = DisplayWidth(display, DefaultScreen(display));
  const int height = DisplayHeight(display, DefaultScreen(display));

  const auto t0 = std::chrono::steady_clock::now();
  const pid_t child = ::fork();
  if (child == 0) {
    ::close(ConnectionNumber(display));
    if (FILE* null = std::fopen("/dev/null", "w")) {
      ::dup2(fileno(null), 1);
      ::dup2(fileno(null), 2);
    }
    ::execvp(argv[4], argv + 4);
    ::_exit(127);
  }
  if (child < 0) return 2;

  auto near = [](int a, int b) { return a - b <= 24 && b - a <= 24; };
  while (Since(t0) < 20) {
    long matching = 0;
    for (int y = 0; y < height && matching < minPixels; y += 16) {
      XImage* row = XGetImage(display, root, 0, y, width, 1, AllPlanes, ZPixmap);
      if (!row) continue;
      for (int x = 0; x < width; x += 8) {
        const unsigned long p = XGetPixel(row, x, 0);
        if (near(int((p >> 16) & 0xff), r) && near(int((p >> 8) & 0xff), g) && near(int(p & 0xff), b)) ++matching;
      }
      XDestroyImage(row);
    }
    if (matching >= minPixels) {
      std::printf("first_picture_s=%.3f\n", Since(t0));
      std::fflush(stdout);
      Stop(child);
      XCloseDisplay(display);
      return 0;
    }
    if (::waitpid(child, nullptr, WNOHANG) == child) {
      std::fprintf(stderr, "the program ended before its first picture\n");
      return 1;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  Stop(child);
  std::fprintf(stderr, "no picture within 20 s\n");
  return 1;
}
