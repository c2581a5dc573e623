#include "support/number_text.h"

#include <charconv>
#include <cmath>
#include <limits>

namespace tessamer {
namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f'; }

size_t SkipBlanks(std::string_view text) {
  size_t i = 0;
  while (i < text.size() && IsBlank(text[i])) ++i;
  return i;
}

}  // namespace

void AppendFixed(std::string& out, double value, int decimals) {
  if (std::isnan(value)) {
    out += std::signbit(value) ? "-nan" : "nan";
    return;
  }
  if (std::isinf(value)) {
    out += value < 0 ? "-inf" : "inf";
    return;
  }
  char buffer[400];  // DBL_MAX in fixed notation is 309 digits before the point
  const auto result =
      std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::fixed, decimals);
  if (result.ec == std::errc()) out.append(buffer, result.ptr);
}

std::string FormatFixed(double value, int decimals) {
  std::string text;
  AppendFixed(text, value, decimals);
  return text;
}

void AppendInt(std::string& out, int64_t value) {
  char buffer[24];
  const auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
  out.append(buffer, result.ptr);
}

size_t ParseDouble(std::string_view text, double& value) {
  size_t i = SkipBlanks(text);
  size_t start = i;
  if (i < text.size() && text[i] == '+') {
    ++i;
    if (i < text.size() && text[i] == '-') return 0;
    start = i;
  }
  double parsed = 0;
  const char* first = text.data() + start;
  const char* last = text.data() + text.size();
  const auto result = std::from_chars(first, last, parsed, std::chars_format::general);
  if (result.ptr == first) return 0;
  if (result.ec == std::errc::result_out_of_range) {
    // from_chars reports overflow and underflow without a value; strtod saturates.
    const bool negative = *first == '-';
    double magnitude = 0;
    // Decide by the exponent of the text: a huge mantissa or exponent overflows.
    std::string_view digits(first, static_cast<size_t>(result.ptr - first));
    const auto e = digits.find_first_of("eE");
    const bool tiny = e != std::string_view::npos && digits.find('-', e) != std::string_view::npos;
    magnitude = tiny ? 0.0 : std::numeric_limits<double>::infinity();
    parsed = negative ? -magnitude : magnitude;
  }
  value = parsed;
  return static_cast<size_t>(result.ptr - text.data());
}

size_t ParseInt(std::string_view text, int64_t& value) {
  size_t i = SkipBlanks(text);
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
    negative = text[i] == '-';
    ++i;
  }
  const size_t digitsStart = i;
  int64_t parsed = 0;
  bool overflow = false;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
    const int digit = text[i] - '0';
    if (!overflow && parsed > (std::numeric_limits<int64_t>::max() - digit) / 10) overflow = true;
    if (!overflow) parsed = parsed * 10 + digit;
  }
  if (i == digitsStart) return 0;
  if (overflow) {
    value = negative ? std::numeric_limits<int64_t>::min() : std::numeric_limits<int64_t>::max();
  } else {
    value = negative ? -parsed : parsed;
  }
  return i;
}

}  // namespace tessamer
