#include "hub/core/records.h"

#include <cstring>
#include <string>

#include "support/ipv4_text.h"

namespace tessamer {

uint32_t BoxAddress(uint8_t a, uint8_t b, uint8_t c, uint8_t d) {
  const uint8_t bytes[4] = {a, b, c, d};
  uint32_t address;
  std::memcpy(&address, bytes, sizeof address);
  return address;
}

uint32_t BoxAddressFromHostOrder(uint32_t hostOrder) {
  return BoxAddress(static_cast<uint8_t>(hostOrder >> 24), static_cast<uint8_t>(hostOrder >> 16),
                    static_cast<uint8_t>(hostOrder >> 8), static_cast<uint8_t>(hostOrder));
}

uint32_t HostOrderOf(uint32_t boxAddress) {
  uint8_t bytes[4];
  std::memcpy(bytes, &boxAddress, sizeof bytes);
  return (uint32_t{bytes[0]} << 24) | (uint32_t{bytes[1]} << 16) | (uint32_t{bytes[2]} << 8) |
         uint32_t{bytes[3]};
}

std::string DottedText(uint32_t boxAddress) { return Ipv4Text(HostOrderOf(boxAddress)); }

Header::Header()
    : names{}, count(0), dialMin(-2000.0), dialMax(20000.0), dialName{}, dialIndex(2),
      variables{}, units{}, jobType(Cementing), secondary(false), serialNumber{},
      firmwareVersion{}, fpgaVersion{}, vqi{}, text{} {
  CopyText(dialName, L"Weight");
}

void Header::CopyFields(const Header& other) {
  std::memcpy(names, other.names, sizeof names);
  count = other.count;
  dialMin = other.dialMin;
  dialMax = other.dialMax;
  std::memcpy(dialName, other.dialName, sizeof dialName);
  dialIndex = other.dialIndex;
  std::memcpy(variables, other.variables, sizeof variables);
  std::memcpy(units, other.units, sizeof units);
  jobType = other.jobType;
  secondary = other.secondary;
  std::memcpy(serialNumber, other.serialNumber, sizeof serialNumber);
  std::memcpy(firmwareVersion, other.firmwareVersion, sizeof firmwareVersion);
  std::memcpy(fpgaVersion, other.fpgaVersion, sizeof fpgaVersion);
  std::memcpy(vqi, other.vqi, sizeof vqi);
  std::memcpy(text, other.text, sizeof text);
}

Header::Header(const Header& other) : Header() {
  CopyFields(other);
  if (other.diagnostics) diagnostics = std::make_unique<DiagnosticsBlock>(*other.diagnostics);
}

Header& Header::operator=(const Header& other) {
  if (this == &other) return *this;
  diagnostics.reset();
  CopyFields(other);
  if (other.diagnostics) diagnostics = std::make_unique<DiagnosticsBlock>(*other.diagnostics);
  return *this;
}

Header::Header(Header&& other) noexcept : Header() {
  CopyFields(other);
  diagnostics = std::move(other.diagnostics);
}

Header& Header::operator=(Header&& other) noexcept {
  if (this == &other) return *this;
  CopyFields(other);
  diagnostics = std::move(other.diagnostics);
  return *this;
}

}  // namespace tessamer
