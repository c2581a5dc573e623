#include "recording/records_endpoint.h"

#include <filesystem>
#include <memory>
#include <system_error>

#include "recording/recording_time.h"
#include "support/number_text.h"

namespace tessamer {
namespace {

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Percent-decoding as a form sends it; a broken escape stays as it is.
std::string Decoded(std::string_view text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '+') {
      out += ' ';
    } else if (text[i] == '%' && i + 2 < text.size() && HexDigit(text[i + 1]) >= 0 &&
               HexDigit(text[i + 2]) >= 0) {
      out += static_cast<char>(HexDigit(text[i + 1]) * 16 + HexDigit(text[i + 2]));
      i += 2;
    } else {
      out += text[i];
    }
  }
  return out;
}

RecordsAnswer Text(int status, std::string text) {
  RecordsAnswer answer;
  answer.status = status;
  answer.contentType = "text/plain; charset=utf-8";
  answer.produce = [text = std::move(text) + "\n"](const ChunkSink& sink) {
    sink(text);
    return true;
  };
  return answer;
}

struct Parameters {
  RecordQuery query;
  RecordFormat format = RecordFormat::Csv;
};

// Reads one parameter into `parameters`; the reason when it cannot be taken.
std::string Take(const std::string& name, const std::string& value, Parameters& parameters) {
  if (name == "from" || name == "to") {
    const auto time = ParseTimeText(value);
    if (!time) return name + " takes an ISO 8601 time: " + value;
    (name == "from" ? parameters.query.from : parameters.query.to) = time;
  } else if (name == "format") {
    if (!ParseRecordFormat(value, parameters.format) || parameters.format == RecordFormat::Box) {
      return "format takes csv or jsonl: " + value;
    }
  } else if (name == "limit") {
    int64_t limit = 0;
    if (value.empty() || value[0] == '+' || value[0] == '-' ||
        ParseInt(value, limit) != value.size() || limit < 1 ||
        static_cast<uint64_t>(limit) > kRecordsMaxLimit) {
      return "limit takes 1 to " + std::to_string(kRecordsMaxLimit) + ": " + value;
    }
    parameters.query.limit = static_cast<uint64_t>(limit);
  } else {
    return "unknown parameter " + name;
  }
  return {};
}

std::string Parse(std::string_view query, Parameters& parameters) {
  parameters.query.limit = kRecordsDefaultLimit;
  while (!query.empty()) {
    const size_t amp = query.find('&');
    const std::string_view pair = query.substr(0, amp);
    query = amp == std::string_view::npos ? std::string_view() : query.substr(amp + 1);
    if (pair.empty()) continue;
    const size_t equals = pair.find('=');
    const std::string name = Decoded(pair.substr(0, equals));
    const std::string value =
        equals == std::string_view::npos ? std::string() : Decoded(pair.substr(equals + 1));
    std::string problem = Take(name, value, parameters);
    if (!problem.empty()) return problem;
  }
  return {};
}

}  // namespace

RecordsAnswer AnswerRecords(const std::string& file, std::string_view query) {
  Parameters parameters;
  if (std::string problem = Parse(query, parameters); !problem.empty()) {
    return Text(400, std::move(problem));
  }
  if (file.empty()) return Text(404, "the hub keeps no recording");
  std::error_code missing;
  if (!std::filesystem::exists(file, missing)) return Text(404, "no recording yet: " + file);
  auto reader = std::make_shared<CRecordReader>();
  std::string error;
  if (!reader->Open(file, error)) return Text(500, error);
  RecordsAnswer answer;
  answer.contentType = parameters.format == RecordFormat::Csv ? "text/csv; charset=utf-8"
                                                              : "application/x-ndjson";
  answer.produce = [reader, parameters](const ChunkSink& sink) {
    std::string ignored;
    return reader->Write(parameters.query, parameters.format, sink, ignored);
  };
  return answer;
}

}  // namespace tessamer
