#include "app/cli/box_list.h"

#include <algorithm>
#include <asio.hpp>
#include <cctype>
#include <optional>

#include "support/ipv4_text.h"

namespace tessamer {
namespace {

constexpr size_t kMaxHostNameChars = 253;
constexpr size_t kMaxLabelChars = 63;

bool NumericLooking(std::string_view text) {
  return std::all_of(text.begin(), text.end(), [](char c) { return c == '.' || (c >= '0' && c <= '9'); });
}

bool HostLabel(std::string_view label) {
  if (label.empty() || label.size() > kMaxLabelChars || label.front() == '-' || label.back() == '-') return false;
  return std::all_of(label.begin(), label.end(), [](char c) {
    return c == '-' || std::isalnum(static_cast<unsigned char>(c)) != 0;
  });
}

std::string Lowered(std::string_view text) {
  std::string lowered(text);
  for (char& c : lowered) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return lowered;
}

}  // namespace

bool SystemResolve(const std::string& name, uint32_t& hostOrder, std::string& why) {
  asio::io_context context;
  asio::ip::tcp::resolver resolver(context);
  asio::error_code error;
  const auto results = resolver.resolve(asio::ip::tcp::v4(), name, "", error);
  if (error || results.empty()) {
    why = error ? error.message() : "no IPv4 address";
    return false;
  }
  hostOrder = results.begin()->endpoint().address().to_v4().to_uint();
  return true;
}

bool IsBoxHost(std::string_view text) {
  if (NumericLooking(text)) return ParseIpv4(text).has_value();
  if (text.size() > kMaxHostNameChars) return false;
  for (size_t start = 0;;) {
    const size_t dot = text.find('.', start);
    if (!HostLabel(text.substr(start, dot - start))) return false;
    if (dot == std::string_view::npos) return true;
    start = dot + 1;
  }
}

bool SameBox(const BoxOption& a, const BoxOption& b, uint16_t boxPort) {
  const uint16_t portA = a.port != 0 ? a.port : boxPort;
  const uint16_t portB = b.port != 0 ? b.port : boxPort;
  if (portA != portB) return false;
  const std::optional<uint32_t> addressA = ParseIpv4(a.host);
  const std::optional<uint32_t> addressB = ParseIpv4(b.host);
  if (addressA || addressB) return addressA == addressB;
  return Lowered(a.host) == Lowered(b.host);
}

bool ResolveHost(const std::string& host, uint32_t& hostOrder, std::string& why) {
  if (const std::optional<uint32_t> dotted = ParseIpv4(host)) {
    hostOrder = *dotted;
    return true;
  }
  return SystemResolve(host, hostOrder, why);
}

bool ResolveBoxes(const std::vector<BoxOption>& list, uint16_t boxPort, std::vector<Box>& boxes,
                  size_t& failed, std::string& why, const HostResolver& resolve) {
  boxes.clear();
  const HostResolver lookUp = resolve ? resolve : HostResolver(SystemResolve);
  for (size_t i = 0; i < list.size(); ++i) {
    uint32_t hostOrder = 0;
    const std::optional<uint32_t> dotted = ParseIpv4(list[i].host);
    if (dotted) {
      hostOrder = *dotted;
    } else if (!lookUp(list[i].host, hostOrder, why)) {
      failed = i;
      return false;
    }
    const uint16_t port = list[i].port != 0 ? list[i].port : boxPort;
    boxes.push_back(Box{BoxAddressFromHostOrder(hostOrder), port, static_cast<int32_t>(i)});
  }
  return true;
}

}  // namespace tessamer
