#pragma once
// The text a Vellumetric box sends on its data port: the header block and the data lines, and the
// cutting of a recorded stream into the slots and pieces in which a replay delivers it.

#include <cstdint>
#include <ctime>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "box_setup.h"

namespace tessamer::sim {

// The header block of a generated box: the logger-family line, serial number, firmware and FPGA
// versions, job type, dial variable, VQI bytes, variable and unit lists, an optional "DiagInfo"
// line and the column line, then a "##" status line that ends the block at once (a receiver
// otherwise learns that the block has ended only from the first data line).
std::string HeaderBlockText(const BoxSetup& setup, std::string_view serialNumber);

// One data line: "MM/DD/YY HH:MM:SS" (with ".hh" hundredths when `hundredths` is not negative),
// then each value with four decimals, each preceded by a blank, then CR LF.
std::string DataLineText(const std::tm& localTime, int hundredths, const std::vector<double>& values);

// Plausible values of record `sequence` for the box's channels: each channel a slow wave around its
// base with a little noise; the sequence channel, if any, carries `sequence` itself.
std::vector<double> GenerateValues(const BoxSetup& setup, uint64_t sequence, std::mt19937& noise);

// A recorded stream cut for replay. `opening` is every line before the first data line (a line
// that begins with a digit); each slot holds the lines up to and including the next data line;
// lines after the last data line form a last slot of their own.
struct ReplayScript {
  std::string opening;
  std::vector<std::string> slots;
};
ReplayScript SplitReplay(std::string_view stream);

// Cuts `bytes` into consecutive pieces of 1 to `maxPiece` bytes (at least 1) chosen by `cuts`.
std::vector<std::string> CutIntoPieces(std::string_view bytes, size_t maxPiece, std::mt19937& cuts);

// Reads a whole file; false when it cannot be read.
bool ReadWholeFile(const std::string& path, std::string& contents);

}  // namespace tessamer::sim
