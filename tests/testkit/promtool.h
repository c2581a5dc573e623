#pragma once
// promtool (Debian package prometheus) checks a metrics exposition as Prometheus reads it, with
// its lint rules. The build names it in TESSAMER_PROMTOOL when it was found.

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>

namespace tessamer::testkit {

// True when promtool was found at configure time.
inline bool HavePromtool() {
#if defined(TESSAMER_PROMTOOL) && !defined(_WIN32)
  return true;
#else
  return false;
#endif
}

// Runs `promtool check metrics` on `exposition`; true when it accepts it without a remark, and
// `report` holds what it said otherwise.
inline bool PromtoolAccepts(const std::string& exposition, std::string& report) {
#if defined(TESSAMER_PROMTOOL) && !defined(_WIN32)
  char name[] = "/tmp/tessamer-metrics-XXXXXX";
  const int fd = mkstemp(name);
  if (fd < 0) return false;
  std::fclose(fdopen(fd, "w"));
  const std::string input = name, output = input + ".report";
  std::ofstream(input, std::ios::trunc | std::ios::binary) << exposition;
  const int status = std::system((std::string(TESSAMER_PROMTOOL) + " check metrics < " + input + " > " + output + " 2>&1").c_str());
  std::ifstream said(output);
  report.assign(std::istreambuf_iterator<char>(said), std::istreambuf_iterator<char>());
  std::remove(input.c_str());
  std::remove(output.c_str());
  return status == 0 && report.empty();
#else
  report = "promtool was not found";
  return false;
#endif
}

}  // namespace tessamer::testkit
