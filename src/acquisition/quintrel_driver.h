#pragma once
// The box's own driver: recognises each item of the stream by the first characters of its line
// and reads it.
//
//   "##..."      a text line
//   "#..."       a line of the job-header block
//   "0".."9"...  a data record
//   anything else (also an empty line) is skipped, that line alone
//
// A header block from firmware older than 8.6v is refused: the link is closed with its error set,
// the operator is told, and the reader pauses before reconnecting.
//
// Threads: everything but QueueOutgoing runs on the reader thread (or on the thread driving
// ReadStep by hand); QueueOutgoing may come from any thread.

#include <memory>
#include <mutex>
#include <string>

#include "acquisition/job_parser.h"
#include "acquisition/quintrel_base_driver.h"

namespace tessamer {

inline constexpr size_t kTextLineBytes = 4096;  // line buffer of a "##" line

class CQuintrelDriver : public CQuintrelBaseDriver {
 public:
  CQuintrelDriver(IDataHandler* handler, std::unique_ptr<CDevice> device,
                  const AcquisitionTimeouts& timeouts = AcquisitionTimeouts());
  ~CQuintrelDriver() override;

  int ReadItem() override;
  void SendPending() override;

  // Text to write to the box before the next read.
  void QueueOutgoing(const std::string& text);

 protected:
  int ReadTextLine();
  int ReadHeaderBlock();
  bool ReadDataRecord();

 private:
  // Closes the link with its error set and tells the operator. Always 0 (no item).
  int RefuseFirmware(const std::wstring& firmware);

  std::mutex pendingLock;
  std::string pendingText;  // guarded by pendingLock
  CDataRecordReader records;
  char line[kTextLineBytes];  // the readers' line buffer
};

}  // namespace tessamer
