#include "OrvaneCore/runtime/BlockingExecutor.h"

#include <pthread.h>

#include <algorithm>
#include <condition_variable>
#include <deque>
#include <list>
#include <mutex>
#include <thread>
#include <vector>

namespace orvane {

struct BlockingExecutor::State {
  std::mutex mutex;
  std::condition_variable idle;
  std::deque<std::function<void()>> queue;
  std::list<std::thread> threads;
  std::vector<std::thread::id> finished;  // threads that ended, to be joined
  std::size_t running = 0;                // threads inside work()
};

BlockingExecutor::BlockingExecutor(std::size_t maxThreads, std::string threadName)
    : maxThreads_(std::max<std::size_t>(1, maxThreads)),
      threadName_(std::move(threadName).substr(0, 15)),
      state_(std::make_shared<State>()) {}

BlockingExecutor::~BlockingExecutor() {
  const auto self = std::this_thread::get_id();
  std::list<std::thread> threads;
  {
    std::unique_lock lock(state_->mutex);
    const bool inJob = std::any_of(state_->threads.begin(), state_->threads.end(),
                                   [&](const std::thread& t) { return t.get_id() == self; });
    // From a job, this thread runs what is still queued once the job ends.
    if (!inJob) state_->idle.wait(lock, [&] { return state_->queue.empty() && state_->running == 0; });
    threads.swap(state_->threads);
  }
  for (auto& thread : threads) {
    if (thread.get_id() == self) {
      thread.detach();
    } else {
      thread.join();
    }
  }
}

void BlockingExecutor::post(std::function<void()> fn) {
  std::list<std::thread> ended;
  {
    std::lock_guard lock(state_->mutex);
    state_->queue.push_back(std::move(fn));
    auto& threads = state_->threads;
    for (auto it = threads.begin(); it != threads.end();) {
      const auto& finished = state_->finished;
      if (std::find(finished.begin(), finished.end(), it->get_id()) != finished.end()) {
        ended.splice(ended.end(), threads, it++);
      } else {
        ++it;
      }
    }
    state_->finished.clear();
    // Threads in work() take queued jobs in turn: another starts only while
    // the queue is longer than they are many.
    if (state_->running < state_->queue.size() && state_->running < maxThreads_) {
      ++state_->running;
      threads.emplace_back([state = state_, name = threadName_] {
        pthread_setname_np(pthread_self(), name.c_str());
        work(state);
      });
    }
  }
  // Ended threads hold nothing any more: joining them does not wait.
  for (auto& thread : ended) thread.join();
}

void BlockingExecutor::work(std::shared_ptr<State> state) {
  std::unique_lock lock(state->mutex);
  while (!state->queue.empty()) {
    auto fn = std::move(state->queue.front());
    state->queue.pop_front();
    lock.unlock();
    fn();
    fn = nullptr;  // what it holds goes on this thread, outside the lock
    lock.lock();
  }
  --state->running;
  state->finished.push_back(std::this_thread::get_id());
  state->idle.notify_all();
}

std::size_t BlockingExecutor::threadCount() const {
  std::lock_guard lock(state_->mutex);
  return state_->running;
}

}  // namespace orvane
