#pragma once
// A process out of file descriptors, for as long as the object lives: the next socket, accept or
// open of any thread fails with EMFILE ("too many open files"), as in a hub whose descriptors a
// crowd of connections has taken. The soft RLIMIT_NOFILE is lowered to at most kShortageLimit and
// every free descriptor below it is taken; destruction frees them and restores the limit. POSIX
// only: elsewhere Active() is false and nothing is taken.
//
// Threads: one thread. Whatever a test needs descriptors for while it lives (a client's io_context,
// a log to read back) must be opened before.

#include <vector>

#if !defined(_WIN32)
#include <sys/resource.h>
#endif

namespace tessamer::testkit {

inline constexpr int kShortageLimit = 1024;  // the usual default; keeps the filling quick

class DescriptorShortage {
 public:
  DescriptorShortage();
  ~DescriptorShortage();
  DescriptorShortage(const DescriptorShortage&) = delete;
  DescriptorShortage& operator=(const DescriptorShortage&) = delete;

  // True while every descriptor is taken (after FreeOne: all but the ones freed).
  bool Active() const { return active; }
  // Frees one descriptor for the caller's next socket.
  void FreeOne();

 private:
  std::vector<int> taken;
  bool active = false;
#if !defined(_WIN32)
  bool lowered = false;  // `saved` is to be put back
  rlimit saved{};
#endif
};

}  // namespace tessamer::testkit
