// SPDX-License-Identifier: MIT
#include "search/thread_team.h"

#include <cassert>

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
