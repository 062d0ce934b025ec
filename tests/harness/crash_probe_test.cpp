// Crashes on purpose, with a second thread alive as in the service's tests:
// scripts/crash-probe.sh runs it through CTest and requires a failure every time.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

TEST(CrashProbe, ReadsTheFirstElementOfAnEmptyVector) {
  std::atomic<bool> done{false};
  std::thread worker([&] {
    while (!done) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  });
  std::vector<int> empty;
  const volatile int *first = empty.data();
  EXPECT_EQ(first[0], 0);
  done = true;
  worker.join();
}
