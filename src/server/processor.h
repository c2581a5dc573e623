#pragma once
// The processors of a client's two records: one sends, one reads. The data server calls Process
// for each completion on the record; the processors themselves never touch a socket.

#include "server/client_context.h"

namespace tessamer {

// Held: texts wait in the queue for a send step that is started later, so that one send carries
// several of them (the client processor's gathering while the server is behind).
enum class ProcessorState { New, Idle, Sending, Held };

class CProcessor {
 public:
  // `context` is the record that owns this processor.
  explicit CProcessor(ClientContext* context) : context(context) {}
  virtual ~CProcessor() = default;
  CProcessor(const CProcessor&) = delete;
  CProcessor& operator=(const CProcessor&) = delete;

  // Binds the processor to `record` and sets `New`.
  virtual void Attach(ClientContext* record) {
    context = record;
    state = ProcessorState::New;
  }
  // Works on the record's last completion. Returns 0, kErrorIoPending (an operation is to be
  // issued for the record) or a socket error number.
  virtual int Process() = 0;
  virtual void Reset() {}

 protected:
  ProcessorState state = ProcessorState::New;
  ClientContext* context;  // not owned: the record owns the processor
};

}  // namespace tessamer
