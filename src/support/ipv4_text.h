#pragma once
// Dotted IPv4 text, the one parser and formatter of the hub. Addresses are held "host order":
// the first dotted part is the most significant byte of the number.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace tessamer {

// Four decimal parts of 0 to 255 with three dots between them and nothing else: no blanks, no
// signs, at most three digits a part. Empty when the text is anything else.
std::optional<uint32_t> ParseIpv4(std::string_view text);

// "a.b.c.d" of a host-order address.
std::string Ipv4Text(uint32_t hostOrder);

}  // namespace tessamer
