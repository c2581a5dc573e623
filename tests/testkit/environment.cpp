#include "testkit/environment.h"

#include <cstdlib>
#include <ctime>

#if defined(_WIN32)
#include <windows.h>
#endif

namespace tessamer::testkit {
namespace {

void ReadTimeZone() {
#if defined(_WIN32)
  _tzset();
#else
  tzset();
#endif
}

}  // namespace

void SetEnvironment(const std::string& name, const std::optional<std::string>& value) {
#if defined(_WIN32)
  _putenv_s(name.c_str(), value ? value->c_str() : "");  // an empty value removes it
#else
  if (value) {
    setenv(name.c_str(), value->c_str(), 1);
  } else {
    unsetenv(name.c_str());
  }
#endif
}

ScopedEnvironment::ScopedEnvironment(std::string name, const std::optional<std::string>& value)
    : name(std::move(name)) {
  if (const char* old = std::getenv(this->name.c_str())) previous = old;
  SetEnvironment(this->name, value);
}

ScopedEnvironment::~ScopedEnvironment() { SetEnvironment(name, previous); }

ScopedTimeZone::ScopedTimeZone(const char* zone) {
  if (const char* old = std::getenv("TZ")) previous = old;
  SetEnvironment("TZ", zone);
  ReadTimeZone();
}

ScopedTimeZone::~ScopedTimeZone() {
  SetEnvironment("TZ", previous);
  ReadTimeZone();
}

bool UnderWine() {
#if defined(_WIN32)
  // Wine's ntdll exports its version; Windows' does not.
  const HMODULE ntdll = GetModuleHandleA("ntdll.dll");
  return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
#else
  return false;
#endif
}

}  // namespace tessamer::testkit
