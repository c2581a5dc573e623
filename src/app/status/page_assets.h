#pragma once
// The web page's files, embedded in the program at build time (cmake/EmbedFiles.cmake): its HTML,
// style sheet and script from src/app/status/page/, and Chart.js from Debian's libjs-chart.js.
// Nothing is read from disk at run time.
//
// Threads: constant data.

#include <cstddef>
#include <string_view>
#include <vector>

namespace tessamer {

struct PageAsset {
  const char* path;         // where the status endpoint serves it ("/", "/page.js", ...)
  const char* contentType;
  std::string_view bytes;
};

// Every file of the page, the page itself ("/") first.
const std::vector<PageAsset>& PageAssets();

}  // namespace tessamer
