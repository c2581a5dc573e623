#pragma once
// What one viewer sends: cuts the received bytes into lines and acts on two kinds.
//   "O<x><name>=<value>"  posts a ClientOffsetNotice with the name (as a wide text);
//   "##<x><command>"      hands the whole line to the command handler (the server's relay);
//   anything else         is ignored.
// A line is the bytes before a line feed; a carriage return before it stays part of the line.
// At most kMaxLineBytes of an unfinished line are kept: a longer line loses its oldest bytes and
// is handled, so cut, once its line feed arrives. Lines of any length up to that are handled whole
// however the bytes are split across receives.
//
// Threads: Consume runs on the viewer's strand, one receive at a time.

#include <array>
#include <cstddef>
#include <functional>
#include <string>
#include <string_view>

#include "hub/core/notices.h"

namespace tessamer {

inline constexpr size_t kReceiveChunk = 4096;                // bytes taken from a socket at a time
inline constexpr size_t kMaxLineBytes = kReceiveChunk - 1;  // 4095

class COffsetProcessor {
 public:
  using CommandHandler = std::function<void(std::string line)>;

  // `window` may be null (no notices); `onCommand` may be empty (commands are ignored).
  COffsetProcessor(INoticeSink* window, CommandHandler onCommand);
  COffsetProcessor(const COffsetProcessor&) = delete;
  COffsetProcessor& operator=(const COffsetProcessor&) = delete;

  // Takes the bytes of one receive, in the order they came.
  void Consume(std::string_view bytes);

 private:
  void Keep(std::string_view bytes);  // appends to the unfinished line, keeping its newest bytes
  void HandleLine(std::string_view line);
  void NotifyOffset(std::string_view name);  // a ClientOffsetNotice to the window

  INoticeSink* window;
  CommandHandler onCommand;
  std::array<char, kMaxLineBytes> lineBuffer{};  // the unfinished line
  size_t lineLength = 0;                         // bytes held in `lineBuffer`
};

}  // namespace tessamer
