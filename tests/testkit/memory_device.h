#pragma once
// A box link held in memory, for driver tests, the fuzzer and the benchmarks: each Open takes the
// next scripted connection, whose text Read hands out in pieces of at most a chosen size. A
// connection either ends once its text is read (the box closed it) or stays open, waiting for
// Feed, until Abort. Mirrors the TCP link's results and error records.
//
// Threads: the driver's threads call Open, Read, Write, Close and Abort; the test thread may call
// Feed, EndConnection and the observers at any time.

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

#include "acquisition/device.h"

namespace tessamer::testkit {

struct MemoryConnection {
  std::string text;          // what the box sends on this connection
  bool closeAtEnd = true;    // false: the connection stays open after its text, waiting for more
  int32_t refuseCode = 0;    // not 0: Open fails with this code (10061: the box refuses)
};

class CMemoryDevice : public CDevice {
 public:
  explicit CMemoryDevice(std::vector<MemoryConnection> connections,
                         const TcpOptions& options = TcpOptions());

  bool Open(ErrorInfo& failure) override;
  void Close() override;
  int Read(char* buffer, int size) override;
  int Write(const char* data, int size) override;
  void Abort(int32_t reason) override;

  // At most `bytes` per Read (default 2048, the driver's own limit).
  void SetReadLimit(int bytes);
  // Appends to the current connection's text.
  void Feed(const std::string& text);
  // The current connection ends once its text is read.
  void EndConnection();

  int OpenCount() const;   // successful Opens
  int CloseCount() const;
  std::string Written() const;

 private:
  mutable std::mutex mutex;
  std::condition_variable changed;
  std::deque<MemoryConnection> script;  // connections not yet opened
  std::string current;                  // unread text of the open connection
  size_t readPos = 0;
  bool open = false;
  bool closeAtEnd = true;
  bool aborted = false;
  int readLimit = 2048;
  int opens = 0;
  int closes = 0;
  std::string written;
};

}  // namespace tessamer::testkit
