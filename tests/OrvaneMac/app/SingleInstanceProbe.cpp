// A copy of "the host" for the single-instance tests: registers in DIR with
// the given launch time and prints "quit" when the rule tells it to end.
//   orvane_single_instance_probe DIR LAUNCH_TIME

#include <cstdio>
#include <cstdlib>

#include "OrvaneCore/runtime/Clock.h"
#include "OrvaneCore/runtime/GLibExecutor.h"
#include "OrvaneMac/app/SingleInstance.h"

int main(int argc, char** argv) {
  if (argc != 3) return 2;
  orvane::SystemClock clock;
  orvane::GLibExecutor main(clock);
  orvane::app::SingleInstance::Options options;
  options.directory = argv[1];
  options.launchTime = std::strtoull(argv[2], nullptr, 10);
  orvane::app::SingleInstance instance(main, options, [&] {
    std::puts("quit");
    std::fflush(stdout);
    main.quit();
  });
  if (!instance.start()) return 1;
  std::puts("registered");
  std::fflush(stdout);
  main.run();
  return 0;
}
