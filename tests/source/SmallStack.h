// Runs a function on a thread with a small stack, so that a test fails
// (crashes) when the code under test recurses with its input's size.
#pragma once

#include <pthread.h>

#include <functional>
#include <stdexcept>

namespace kf::test {

inline void RunOnSmallStack(std::function<void()> fn, std::size_t stackBytes = 256 * 1024) {
  pthread_attr_t attr;
  pthread_attr_init(&attr);
  pthread_attr_setstacksize(&attr, stackBytes);
  pthread_t thread;
  auto trampoline = [](void* arg) -> void* {
    (*static_cast<std::function<void()>*>(arg))();
    return nullptr;
  };
  if (pthread_create(&thread, &attr, trampoline, &fn) != 0) throw std::runtime_error("pthread_create");
  pthread_join(thread, nullptr);
  pthread_attr_destroy(&attr);
}

}  // namespace kf::test
