#include "testkit/descriptor_shortage.h"

#if !defined(_WIN32)
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#endif

namespace tessamer::testkit {

#if defined(_WIN32)

DescriptorShortage::DescriptorShortage() = default;
DescriptorShortage::~DescriptorShortage() = default;
void DescriptorShortage::FreeOne() {}

#else

DescriptorShortage::DescriptorShortage() {
  if (::getrlimit(RLIMIT_NOFILE, &saved) != 0) return;
  const int source = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
  if (source < 0) return;
  taken.push_back(source);
  rlimit limit = saved;
  limit.rlim_cur = std::min<rlim_t>(saved.rlim_cur, kShortageLimit);
  lowered = ::setrlimit(RLIMIT_NOFILE, &limit) == 0;
  if (!lowered) return;
  for (;;) {
    const int copy = ::fcntl(source, F_DUPFD_CLOEXEC, 0);
    if (copy < 0) break;
    taken.push_back(copy);
  }
  active = errno == EMFILE;
}

DescriptorShortage::~DescriptorShortage() {
  for (const int descriptor : taken) ::close(descriptor);
  if (lowered) ::setrlimit(RLIMIT_NOFILE, &saved);
}

void DescriptorShortage::FreeOne() {
  if (taken.empty()) return;
  ::close(taken.back());
  taken.pop_back();
}

#endif

}  // namespace tessamer::testkit
