#pragma once
// Fields of the one-line reports the programs print (headless lines, recording and delivery
// notes): each value stays one field of one line, whatever it holds.
//
// Threads: plain functions of their arguments; any thread.

#include <chrono>
#include <string>

namespace tessamer {

// `text` in double quotes as one field: a double quote in it becomes a single one, a line end a
// blank.
std::string QuotedField(std::string text);

// Seconds with up to three decimals, trailing zeros left out: "0.2", "1.6", "60".
std::string SecondsText(std::chrono::milliseconds wait);

}  // namespace tessamer
