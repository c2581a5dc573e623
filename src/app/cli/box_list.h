#pragma once
// The boxes of a headless run as the operator gives them (a dotted IPv4 address or a host name,
// and a port), and the box list a run starts with, its names looked up when the run starts.
//
// Threads: plain functions; ResolveHost and ResolveBoxes block their caller while a name is looked
// up.

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "hub/core/records.h"

namespace tessamer {

struct BoxOption {
  std::string host;   // dotted IPv4 text or a host name
  uint16_t port = 0;  // 0 when none was given: the --box-port applies
  bool operator==(const BoxOption&) const = default;
};

// True for a dotted IPv4 address or a host name: labels of letters, digits and inner hyphens
// between dots. Text of digits and dots alone must be a dotted address (a resolver would read
// "1.2.3" as an address of its own).
bool IsBoxHost(std::string_view text);

// True when both name the same box: the same address or name (letter case aside) and the same
// port, `boxPort` standing in for a missing one.
bool SameBox(const BoxOption& a, const BoxOption& b, uint16_t boxPort);

// Looks up a host name's IPv4 address (host order); false with the resolver's reason in `why`.
using HostResolver =
    std::function<bool(const std::string& name, uint32_t& hostOrder, std::string& why)>;

// The system's resolver: the name server may be asked.
bool SystemResolve(const std::string& name, uint32_t& hostOrder, std::string& why);

// The host-order IPv4 address of dotted text, or of a host name looked up now. False with the
// resolver's reason in `why` when it does not resolve. Blocks while a name is looked up.
bool ResolveHost(const std::string& host, uint32_t& hostOrder, std::string& why);

// The boxes of one run: `list` in order on rows 0, 1, ..., each without a port given `boxPort`.
// Host names are looked up now by `resolve` (empty: SystemResolve), for an IPv4 address. False
// when a name does not resolve: `failed` is then its index in `list` and `why` the resolver's
// reason.
bool ResolveBoxes(const std::vector<BoxOption>& list, uint16_t boxPort, std::vector<Box>& boxes,
                  size_t& failed, std::string& why, const HostResolver& resolve = {});

}  // namespace tessamer
