#include "app/version_text.h"

#include <array>
#include <vector>

#include "version.h"

namespace tessamer {
namespace {

// Splits at runs of `separator`; empty pieces are dropped.
std::vector<std::string_view> Split(std::string_view text, char separator) {
  std::vector<std::string_view> pieces;
  size_t start = 0;
  while (start < text.size()) {
    const size_t end = std::min(text.find(separator, start), text.size());
    if (end > start) pieces.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  return pieces;
}

// The decimal number at the front of `text` (after optional blanks and sign), 0 when none.
int LeadingNumber(std::string_view text) {
  size_t i = 0;
  while (i < text.size() && (text[i] == ' ' || text[i] == '\t')) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '-' || text[i] == '+')) negative = text[i++] == '-';
  int value = 0;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9' && value < 100000000; ++i) {
    value = value * 10 + (text[i] - '0');
  }
  return negative ? -value : value;
}

int Piece(const std::vector<std::string_view>& pieces, size_t index) {
  return index < pieces.size() ? LeadingNumber(pieces[index]) : 0;
}

}  // namespace

QString VersionText(const std::optional<ProductVersion>& version) {
  if (!version) return QStringLiteral("x.x");
  return QStringLiteral("%1.%2.%3").arg(version->major).arg(version->minor).arg(version->build);
}

QString ReadVersionText() {
  return VersionText(ProductVersion{kVersionMajor, kVersionMinor, kVersionPatch, 0});
}

int MonthNumber(std::string_view name) {
  static constexpr std::array<std::string_view, 12> kMonths = {
      "Jan", "Feb", "Mar", "Apr", "May", "Jun", "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  for (size_t i = 0; i < kMonths.size(); ++i) {
    if (kMonths[i] == name) return static_cast<int>(i) + 1;
  }
  return 0;
}

QString BuildStampText(std::string_view date, std::string_view time) {
  const std::vector<std::string_view> dateParts = Split(date, ' ');
  const std::vector<std::string_view> timeParts = Split(time, ':');
  const int month = dateParts.empty() ? 0 : MonthNumber(dateParts[0]);
  const int day = Piece(dateParts, 1);
  const int hour = Piece(timeParts, 0);
  const int minute = Piece(timeParts, 1);
  return QString::asprintf("Build: %02d%02d.%02d%02d", month, day, hour, minute);
}

QString BuildStampText() { return BuildStampText(__DATE__, __TIME__); }

}  // namespace tessamer
