#include "box_stream.h"

#include <cmath>
#include <fstream>
#include <sstream>

#include "support/number_text.h"

namespace tessamer::sim {
namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr double kWavePeriodRecords = 120.0;  // records in one period of a channel's wave

// A header number as a box writes it: no decimals when it is whole, else two.
std::string HeaderNumber(double value) {
  if (value == std::floor(value) && std::fabs(value) < 1e15) {
    std::string text;
    AppendInt(text, static_cast<int64_t>(value));
    return text;
  }
  return FormatFixed(value, 2);
}

void AppendTwoDigits(std::string& out, int value) {
  out.push_back(static_cast<char>('0' + (value / 10) % 10));
  out.push_back(static_cast<char>('0' + value % 10));
}

void AppendLine(std::string& out, std::string_view line) {
  out.append(line);
  out.append("\r\n");
}

}  // namespace

std::string HeaderBlockText(const BoxSetup& setup, std::string_view serialNumber) {
  const std::vector<ChannelSetup> channels = setup.channels.empty() ? DefaultChannels() : setup.channels;
  std::string block;
  AppendLine(block, setup.secondary ? "#  Vellumetric Secondary Job Data" : "#  Vellumetric Primary Job Data");
  AppendLine(block, "# SerialNumber " + std::string(serialNumber));
  AppendLine(block, "# Firmware Version " + setup.firmware);
  if (!setup.fpga.empty()) AppendLine(block, "# FPGA Version " + setup.fpga);
  AppendLine(block, "# JobType " + setup.jobType);
  AppendLine(block, "# DialVariable " + setup.dialVariable + " Min " + HeaderNumber(setup.dialMin) +
                        " Max " + HeaderNumber(setup.dialMax));
  std::string vqi = "# VQIData";
  std::string variables = "# VariableList";
  std::string units = "# UnitList";
  std::string columns = "#";
  for (size_t i = 0; i < channels.size(); ++i) {
    vqi += " 0";
    variables += ' ';
    AppendInt(variables, static_cast<int64_t>(i));
    units += ' ';
    units += channels[i].unit.empty() ? "-" : channels[i].unit;
    if (i > 0) columns += ' ';
    columns += channels[i].name;
  }
  AppendLine(block, vqi);
  AppendLine(block, variables);
  AppendLine(block, units);
  if (setup.diagnostics) {
    AppendLine(block,
               "# DiagInfo 3V 3.31 5V 5.02 OverV 0.00 Accl 0.98 ADSVcc 4.99 ADSRef 2.50 "
               "ADSTemp 31.20 Sensors OK");
  }
  AppendLine(block, columns);
  AppendLine(block, "## Logging started");
  return block;
}

std::string DataLineText(const std::tm& localTime, int hundredths, const std::vector<double>& values) {
  std::string line;
  line.reserve(24 + values.size() * 14);
  AppendTwoDigits(line, localTime.tm_mon + 1);
  line.push_back('/');
  AppendTwoDigits(line, localTime.tm_mday);
  line.push_back('/');
  AppendTwoDigits(line, localTime.tm_year % 100);
  line.push_back(' ');
  AppendTwoDigits(line, localTime.tm_hour);
  line.push_back(':');
  AppendTwoDigits(line, localTime.tm_min);
  line.push_back(':');
  AppendTwoDigits(line, localTime.tm_sec);
  if (hundredths >= 0) {
    line.push_back('.');
    AppendTwoDigits(line, hundredths % 100);
  }
  for (double value : values) {
    line.push_back(' ');
    AppendFixed(line, value, 4);
  }
  line.append("\r\n");
  return line;
}

std::vector<double> GenerateValues(const BoxSetup& setup, uint64_t sequence, std::mt19937& noise) {
  const std::vector<ChannelSetup> channels = setup.channels.empty() ? DefaultChannels() : setup.channels;
  std::uniform_real_distribution<double> jitter(-1.0, 1.0);
  std::vector<double> values;
  values.reserve(channels.size());
  for (size_t i = 0; i < channels.size(); ++i) {
    if (static_cast<int>(i) == setup.sequenceChannel) {
      values.push_back(static_cast<double>(setup.sequenceStart + sequence));
      continue;
    }
    const ChannelSetup& c = channels[i];
    const double phase = 2.0 * kPi * (static_cast<double>(sequence) / kWavePeriodRecords +
                                      static_cast<double>(i) / 7.0);
    values.push_back(c.base + c.swing * std::sin(phase) + c.noise * jitter(noise));
  }
  return values;
}

ReplayScript SplitReplay(std::string_view stream) {
  ReplayScript script;
  bool opening = true;
  std::string pending;
  size_t start = 0;
  while (start < stream.size()) {
    size_t end = stream.find('\n', start);
    end = end == std::string_view::npos ? stream.size() : end + 1;
    const std::string_view line = stream.substr(start, end - start);
    start = end;
    const bool dataLine = line[0] >= '0' && line[0] <= '9';
    if (opening && !dataLine) {
      script.opening.append(line);
      continue;
    }
    opening = false;
    pending.append(line);
    if (dataLine) {
      script.slots.push_back(std::move(pending));
      pending.clear();
    }
  }
  if (!pending.empty()) script.slots.push_back(std::move(pending));
  return script;
}

std::vector<std::string> CutIntoPieces(std::string_view bytes, size_t maxPiece, std::mt19937& cuts) {
  std::vector<std::string> pieces;
  if (maxPiece == 0) maxPiece = 1;
  std::uniform_int_distribution<size_t> size(1, maxPiece);
  size_t start = 0;
  while (start < bytes.size()) {
    const size_t n = std::min(size(cuts), bytes.size() - start);
    pieces.emplace_back(bytes.substr(start, n));
    start += n;
  }
  return pieces;
}

bool ReadWholeFile(const std::string& path, std::string& contents) {
  std::ifstream file(path, std::ios::binary);
  if (!file) return false;
  std::ostringstream text;
  text << file.rdbuf();
  contents = text.str();
  return !file.bad();
}

}  // namespace tessamer::sim
