#pragma once
// What a connection driver hands its owner: job headers, data records, text lines and the state
// of its reader. The records are the driver's and die after the call returns: the owner copies
// what it keeps.
//
// Threads: OnData, OnHeader and OnTextLine come on the driver's delivery thread; OnReaderEnded,
// OnError, OnReconnectProgress and OnRejectedLine on its reader thread. The owner must accept
// calls from both.
// Any of them may stop the driver or delete it.

#include <cstdint>
#include <string>

#include "hub/core/records.h"

namespace tessamer {

// The phases OnReconnectProgress reports.
inline constexpr int32_t kReconnectAttempt = 0;  // before each attempt, with the retry count
inline constexpr int32_t kReconnected = 2;       // after a successful attempt

class IDataHandler {
 public:
  virtual ~IDataHandler() = default;
  virtual void OnData(const Data& data) = 0;
  virtual void OnHeader(const Header& header) = 0;
  // The text of a "##" line, the two marks removed.
  virtual void OnTextLine(const std::string& text) = 0;
  // The reader thread's last act; `unexpected` is true when it ended without a stop request.
  virtual void OnReaderEnded(bool unexpected) = 0;
  // A read failed and reconnection is not allowed: the link's error text.
  virtual void OnError(const std::wstring& text) = 0;
  // kReconnectAttempt (with the retry count, trying true) before each reconnection attempt;
  // kReconnected (trying false) after a successful one. The result is not used.
  virtual bool OnReconnectProgress(int32_t phase, int32_t retryCount, bool trying) = 0;
  // A line was read and skipped: nothing could be made of it. On the reader thread.
  virtual void OnRejectedLine() {}
};

}  // namespace tessamer
