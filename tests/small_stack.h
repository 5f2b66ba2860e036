// Runs a function on a thread whose stack is 1 MB, like a JVM thread's, so
// deep recursion in a parser shows up as a crash in the test.
#pragma once

#include <gtest/gtest.h>
#include <pthread.h>

#include <functional>

inline void RunOnSmallStack(const std::function<void()>& fn) {
  pthread_attr_t attr;
  ASSERT_EQ(pthread_attr_init(&attr), 0);
  ASSERT_EQ(pthread_attr_setstacksize(&attr, 1024 * 1024), 0);
  pthread_t thread;
  auto* job = new std::function<void()>(fn);
  ASSERT_EQ(pthread_create(
                &thread, &attr,
                [](void* arg) -> void* {
                  auto* f = static_cast<std::function<void()>*>(arg);
                  (*f)();
                  delete f;
                  return nullptr;
                },
                job),
            0);
  pthread_join(thread, nullptr);
  pthread_attr_destroy(&attr);
}
