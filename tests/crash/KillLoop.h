#pragma once

#include <signal.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <exception>
#include <functional>
#include <new>
#include <optional>
#include <random>
#include <string>
#include <thread>

namespace orvane::test {

// Kills a writer process at random moments and checks what it leaves behind.
//
// The writer (a forked child) performs write 1, 2, 3, ... of a deterministic
// sequence and publishes the index of each write that returned. After the
// SIGKILL the stored state must be exactly the state after the last published
// write or after the one in flight: nothing in between, nothing older. The
// next writer resumes after whichever it was, so every round also proves the
// store still opens and works on what the previous one left.
class KillLoop {
 public:
  // Performs writes first, first + 1, ... forever, calling published(i) after each.
  using Writer = std::function<void(std::int64_t first, const std::function<void(std::int64_t)>& published)>;
  // Whether the stored state is the one after write i (0 = before any).
  using Matches = std::function<bool(std::int64_t i)>;

  struct Outcome {
    int kills = 0;
    int caughtInFlight = 0;  // rounds whose in-flight write had already landed
    std::int64_t writes = 0;  // the final state's index
    std::string failure;     // empty when every round left a valid state
  };

  explicit KillLoop(std::uint32_t seed) : random_(seed) {
    void* shared = ::mmap(nullptr, sizeof(Shared), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    shared_ = shared == MAP_FAILED ? nullptr : new (shared) Shared;
  }
  ~KillLoop() {
    if (shared_ != nullptr) ::munmap(shared_, sizeof(Shared));
  }
  KillLoop(const KillLoop&) = delete;
  KillLoop& operator=(const KillLoop&) = delete;

  // Half the kills land while the writer may still be opening the store, the
  // other half after its first write, within `maxDelay` of it.
  Outcome run(int kills, const Writer& writer, const Matches& matches,
              std::chrono::microseconds maxDelay = std::chrono::milliseconds(4)) {
    Outcome outcome;
    if (shared_ == nullptr) return fail(outcome, "no shared memory");
    std::int64_t state = 0;
    for (int round = 0; round < kills; ++round) {
      shared_->published.store(state, std::memory_order_relaxed);
      const pid_t child = ::fork();
      if (child < 0) return fail(outcome, "fork failed");
      if (child == 0) runChild(writer, state + 1);
      const bool afterFirstWrite = round % 2 == 1;
      if (afterFirstWrite && !waitForPublished(state + 1, child)) {
        reap(child);
        return fail(outcome, "round " + std::to_string(round) + ": the writer made no write within 20 s");
      }
      const auto delay = std::uniform_int_distribution<std::int64_t>(0, maxDelay.count())(random_);
      std::this_thread::sleep_for(std::chrono::microseconds(delay));
      ::kill(child, SIGKILL);
      const int status = reap(child);
      if (!WIFSIGNALED(status) || WTERMSIG(status) != SIGKILL) {
        return fail(outcome, "round " + std::to_string(round) + ": the writer ended by itself (status " +
                                 std::to_string(status) + ")");
      }
      ++outcome.kills;
      const std::int64_t acked = shared_->published.load(std::memory_order_acquire);
      if (matches(acked)) {
        state = acked;
      } else if (matches(acked + 1)) {
        state = acked + 1;
        ++outcome.caughtInFlight;
      } else {
        return fail(outcome, "round " + std::to_string(round) + ": after write " + std::to_string(acked) +
                                 " the store holds neither that state nor the next");
      }
      outcome.writes = state;
    }
    return outcome;
  }

 private:
  struct Shared {
    std::atomic<std::int64_t> published{0};
  };

  static Outcome fail(Outcome outcome, std::string why) {
    outcome.failure = std::move(why);
    return outcome;
  }

  [[noreturn]] void runChild(const Writer& writer, std::int64_t first) {
    try {
      writer(first, [this](std::int64_t i) { shared_->published.store(i, std::memory_order_release); });
      std::fprintf(stderr, "writer returned\n");
    } catch (const std::exception& e) {
      std::fprintf(stderr, "writer failed: %s\n", e.what());
    } catch (...) {
      std::fprintf(stderr, "writer failed\n");
    }
    ::_exit(3);  // no test framework teardown in the child
  }

  bool waitForPublished(std::int64_t index, pid_t child) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (shared_->published.load(std::memory_order_acquire) < index) {
      if (std::chrono::steady_clock::now() > deadline || ::waitpid(child, nullptr, WNOHANG) == child) return false;
      std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    return true;
  }

  static int reap(pid_t child) {
    ::kill(child, SIGKILL);
    int status = 0;
    while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    return status;
  }

  std::mt19937 random_;
  Shared* shared_ = nullptr;
};

}  // namespace orvane::test
