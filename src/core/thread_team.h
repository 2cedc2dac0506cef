// SPDX-License-Identifier: MIT
// A fixed team of threads that runs one job at a time on every member. The
// threads are made once (a run makes one team) and sleep between jobs; the
// calling thread is member 0, so a team of one is the caller alone.
#pragma once

#include <barrier>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <thread>
#include <utility>
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

// Member `member`'s share [from, to) of the range [lo, hi) cut into
// `members` nearly equal slices, in order: the slices meet end to end.
inline std::pair<std::int64_t, std::int64_t> member_share(std::int64_t lo, std::int64_t hi,
                                                          int member, int members) {
  const std::int64_t width = hi - lo;
  return {lo + width * member / members, lo + width * (member + 1) / members};
}

// One thread beside the team for a job that must not hold the team up (a
// checkpoint's writes and syncs, while the team sieves the next segment):
// start() hands it over and returns at once, wait() returns once it is done.
// One job at a time; the destructor waits for the last.
class BackgroundJob {
 public:
  BackgroundJob();
  ~BackgroundJob();
  BackgroundJob(const BackgroundJob&) = delete;
  BackgroundJob& operator=(const BackgroundJob&) = delete;

  void start(std::function<void()> job);
  void wait();

 private:
  void serve();

  std::mutex mutex_;
  std::condition_variable changed_;
  std::function<void()> job_;
  bool busy_ = false, stop_ = false;
  std::jthread thread_;
};
