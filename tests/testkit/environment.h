#pragma once
// The process environment as tests change it, the same on every platform, and the one test of
// whether a test program runs under Wine (for the few checks Wine cannot meet; each skip says
// why).

#include <optional>
#include <string>

namespace tessamer::testkit {

// Sets `name` to `value`, or removes it when there is no value.
void SetEnvironment(const std::string& name, const std::optional<std::string>& value);

// Sets `name` to `value` for the life of the object and restores its previous value afterwards.
class ScopedEnvironment {
 public:
  ScopedEnvironment(std::string name, const std::optional<std::string>& value);
  ~ScopedEnvironment();
  ScopedEnvironment(const ScopedEnvironment&) = delete;
  ScopedEnvironment& operator=(const ScopedEnvironment&) = delete;

 private:
  std::string name;
  std::optional<std::string> previous;
};

// Switches the C library's local time zone to `zone` (a TZ value) for the life of the object and
// restores the previous one afterwards.
class ScopedTimeZone {
 public:
  explicit ScopedTimeZone(const char* zone);
  ~ScopedTimeZone();
  ScopedTimeZone(const ScopedTimeZone&) = delete;
  ScopedTimeZone& operator=(const ScopedTimeZone&) = delete;

 private:
  std::optional<std::string> previous;
};

// True when the program is a Windows program run by Wine.
bool UnderWine();

}  // namespace tessamer::testkit
