// The main-thread hand-over on its own: a worker's Synchronize of an empty procedure while the
// main thread serves the queue as kyt-host's main loop does, against the floor for any hand-over
// between two threads that sleep while they wait (a ping-pong over a mutex and a condition
// variable: one wake-up each way).
//
//   bench_handover [round-trips=20000]
//
// Five rounds alternate between the two; the figures are medians. The thread switches per round
// trip (the process's voluntary context switches) are what a busy machine disturbs least.

#include <sys/resource.h>

#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#include "bench/bench_support.h"
#include "runtime/thread.h"

namespace kyt::bench {
namespace {

struct Figures {
  Latency latency;
  double switches = 0;  // per round trip
};

long Switches() {
  rusage usage{};
  ::getrusage(RUSAGE_SELF, &usage);
  return usage.ru_nvcsw;
}

// Times `count` round trips of `trip`, run by `Drive` (which starts what serves them).
template <class Drive>
Figures Measure(std::size_t count, Drive drive) {
  std::vector<double> us;
  us.reserve(count);
  const long before = Switches();
  drive([&](auto trip) {
    for (std::size_t i = 0; i < count; ++i) {
      const auto start = Clock::now();
      trip();
      us.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
    }
  });
  const double switches = static_cast<double>(Switches() - before) / static_cast<double>(count);
  return {{Percentile(us, 0.5), Percentile(us, 0.99)}, switches};
}

Figures HandOvers(std::size_t count) {
  return Measure(count, [](auto run) {
    std::atomic<bool> done{false};
    std::thread worker([&] {
      run([] { TThread::Synchronize([] {}); });
      done = true;
      TThread::Queue([] {});
    });
    while (!done) CheckSynchronize(std::chrono::milliseconds(200));
    worker.join();
  });
}

Figures PingPongs(std::size_t count) {
  return Measure(count, [count](auto run) {
    std::mutex mutex;
    std::condition_variable wake;
    std::size_t served = 0, asked = 0;
    std::thread other([&] {
      std::unique_lock lock(mutex);
      while (served < count) {
        wake.wait(lock, [&] { return asked > served; });
        ++served;
        wake.notify_all();
      }
    });
    run([&] {
      std::unique_lock lock(mutex);
      ++asked;
      wake.notify_all();
      wake.wait(lock, [&] { return served == asked; });
    });
    other.join();
  });
}

int Main(int argc, char** argv) {
  const std::size_t count = CountArgument(argc, argv, 1, 20000);
  InitMainThread();
  std::vector<Figures> handOvers, pingPongs;
  for (int round = 0; round < 5; ++round) {
    handOvers.push_back(HandOvers(count));
    pingPongs.push_back(PingPongs(count));
  }
  std::vector<Latency> hl, pl;
  for (const Figures& f : handOvers) hl.push_back(f.latency);
  for (const Figures& f : pingPongs) pl.push_back(f.latency);
  const Latency h = Median(hl), p = Median(pl);
  std::printf("Synchronize round trip vs a condition-variable ping-pong, %zu each, median of 5\n",
              count);
  PrintRatioHeader("Synchronize", "ping-pong");
  PrintRatioRow("round trip median (us)", h.medianUs, p.medianUs, 2);
  PrintRatioRow("round trip p99 (us)", h.p99Us, p.p99Us, 2);
  PrintRatioRow("thread switches per trip", MedianOf(handOvers, &Figures::switches),
                MedianOf(pingPongs, &Figures::switches), 2);
  return 0;
}

}  // namespace
}  // namespace kyt::bench

int main(int argc, char** argv) {
  return kyt::bench::Main(argc, argv);
}
