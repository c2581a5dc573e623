#include "server/offset_processor.h"

#include <cstring>

#include "support/text.h"

namespace tessamer {

COffsetProcessor::COffsetProcessor(INoticeSink* window, CommandHandler onCommand)
    : window(window), onCommand(std::move(onCommand)) {}

void COffsetProcessor::Consume(std::string_view bytes) {
  while (!bytes.empty()) {
    const size_t feed = bytes.find('\n');
    if (feed == std::string_view::npos) {
      Keep(bytes);
      return;
    }
    Keep(bytes.substr(0, feed));
    bytes.remove_prefix(feed + 1);
    const size_t length = lineLength;
    lineLength = 0;
    HandleLine(std::string_view(lineBuffer.data(), length));
  }
}

void COffsetProcessor::Keep(std::string_view bytes) {
  if (bytes.size() >= lineBuffer.size()) {
    bytes.remove_prefix(bytes.size() - lineBuffer.size());
    std::memcpy(lineBuffer.data(), bytes.data(), bytes.size());
    lineLength = bytes.size();
    return;
  }
  const size_t room = lineBuffer.size() - lineLength;
  if (bytes.size() > room) {
    const size_t drop = bytes.size() - room;  // the oldest bytes of the unfinished line
    std::memmove(lineBuffer.data(), lineBuffer.data() + drop, lineLength - drop);
    lineLength -= drop;
  }
  std::memcpy(lineBuffer.data() + lineLength, bytes.data(), bytes.size());
  lineLength += bytes.size();
}

void COffsetProcessor::HandleLine(std::string_view line) {
  line = line.substr(0, line.find('\0'));  // a line is a text: it ends at a zero byte
  if (line.empty()) return;
  if (line[0] == 'O') {
    const size_t equals = line.find('=');
    if (equals == std::string_view::npos) return;
    // The name starts after "O" and one further character; "O=" and "Ox=" name nothing.
    const std::string_view name = equals > 2 ? line.substr(2, equals - 2) : std::string_view();
    NotifyOffset(name);
  } else if (line.size() >= 2 && line[0] == '#' && line[1] == '#') {
    if (onCommand) onCommand(std::string(line));
  }
}

void COffsetProcessor::NotifyOffset(std::string_view name) {
  PostNotice(window, ClientOffsetNotice{Widen(name)});
}

}  // namespace tessamer
