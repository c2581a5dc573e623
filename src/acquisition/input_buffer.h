#pragma once
// Read-ahead between a box link and the item readers: a 4096-byte ring that holds at most 4095
// bytes, filled at most 2048 bytes per link read. Lines are copied out of the ring only into the
// readers' own line buffers; a line longer than a reader's buffer is consumed whole and cut, so
// memory stays bounded whatever the box sends.
//
// Threads: the driver's reader thread uses it; SetStopping may come from any thread and makes
// every operation return at once.

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <utility>

namespace tessamer {

class CDevice;

class InputBuffer {
 public:
  static constexpr size_t kSize = 4096;     // the ring; one byte always stays free
  static constexpr size_t kMaxFill = 2048;  // at most this much per link read

  // `device` is not owned and must outlive the buffer.
  explicit InputBuffer(CDevice* device) : device(device) {}
  InputBuffer(const InputBuffer&) = delete;
  InputBuffer& operator=(const InputBuffer&) = delete;

  // Reads more bytes from the link: the count read; 0 when the ring is full or the link
  // delivered none (the peer closed); -1 on a link failure; -2 when stopping or aborted.
  int Fill();

  // Copies the next `count` bytes without consuming them: `count`, -1 when the input failed
  // first, -2 when stopping.
  int Peek(char* out, int count);

  // Consumes bytes through the next line feed. With a buffer, stores at most size - 1 of them
  // without the line feed and a carriage return just before it, zero-terminated, and returns the
  // stored length; without one (nullptr) returns the bytes consumed. 0 when the input failed or
  // the buffer is stopping before the line feed was taken.
  size_t ReadLine(char* buffer, size_t size);

  // Drops every buffered byte.
  void Discard() { readPos = writePos = 0; }
  // Bytes consumed by ReadLine since the buffer was made: a reader that consumed none failed.
  uint64_t Consumed() const { return consumed; }

  // Runs before every link read, that is before the reader may block waiting for the box.
  void SetBeforeRead(std::function<void()> hook) { beforeRead = std::move(hook); }

  void SetStopping(bool value) { stopping.store(value); }
  size_t Used() const { return (writePos + kSize - readPos) % kSize; }

 private:
  std::array<char, kSize> storage{};
  size_t readPos = 0;   // next byte to take
  size_t writePos = 0;  // next byte to fill; equal to readPos when empty
  uint64_t consumed = 0;
  CDevice* device;      // the link, not owned
  std::function<void()> beforeRead;
  std::atomic<bool> stopping{false};
};

}  // namespace tessamer
