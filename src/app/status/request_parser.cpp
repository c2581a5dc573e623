#include "app/status/request_parser.h"

#include <algorithm>
#include <cstring>

namespace tessamer {
namespace {

constexpr int kBadRequest = 400;
constexpr int kBodyRefused = 413;
constexpr int kLineTooLong = 414;
constexpr int kHeadTooLarge = 431;
constexpr int kVersionRefused = 505;

bool IsTokenChar(char c) {
  if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')) return true;
  return c != '\0' && std::strchr("!#$%&'*+-.^_`|~", c) != nullptr;
}

bool IsToken(std::string_view text) {
  return !text.empty() && std::all_of(text.begin(), text.end(), IsTokenChar);
}

// Visible ASCII: what a request target may hold.
bool IsTargetChar(char c) { return c > 0x20 && c < 0x7f; }

// A field value's bytes: visible characters, blanks and tabs, and bytes above ASCII.
bool IsValueChar(char c) {
  const auto byte = static_cast<unsigned char>(c);
  return byte == '\t' || byte >= 0x20;
}

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

std::string_view TrimmedBlanks(std::string_view text) {
  while (!text.empty() && IsBlank(text.front())) text.remove_prefix(1);
  while (!text.empty() && IsBlank(text.back())) text.remove_suffix(1);
  return text;
}

std::string Lowered(std::string_view text) {
  std::string lowered(text);
  for (char& c : lowered) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return lowered;
}

// Where the head ends in `head` (just after its empty line), searching from `from`; npos when it
// does not end there yet.
size_t HeadEnd(const std::string& head, size_t from) {
  for (size_t k = std::max<size_t>(from, 1); k < head.size(); ++k) {
    if (head[k] != '\n') continue;
    if (head[k - 1] == '\n' || (k >= 2 && head[k - 1] == '\r' && head[k - 2] == '\n')) return k + 1;
  }
  return std::string::npos;
}

}  // namespace

CRequestParser::CRequestParser(size_t maxHeadBytes) : maxHeadBytes(maxHeadBytes) {}

void CRequestParser::Reset() {
  head.clear();
  scanned = 0;
  started = false;
  request = HttpRequest{};
  status = 0;
}

CRequestParser::Result CRequestParser::Fail(int why) {
  status = why;
  return Result::Bad;
}

CRequestParser::Result CRequestParser::Feed(std::string_view bytes, size_t& consumed) {
  consumed = 0;
  if (status != 0) return Result::Bad;
  size_t skipped = 0;
  if (!started) {
    while (skipped < bytes.size() && (bytes[skipped] == '\r' || bytes[skipped] == '\n')) ++skipped;
    if (skipped == bytes.size()) {
      consumed = skipped;
      return Result::Incomplete;
    }
    started = true;
  }
  // Never more than one byte beyond the bound is kept: a head that does not end by then fails.
  const size_t before = head.size();
  const size_t room = maxHeadBytes + 1 - std::min(before, maxHeadBytes + 1);
  head.append(bytes.substr(skipped, std::min(bytes.size() - skipped, room)));
  const size_t end = HeadEnd(head, scanned);
  if (end != std::string::npos) {
    consumed = skipped + (end - before);
    head.resize(end);
    return ParseHead();
  }
  consumed = skipped + (head.size() - before);
  scanned = head.size() - 1;
  const bool lineEnded = head.find('\n') != std::string::npos;
  if (!lineEnded && head.size() > kMaxRequestLineBytes) return Fail(kLineTooLong);
  if (head.size() > maxHeadBytes) return Fail(lineEnded ? kHeadTooLarge : kLineTooLong);
  return Result::Incomplete;
}

CRequestParser::Result CRequestParser::ParseHead() {
  std::string_view rest(head);
  bool first = true;
  while (!rest.empty()) {
    const size_t newline = rest.find('\n');
    std::string_view line = rest.substr(0, newline);
    rest.remove_prefix(newline + 1);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (line.find('\r') != std::string_view::npos) return Fail(kBadRequest);
    if (first) {
      if (line.size() > kMaxRequestLineBytes) return Fail(kLineTooLong);
      if (!ParseRequestLine(line)) return Result::Bad;
      first = false;
    } else if (line.empty()) {
      break;
    } else if (!ParseField(line)) {
      return Result::Bad;
    }
  }
  const std::string* length = request.Header("content-length");
  if (request.Header("transfer-encoding") != nullptr) return Fail(kBodyRefused);
  if (length != nullptr) {
    if (length->empty() || length->find_first_not_of("0123456789") != std::string::npos) {
      return Fail(kBadRequest);
    }
    if (length->find_first_not_of('0') != std::string::npos) return Fail(kBodyRefused);
  }
  return Result::Complete;
}

bool CRequestParser::ParseRequestLine(std::string_view line) {
  const size_t firstSpace = line.find(' ');
  const size_t secondSpace = line.find(' ', firstSpace == std::string_view::npos ? line.size() : firstSpace + 1);
  if (secondSpace == std::string_view::npos || line.find(' ', secondSpace + 1) != std::string_view::npos) {
    Fail(kBadRequest);
    return false;
  }
  const std::string_view method = line.substr(0, firstSpace);
  const std::string_view target = line.substr(firstSpace + 1, secondSpace - firstSpace - 1);
  const std::string_view version = line.substr(secondSpace + 1);
  if (!IsToken(method) || target.empty() || target.front() != '/' ||
      !std::all_of(target.begin(), target.end(), IsTargetChar)) {
    Fail(kBadRequest);
    return false;
  }
  if (version.size() != 8 || version.substr(0, 5) != "HTTP/" || version[6] != '.' || version[5] < '0' ||
      version[5] > '9' || version[7] < '0' || version[7] > '9') {
    Fail(kBadRequest);
    return false;
  }
  if (version[5] != '1' || (version[7] != '0' && version[7] != '1')) {
    Fail(kVersionRefused);
    return false;
  }
  const size_t question = target.find('?');
  if (!PercentDecode(target.substr(0, question), request.path)) {
    Fail(kBadRequest);
    return false;
  }
  request.method = std::string(method);
  request.query = question == std::string_view::npos ? std::string() : std::string(target.substr(question + 1));
  request.minorVersion = version[7] - '0';
  return true;
}

bool CRequestParser::ParseField(std::string_view line) {
  const size_t colon = line.find(':');
  if (colon == std::string_view::npos || !IsToken(line.substr(0, colon))) {
    Fail(kBadRequest);  // a nameless field, a blank before the colon, or a folded line
    return false;
  }
  const std::string_view value = TrimmedBlanks(line.substr(colon + 1));
  if (!std::all_of(value.begin(), value.end(), IsValueChar)) {
    Fail(kBadRequest);
    return false;
  }
  if (request.headers.size() >= kMaxHeaderFields) {
    Fail(kHeadTooLarge);
    return false;
  }
  request.headers.emplace_back(Lowered(line.substr(0, colon)), std::string(value));
  return true;
}

}  // namespace tessamer
