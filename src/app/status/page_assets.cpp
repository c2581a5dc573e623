#include "app/status/page_assets.h"

namespace tessamer {

namespace embedded {
extern const unsigned char kIndexHtml[];
extern const size_t kIndexHtmlSize;
extern const unsigned char kPageCss[];
extern const size_t kPageCssSize;
extern const unsigned char kPageJs[];
extern const size_t kPageJsSize;
extern const unsigned char kChartJs[];
extern const size_t kChartJsSize;
}  // namespace embedded

namespace {

std::string_view Bytes(const unsigned char* bytes, size_t size) {
  return {reinterpret_cast<const char*>(bytes), size};
}

}  // namespace

const std::vector<PageAsset>& PageAssets() {
  using namespace embedded;
  static const std::vector<PageAsset> assets = {
      {"/", "text/html; charset=utf-8", Bytes(kIndexHtml, kIndexHtmlSize)},
      {"/page.css", "text/css; charset=utf-8", Bytes(kPageCss, kPageCssSize)},
      {"/page.js", "text/javascript; charset=utf-8", Bytes(kPageJs, kPageJsSize)},
      {"/chart.js", "text/javascript; charset=utf-8", Bytes(kChartJs, kChartJsSize)},
  };
  return assets;
}

}  // namespace tessamer
