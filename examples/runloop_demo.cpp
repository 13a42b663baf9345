// Shows the platform layer at work: the main run loop, a repeating timer on
// it, and a serial queue whose results come back to the main thread.
#include <chrono>
#include <cstdio>
#include <memory>

#include "Dispatch/DispatchQueue.h"
#include "Text/Format.h"
#include "RunLoop/RunLoop.h"
#include "Dispatch/Timer.h"
#include "Values/Value.h"

using namespace platform;

int main() {
  RunLoop mainLoop = RunLoop::main();
  auto worker = DispatchQueue::serial("com.example.demo.worker");
  int ticks = 0;
  int sums = 0;

  // Three ticks of a 50 ms timer on the main run loop.
  auto timer = Timer::scheduled(mainLoop, 0.05, true, [&](Timer& t) {
    std::printf("%s\n", format("tick %d (main thread: %@)", ++ticks, Value(DispatchQueue::isMainThread())).c_str());
    if (ticks == 3) t.invalidate();
  });

  // Work on the serial queue, one block at a time, each result hopping back
  // to the main queue in order.
  for (int n = 1; n <= 3; ++n) {
    worker->async([n, &sums] {
      long sum = 0;
      for (int i = 1; i <= n * 1000; ++i) sum += i;
      DispatchQueue::main()->async([n, sum, &sums] {
        std::printf("%s\n", format("sum of 1..%d = %ld, reported on the main thread", n * 1000, sum).c_str());
        ++sums;
      });
    });
  }

  const bool done = mainLoop.runUntil([&] { return ticks == 3 && sums == 3; }, std::chrono::seconds(10));
  std::printf("%s\n", done ? "done" : "timed out");
  return done ? 0 : 1;
}
