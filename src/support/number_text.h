#pragma once
// Numbers on the wire, independent of the process locale (never printf/strtod with floating
// point: under a comma-decimal locale they would read "1.5" as 1 and write "1,5000").

#include <cstdint>
#include <string>
#include <string_view>

namespace tessamer {

// Appends `value` with `decimals` digits after the point, as printf's "%0.<decimals>f" would in
// the C locale.
void AppendFixed(std::string& out, double value, int decimals);
std::string FormatFixed(double value, int decimals);

// Appends `value` in decimal.
void AppendInt(std::string& out, int64_t value);

// Reads a decimal floating-point number at the front of `text` as strtod would in the C locale
// (leading white space and a '+' sign allowed). Returns the number of characters consumed, 0
// when there is no number; `value` is then untouched.
size_t ParseDouble(std::string_view text, double& value);

// Reads a decimal integer at the front of `text` as strtol would (leading white space and a sign
// allowed); out-of-range values saturate. Returns the characters consumed, 0 when none.
size_t ParseInt(std::string_view text, int64_t& value);

}  // namespace tessamer
