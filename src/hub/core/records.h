#pragma once
// The plain records that travel through the hub. Every record is copied by value; the only heap
// memory a record owns is a Header's optional diagnostics block, which every copy duplicates.

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <memory>
#include <string_view>
#include <type_traits>

namespace tessamer {

inline constexpr int MaxBoxes = 16;     // boxes in one box list, one per window row
inline constexpr int MaxChannels = 96;  // channels in a header, values in a data record

// Field capacities, terminator included.
inline constexpr size_t kNameChars = 50;
inline constexpr size_t kUnitChars = 10;
inline constexpr size_t kVersionChars = 32;
inline constexpr size_t kHeaderTextChars = 8192;
inline constexpr size_t kDiagnosticsTextChars = 64;
inline constexpr size_t kDiagnosticsValues = 7;

// Copies `source` into a fixed field, cut to leave room for the terminator.
template <typename Char, size_t N>
void CopyText(Char (&field)[N], std::basic_string_view<Char> source) {
  const size_t n = source.size() < N - 1 ? source.size() : N - 1;
  for (size_t i = 0; i < n; ++i) field[i] = source[i];
  for (size_t i = n; i < N; ++i) field[i] = Char{};
}

template <size_t N>
void CopyText(wchar_t (&field)[N], const wchar_t* source) {
  CopyText(field, std::wstring_view(source));
}

// The text in a fixed field, up to its terminator.
template <typename Char, size_t N>
std::basic_string_view<Char> TextOf(const Char (&field)[N]) {
  size_t n = 0;
  while (n < N && field[n] != Char{}) ++n;
  return {field, n};
}

// One box to connect to. `address` is in network byte order: its bytes in memory are the four
// dotted parts in reading order.
struct Box {
  uint32_t address;
  int32_t port;
  int32_t row;  // 0-based window row; the lamp index in notices, not the agent index
};

// Builds a Box address from its dotted parts, and the dotted text of one.
uint32_t BoxAddress(uint8_t a, uint8_t b, uint8_t c, uint8_t d);
uint32_t BoxAddressFromHostOrder(uint32_t hostOrder);
uint32_t HostOrderOf(uint32_t boxAddress);
std::string DottedText(uint32_t boxAddress);

enum ActivityStatus : int32_t {
  Connected = 0,       // the link is open (first connection and every reconnection)
  ConnectionLost = 1,  // a link that was up is lost for good, or reopening it failed
  ConnectFailed = 2,   // the run's first connection attempt failed; the agent ends
};

struct Activity {
  int32_t status;  // ActivityStatus
  int32_t agent;   // agent index
};

enum JobType : int32_t {
  Cementing = 0,
  Slickline = 1,
  Pumping = 2,  // also generic and fracturing jobs
  CoiledTubing = 3,
  Acid = 4,
  Drilling = 5,
};

struct Data {
  uint8_t fraction;       // digits after the seconds' decimal point, read as an integer
  std::tm time;           // the box's local time of the record
  int64_t timestamp;      // seconds since 1970-01-01 00:00 UTC of `time` read as local time
  double values[MaxChannels];
  int32_t count;          // valid entries at the front of `values`; the rest are 0
};

struct DiagnosticsBlock {
  double values[kDiagnosticsValues];
  wchar_t text[kDiagnosticsTextChars];
};

struct Header {
  Header();
  Header(const Header& other);
  Header& operator=(const Header& other);
  Header(Header&& other) noexcept;
  Header& operator=(Header&& other) noexcept;
  ~Header() = default;

  wchar_t names[MaxChannels][kNameChars];
  int32_t count;
  double dialMin;
  double dialMax;
  wchar_t dialName[kNameChars];
  int32_t dialIndex;
  int32_t variables[MaxChannels];
  wchar_t units[MaxChannels][kUnitChars];
  int32_t jobType;
  bool secondary;
  wchar_t serialNumber[kVersionChars];
  wchar_t firmwareVersion[kVersionChars];
  wchar_t fpgaVersion[kVersionChars];
  uint8_t vqi[MaxChannels];
  char text[kHeaderTextChars];  // header lines as received, each ending in a line feed
  std::unique_ptr<DiagnosticsBlock> diagnostics;

 private:
  void CopyFields(const Header& other);
};

struct DataNotification {
  Data data;
  int32_t agent;
  bool repeat = false;  // a lost box's last record, repeated to hold its place
};

struct HeaderNotification {
  Header header;
  int32_t agent;
};

static_assert(std::is_trivially_copyable_v<Box>);
static_assert(std::is_trivially_copyable_v<Activity>);
static_assert(std::is_trivially_copyable_v<Data>);
static_assert(std::is_trivially_copyable_v<DataNotification>);

}  // namespace tessamer
