// SPDX-License-Identifier: MIT
#include "core/thread_team.h"

#include <cassert>
#include <utility>

ThreadTeam::ThreadTeam(int size) : size_(size), start_(size), done_(size) {
  assert(size >= 1);
  workers_.reserve(static_cast<std::size_t>(size - 1));
  for (int member = 1; member < size; ++member) {
    workers_.emplace_back([this, member] { serve(member); });
  }
}

ThreadTeam::~ThreadTeam() {
  // The workers wait at the start barrier; release them with the stop flag.
  stop_ = true;
  start_.arrive_and_wait();
}  // the jthreads join here

void ThreadTeam::run(const std::function<void(int)>& job) {
  job_ = &job;
  start_.arrive_and_wait();  // publishes job_ to the members
  job(0);
  done_.arrive_and_wait();  // every member's writes are visible from here on
  job_ = nullptr;
}

void ThreadTeam::serve(int member) {
  for (;;) {
    start_.arrive_and_wait();
    if (stop_) return;
    (*job_)(member);
    done_.arrive_and_wait();
  }
}

BackgroundJob::BackgroundJob() : thread_([this] { serve(); }) {}

BackgroundJob::~BackgroundJob() {
  {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [this] { return !busy_; });
    stop_ = true;
  }
  changed_.notify_all();
}  // the jthread joins here

void BackgroundJob::start(std::function<void()> job) {
  {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [this] { return !busy_; });
    job_ = std::move(job);
    busy_ = true;
  }
  changed_.notify_all();
}

void BackgroundJob::wait() {
  std::unique_lock<std::mutex> lock(mutex_);
  changed_.wait(lock, [this] { return !busy_; });
}

void BackgroundJob::serve() {
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    changed_.wait(lock, [this] { return busy_ || stop_; });
    if (busy_) {
      std::function<void()> job = std::move(job_);
      lock.unlock();
      job();
      lock.lock();
      busy_ = false;
      changed_.notify_all();
      continue;
    }
    return;  // stop_, and nothing to do
  }
}
