#include "OrvaneCore/runtime/Executor.h"

#include <cstdio>
#include <cstdlib>

namespace orvane {

void Executor::threadRuleBroken(const Origin& where) {
  std::fprintf(stderr, "%s:%u: %s runs off its executor's thread\n", where.file_name(),
               static_cast<unsigned>(where.line()), where.function_name());
  std::fflush(stderr);
  std::abort();
}

}  // namespace orvane
