// `tessamer export`: a recording to standard output, in constant memory.

#include <CLI/CLI.hpp>

#include <cstdio>
#include <tuple>

#include "app/cli/headless_runner.h"
#include "app/cli/job_recording.h"
#include "recording/record_reader.h"
#include "recording/recording_time.h"

namespace tessamer {
namespace {

constexpr int kExitReadFailed = 1;

struct ExportOptions {
  std::string file;
  std::string from;
  std::string to;
  int64_t run = 0;
  std::string format = "csv";
};

void AddOptions(CLI::App& app, ExportOptions& options) {
  app.add_option("FILE", options.file, "the recording (an SQLite file)")->required();
  app.add_option("--from", options.from,
                 "records received at or after TIME: ISO 8601, UTC or with\n"
                 "an offset (2024-05-01T02:14, 2024-05-01T04:14:00+02:00)")
      ->type_name("TIME");
  app.add_option("--to", options.to, "records received before TIME")->type_name("TIME");
  app.add_option("--run", options.run, "the records of run N only (runs.run_id)")
      ->type_name("N")
      ->check(CLI::PositiveNumber);
  app.add_option("--format", options.format,
                 "box: the header blocks and data lines as viewers received\n"
                 "them (vellumetric-sim --replay plays them back); csv (the\n"
                 "default): a header row and a row per record; jsonl: one JSON\n"
                 "object per record")
      ->type_name("box|csv|jsonl");
  app.footer("Exit status: 0; 2 for bad options, a bad time or a file that is missing or not a\n"
             "recording; 1 when reading failed part of the way.");
}

// Fills `query` and `format`; the reason when an option cannot be taken.
std::string QueryOf(const ExportOptions& options, RecordQuery& query, RecordFormat& format) {
  if (!ParseRecordFormat(options.format, format)) {
    return "--format takes box, csv or jsonl: " + options.format;
  }
  for (const auto& [name, text, time] : {std::tuple{"--from", &options.from, &query.from},
                                         std::tuple{"--to", &options.to, &query.to}}) {
    if (text->empty()) continue;
    *time = ParseTimeText(*text);
    if (!*time) return std::string(name) + " takes an ISO 8601 time: " + *text;
  }
  if (options.run > 0) query.run = options.run;
  return {};
}

bool WriteToStandardOutput(std::string_view chunk) {
  return std::fwrite(chunk.data(), 1, chunk.size(), stdout) == chunk.size();
}

}  // namespace

int RunExport(const std::vector<std::string>& args,
              const std::function<bool(std::string_view)>& out,
              const std::function<void(const std::string&)>& err) {
  const auto fail = [&err](int status, const std::string& reason) {
    const std::string line = "tessamer export: " + reason;
    err ? err(line) : static_cast<void>(std::fprintf(stderr, "%s\n", line.c_str()));
    return status;
  };
  CLI::App app("Writes a recording to standard output.", "tessamer export");
  ExportOptions options;
  AddOptions(app, options);
  try {
    app.parse(std::vector<std::string>(args.rbegin(), args.rend()));
  } catch (const CLI::CallForHelp&) {
    out ? out(app.help()) : WriteToStandardOutput(app.help());
    return 0;
  } catch (const CLI::ParseError& e) {
    return fail(kExitBadOptions, e.what());
  }
  RecordQuery query;
  RecordFormat format = RecordFormat::Csv;
  if (std::string problem = QueryOf(options, query, format); !problem.empty()) {
    return fail(kExitBadOptions, problem);
  }
  CRecordReader reader;
  std::string error;
  if (!reader.Open(options.file, error)) return fail(kExitBadOptions, error);
  const bool read = reader.Write(query, format, out ? out : WriteToStandardOutput, error);
  if (!out) std::fflush(stdout);
  return read ? 0 : fail(kExitReadFailed, error);
}

}  // namespace tessamer
