#include "acquisition/input_buffer.h"

#include <algorithm>
#include <cstring>

#include "acquisition/device.h"

namespace tessamer {

int InputBuffer::Fill() {
  const size_t free = kSize - 1 - Used();
  if (free == 0) return 0;
  size_t want = std::min(free, kMaxFill);
  if (writePos + want >= kSize) {
    if (readPos == writePos) {
      readPos = writePos = 0;
    } else {
      want = kSize - writePos;
    }
  }
  if (stopping.load()) return -2;
  if (beforeRead) beforeRead();
  const int n = device->Read(storage.data() + writePos, static_cast<int>(want));
  if (n == -1) return -1;
  if (n == 0) return 0;
  if (n < 0) return -2;
  writePos = (writePos + std::min(static_cast<size_t>(n), want)) % kSize;
  if (stopping.load()) return -2;
  return n;
}

int InputBuffer::Peek(char* out, int count) {
  if (stopping.load()) return -2;
  size_t pos = readPos;
  for (int i = 0; i < count; ++i) {
    if (pos == writePos) {
      if (Fill() <= 0) return -1;
      if (i == 0) pos = readPos;  // an empty ring may have moved to its start
    }
    out[i] = storage[pos];
    pos = (pos + 1) % kSize;
  }
  return count;
}

size_t InputBuffer::ReadLine(char* buffer, size_t size) {
  const size_t capacity = buffer != nullptr && size > 0 ? size - 1 : 0;
  size_t taken = 0;
  size_t stored = 0;
  for (;;) {
    if (stopping.load()) return 0;
    if (readPos == writePos && Fill() <= 0) return 0;
    const size_t end = writePos > readPos ? writePos : kSize;
    const char* begin = storage.data() + readPos;
    const size_t available = end - readPos;
    const void* lineFeed = std::memchr(begin, '\n', available);
    const size_t chunk =
        lineFeed != nullptr ? static_cast<size_t>(static_cast<const char*>(lineFeed) - begin) + 1
                            : available;
    if (stored < capacity) {
      const size_t copied = std::min(chunk, capacity - stored);
      std::memcpy(buffer + stored, begin, copied);
      stored += copied;
    }
    taken += chunk;
    consumed += chunk;
    readPos = (readPos + chunk) % kSize;
    if (lineFeed != nullptr) break;
  }
  if (buffer == nullptr) return taken;
  if (stored == taken) {
    --stored;  // the line feed
    if (stored > 0 && buffer[stored - 1] == '\r') --stored;
  }
  if (size > 0) buffer[stored] = '\0';
  return stored;
}

}  // namespace tessamer
