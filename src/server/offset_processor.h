#pragma once
// The reading side of one client: cuts what the client sends into lines and acts on two kinds.
//   "O<x><name>=<value>"  posts a ClientOffsetNotice with the name (as a wide text);
//   "##<x><command>"      hands the whole line to the command handler (the server's relay);
//   anything else         is ignored.
// A line is the bytes before a line feed; a carriage return before it stays part of the line.
// At most kMaxLineBytes of an unfinished line are kept: a longer line loses its oldest bytes and
// is handled, so cut, once its line feed arrives. Lines of any length up to that are handled whole
// however the bytes are split across receives.
//
// Threads: Process runs on the worker running the client's strand, one receive at a time.

#include <array>
#include <cstddef>
#include <functional>
#include <string>
#include <string_view>

#include "hub/core/notices.h"
#include "server/processor.h"

namespace tessamer {

inline constexpr size_t kMaxLineBytes = kRecordBufferSize - 1;  // 4095

class COffsetProcessor : public CProcessor {
 public:
  using CommandHandler = std::function<void(std::string line)>;

  // `window` may be null (no notices); `onCommand` may be empty (commands are ignored).
  COffsetProcessor(ClientContext* context, INoticeSink* window, CommandHandler onCommand);

  // Consumes the record's last receive: `lastTransfer` bytes at the front of its `buffer`.
  // Returns 0.
  int Process() override;

  // Feeds received bytes directly (what Process does with the record's buffer).
  void Consume(std::string_view bytes);

 private:
  void Keep(std::string_view bytes);  // appends to the unfinished line, keeping its newest bytes
  void HandleLine(std::string_view line);

  INoticeSink* window;
  CommandHandler onCommand;
  std::array<char, kMaxLineBytes> lineBuffer{};  // the unfinished line
  size_t lineLength = 0;                         // bytes held in `lineBuffer`
};

}  // namespace tessamer
