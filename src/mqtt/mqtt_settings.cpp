#include "mqtt/mqtt_settings.h"

#include <asio/ip/host_name.hpp>
#include <fstream>
#include <system_error>

#include "support/number_text.h"

namespace tessamer {
namespace {

constexpr size_t kLongestHostName = 253;

bool IsHostName(std::string_view host) {
  if (host.empty() || host.size() > kLongestHostName) return false;
  for (char c : host) {
    const bool letter = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
    const bool digit = c >= '0' && c <= '9';
    if (!letter && !digit && c != '-' && c != '.' && c != '_') return false;
  }
  return host.front() != '.' && host.front() != '-';
}

bool ReadPort(std::string_view text, uint16_t& port) {
  if (text.empty() || text[0] < '0' || text[0] > '9') return false;
  int64_t value = 0;
  if (ParseInt(text, value) != text.size() || value < 1 || value > 65535) return false;
  port = static_cast<uint16_t>(value);
  return true;
}

}  // namespace

bool ParseMqttUrl(std::string_view url, MqttBroker& broker, std::string& error) {
  MqttBroker parsed;
  std::string_view rest = url;
  if (rest.substr(0, 7) == "mqtt://") {
    rest.remove_prefix(7);
  } else if (rest.substr(0, 8) == "mqtts://") {
    rest.remove_prefix(8);
    parsed.tls = true;
    parsed.port = kMqttsPort;
  } else {
    error = "takes mqtt://HOST[:PORT] or mqtts://HOST[:PORT]: " + std::string(url);
    return false;
  }
  if (!rest.empty() && rest.back() == '/') rest.remove_suffix(1);
  if (rest.find('@') != std::string_view::npos) {
    error = "takes no user or password in the URL (--mqtt-user and --mqtt-password-file): " +
            std::string(url.substr(0, url.find("://") + 3)) + "...";
    return false;
  }
  const size_t colon = rest.find(':');
  const std::string_view host = rest.substr(0, colon);
  if (!IsHostName(host) ||
      (colon != std::string_view::npos && !ReadPort(rest.substr(colon + 1), parsed.port))) {
    error = "takes mqtt://HOST[:PORT] (a host name or dotted IPv4 address, port 1 to 65535): " +
            std::string(url);
    return false;
  }
  parsed.host = std::string(host);
  broker = parsed;
  return true;
}

bool IsMqttTopicPrefix(std::string_view prefix) {
  if (prefix.empty() || prefix.front() == '/' || prefix.back() == '/') return false;
  return prefix.find_first_of(std::string_view("+#\0", 3)) == std::string_view::npos;
}

std::string LocalHostName() {
  std::error_code error;
  std::string name = asio::ip::host_name(error);
  if (error || name.empty()) return "hub";
  return name;
}

std::string DefaultMqttTopicPrefix(const std::string& hostName) {
  return std::string(kMqttTopicRoot) + "/" + hostName;
}

std::string DefaultMqttClientId(const std::string& hostName) {
  return kMqttClientIdPrefix + hostName;
}

bool ReadSecretFile(const std::string& path, std::string& secret, std::string& error) {
  std::ifstream file(path, std::ios::binary);
  std::string line;
  if (!file || !std::getline(file, line)) {
    error = path + ": cannot be read";
    return false;
  }
  if (!line.empty() && line.back() == '\r') line.pop_back();
  if (line.empty()) {
    error = path + ": holds no password on its first line";
    return false;
  }
  secret = std::move(line);
  return true;
}

}  // namespace tessamer
