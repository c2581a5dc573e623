#include "app/cli/status_client.h"

#ifdef TESSAMER_WITH_STATUS_HTTP
#include <httplib.h>
#endif

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <nlohmann/json.hpp>
#include <vector>

#include "support/number_text.h"

namespace tessamer {
namespace {

using nlohmann::json;

constexpr std::chrono::seconds kConnectTimeout{3};
constexpr std::chrono::seconds kReadTimeout{5};

// Left-aligned columns two blanks apart, each as wide as its widest cell.
class CTable {
 public:
  explicit CTable(std::vector<std::string> heading) { rows.push_back(std::move(heading)); }
  void Add(std::vector<std::string> row) { rows.push_back(std::move(row)); }
  std::string Text() const {
    std::vector<size_t> widths(rows.front().size(), 0);
    for (const auto& row : rows) {
      for (size_t i = 0; i < row.size(); ++i) widths[i] = std::max(widths[i], row[i].size());
    }
    std::string text;
    for (const auto& row : rows) {
      std::string line;
      for (size_t i = 0; i < row.size(); ++i) {
        line += row[i];
        if (i + 1 < row.size()) line += std::string(widths[i] - row[i].size() + 2, ' ');
      }
      while (!line.empty() && line.back() == ' ') line.pop_back();
      text += line + "\n";
    }
    return text;
  }

 private:
  std::vector<std::vector<std::string>> rows;
};

// The local time of day of an ISO 8601 UTC time ("2026-12-09T18:06:14.123Z"); "-" for none.
std::string LocalTimeOfDay(const json& iso) {
  int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
  if (!iso.is_string() || std::sscanf(iso.get_ref<const std::string&>().c_str(), "%d-%d-%dT%d:%d:%d", &year, &month,
                                      &day, &hour, &minute, &second) != 6) {
    return "-";
  }
  using namespace std::chrono;
  const sys_seconds utc = sys_days(std::chrono::year{year} / month / day) + hours(hour) + minutes(minute) +
                          seconds(second);
  const std::time_t time = system_clock::to_time_t(utc);
  std::tm local{};
#if defined(_WIN32)
  localtime_s(&local, &time);
#else
  localtime_r(&time, &local);
#endif
  char text[16];
  std::strftime(text, sizeof text, "%H:%M:%S", &local);
  return text;
}

std::string Text(const json& value) {
  if (value.is_string()) return value.get<std::string>();
  if (value.is_number_integer() || value.is_number_unsigned()) return value.dump();
  return "-";
}

std::string Fixed(const json& value, int decimals, const char* unit) {
  return value.is_number() ? FormatFixed(value.get<double>(), decimals) + unit : "-";
}

std::string BoxTable(const json& boxes) {
  CTable table({"row", "address", "state", "since", "records", "rate", "age", "last error"});
  for (const json& box : boxes) {
    const json& age = box.at("newestRecordAgeMs");
    table.Add({Text(box.at("row")), Text(box.at("address")) + ":" + Text(box.at("port")), Text(box.at("state")),
               LocalTimeOfDay(box.at("stateSince")), Text(box.at("records")), Fixed(box.at("recordsPerSecond"), 1, "/s"),
               age.is_number() ? FormatFixed(age.get<double>() / 1000.0, 1) + " s" : "-", Text(box.at("lastError"))});
  }
  return table.Text();
}

std::string ViewerState(const json& viewer) {
  if (viewer.at("closedForFallingBehind").get<bool>()) return "closed: fell behind";
  return viewer.at("connected").get<bool>() ? "connected" : "gone";
}

std::string ViewerTable(const json& viewers) {
  CTable table({"socket", "peer", "since", "lines", "bytes", "queued", "state"});
  for (const json& viewer : viewers) {
    table.Add({Text(viewer.at("socket")), Text(viewer.at("peerAddress")) + ":" + Text(viewer.at("peerPort")),
               LocalTimeOfDay(viewer.at("connectedSince")), Text(viewer.at("linesSent")), Text(viewer.at("bytesSent")),
               Text(viewer.at("bytesQueued")), ViewerState(viewer)});
  }
  return table.Text();
}

std::string RunLine(const json& run) {
  const std::string outcome = run.at("outcome").get<std::string>();
  std::string line = "run: " + (outcome.empty() ? std::string("none yet") : outcome);
  if (run.at("startedAt").is_string()) line += ", started " + LocalTimeOfDay(run.at("startedAt"));
  return line + ", " + Text(run.at("recordsPublished")) + " records published, " + Text(run.at("repeatsSent")) +
         " repeated\n";
}

#ifdef TESSAMER_WITH_STATUS_HTTP
// Why a request got no reply, in an operator's words.
std::string Reason(httplib::Error error) {
  switch (error) {
    case httplib::Error::Connection:
      return "nothing listens there";
    case httplib::Error::ConnectionTimeout:
      return "no answer within " + std::to_string(kConnectTimeout.count()) + " s";
    case httplib::Error::Read:
      return "no reply";
    default:
      return httplib::to_string(error);
  }
}

#endif

}  // namespace

bool StatusTables(const std::string& text, std::string& tables) {
  const json status = json::parse(text, nullptr, false);
  if (status.is_discarded() || !status.is_object()) return false;
  try {
    const json& boxes = status.at("boxes");
    const json& viewers = status.at("viewers");
    tables = RunLine(status.at("run")) + "\nboxes (" + std::to_string(boxes.size()) + ")\n" + BoxTable(boxes) +
             "\nviewers (" + std::to_string(viewers.size()) + ")\n" + ViewerTable(viewers);
  } catch (const json::exception&) {
    return false;
  }
  return true;
}

int ShowStatus(const std::string& target, const std::string& token) {
#ifndef TESSAMER_WITH_STATUS_HTTP
  (void)token;
  std::fprintf(stderr, "tessamer: this build cannot ask %s for its status: it has no HTTP client\n",
               target.c_str());
  return kExitNoStatus;
#else
  const size_t colon = target.rfind(':');
  const std::string host = target.substr(0, colon);
  const int port = std::atoi(target.c_str() + colon + 1);
  httplib::Client client(host, port);
  client.set_connection_timeout(kConnectTimeout);
  client.set_read_timeout(kReadTimeout);
  if (!token.empty()) client.set_bearer_token_auth(token);
  const httplib::Result result = client.Get("/status");
  if (!result) {
    std::fprintf(stderr, "tessamer: no hub answers at %s: %s\n", target.c_str(), Reason(result.error()).c_str());
    return kExitNoStatus;
  }
  if (result->status == 401) {
    std::fprintf(stderr, "tessamer: %s asks for a token: give --status-token-file FILE%s\n", target.c_str(),
                 token.empty() ? "" : " with the hub's token");
    return kExitNoStatus;
  }
  std::string tables;
  if (result->status != 200 || !StatusTables(result->body, tables)) {
    std::fprintf(stderr, "tessamer: %s answers, but not with a hub's status (HTTP %d)\n", target.c_str(),
                 result->status);
    return kExitNoStatus;
  }
  std::fputs(tables.c_str(), stdout);
  return kExitStatusShown;
#endif
}

}  // namespace tessamer
