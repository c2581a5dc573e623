#pragma once
// Keeps the lines a component writes (from any thread) and lets a test wait, with a bound, for
// the one it expects.

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

namespace tessamer::testkit {

class LineRecorder {
 public:
  void Write(const std::string& line) {
    {
      std::lock_guard guard(mutex);
      lines.push_back(line);
    }
    changed.notify_all();
  }
  // A writer for components that take one.
  std::function<void(const std::string&)> Writer() {
    return [this](const std::string& line) { Write(line); };
  }
  std::vector<std::string> Lines() const {
    std::lock_guard guard(mutex);
    return lines;
  }
  // Waits for a line that begins with `prefix`, written after the first `skip` lines; the line
  // found, or an empty text when none came in time.
  std::string WaitForPrefix(const std::string& prefix,
                            std::chrono::milliseconds timeout = std::chrono::seconds(10),
                            size_t skip = 0) const {
    std::unique_lock guard(mutex);
    std::string found;
    changed.wait_for(guard, timeout, [&] {
      for (size_t i = skip; i < lines.size(); ++i) {
        if (lines[i].rfind(prefix, 0) == 0) {
          found = lines[i];
          return true;
        }
      }
      return false;
    });
    return found;
  }
  size_t Count() const {
    std::lock_guard guard(mutex);
    return lines.size();
  }

 private:
  mutable std::mutex mutex;
  mutable std::condition_variable changed;
  std::vector<std::string> lines;
};

}  // namespace tessamer::testkit
