// SPDX-License-Identifier: MIT
// A fixed team of threads that runs one job at a time on every member. The
// threads are made once (a run makes one team) and sleep between jobs; the
// calling thread is member 0, so a team of one is the caller alone.
#pragma once

#include <barrier>
#include <functional>
#include <thread>
#include <vector>

class ThreadTeam {
 public:
  explicit ThreadTeam(int size);  // size >= 1
  ~ThreadTeam();
  ThreadTeam(const ThreadTeam&) = delete;
  ThreadTeam& operator=(const ThreadTeam&) = delete;

  int size() const { return size_; }

  // Runs job(i) for every member i in 0 .. size() - 1, member 0 on the
  // calling thread, and returns when every member has finished it. All that
  // the members wrote is then visible to the caller, and all the caller
  // wrote before the call is visible to the members.
  void run(const std::function<void(int)>& job);

 private:
  void serve(int member);

  int size_;
  const std::function<void(int)>* job_ = nullptr;
  bool stop_ = false;
  std::barrier<> start_;
  std::barrier<> done_;
  std::vector<std::jthread> workers_;
};
