#pragma once
// The hub's command connection to one logger box's utility port: opening with the box's banner,
// the firmware query, and the "G" command set with its acknowledgement checks.
//
// Failures never leave an operation as exceptions: each operation records them in its ErrorInfo
// and returns false (a traffic log that cannot be opened by an operation that opens the connection
// itself is the one exception, and only when a log file name was given).
//
// Threads: one thread at a time uses an object (its box's lane of the utility server's request
// executor for the bridge's cached connections, a relay thread for a viewer's command). Abort
// alone may be called from any other thread. The opening and Disconnect block (connect and banner
// waits up to the open time-out each, a 100 ms pause on every close).

#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "hub/core/hub_config.h"
#include "support/error_info.h"
#include "utility/line_link.h"

namespace tessamer {

struct FirmwareInfo {
  bool missingBanner = false;  // copied from the connection
  int32_t major = 0;
  int32_t minor = 0;
  std::wstring revision;       // one character, or unchanged when the firmware line has none
};

inline constexpr int64_t kUtilityOpenTimeoutMs = 5000;     // connect and banner of an opening
inline constexpr size_t kBannerLineSize = 1024;
inline constexpr size_t kResponseBufferSize = 8192;
inline constexpr size_t kRequestBufferSize = 512;          // a request is at most 511 bytes
inline constexpr size_t kLetterResponseSize = 128;
inline constexpr std::string_view kBannerMark = "Vellumetric-VMC:";
inline constexpr std::string_view kResponseMarker = "Extended Command done ";  // 22 characters
inline constexpr std::string_view kCompletionWord = "Done";

class CVellumetricUtility {
 public:
  using ProgressObserver = std::function<void(int32_t total, int32_t reached)>;
  using ErrorObserver = std::function<void(const std::wstring& text)>;
  using SetValue = std::pair<double, int32_t>;  // (value, variable)

  // `connectPerCommand`: every command opens the connection first and closes it afterwards.
  // `captureResponses`: after opening, everything received is kept in Link().capture.
  // `logFileName`: the link's traffic log, empty for none. `defaultBoxAddress` (dotted) is used
  // while no target is set; `port` is the box's utility port.
  CVellumetricUtility(bool connectPerCommand, bool captureResponses,
                      std::wstring logFileName = {},
                      std::string_view defaultBoxAddress = kDefaultBoxAddress,
                      uint16_t port = kBoxUtilityPort);
  virtual ~CVellumetricUtility();
  CVellumetricUtility(const CVellumetricUtility&) = delete;
  CVellumetricUtility& operator=(const CVellumetricUtility&) = delete;

  // True when a firmware version line was recognised; fills `info`.
  virtual bool QueryFirmwareVersion(FirmwareInfo& info);
  // Opens (closing an open connection first) and reads the banner. False with GetErrorInfo().
  virtual bool Connect();
  // Shuts down and closes the connection, resets the link and pauses 100 ms, open or not.
  virtual void Disconnect();
  // Dotted IPv4 address or host name; empty: the default box address.
  virtual void SetTarget(const std::wstring& target);
  virtual ErrorInfo GetErrorInfo() const { return error; }
  virtual bool IsConnected() const { return link.IsOpen(); }
  virtual void SetOpenTimeout(int64_t milliseconds) { openTimeoutMs = milliseconds; }

  // Connects to the target and reads the banner line. Throws the exception family.
  void OpenAndGreet();

  // The command set. Each returns the outcome of its last request (true for none).
  bool CommandA(int32_t variable);
  bool CommandU(int32_t variable);
  bool CommandZ(int32_t variable);
  bool CommandS(int32_t variable, double value);
  bool SendLetterCommand(std::span<const int32_t> variables, char letter);
  bool SendZCommands(std::span<const int32_t> variables, std::vector<int32_t>& undone);
  bool SendYRequest(std::span<const int32_t> variables);
  bool RunZCommand(std::span<const int32_t> variables, std::vector<int32_t>& undone);
  bool SendSetValues(std::span<const SetValue> values);
  bool SendTextCommands(std::span<const std::string> texts);

  // Reads the acknowledgement line (containing `marker`, not a "#" line) into `buffer` and the
  // line after it behind it. Returns the acknowledgement's length (> 0); 0 or less for a time-out
  // or an empty line; -2 when the following line lacks "Done". Throws socket_exception.
  int WaitForResponse(char* buffer, size_t size, std::string_view marker);

  // Ends the connection's waits at once (socket_exception). Threads: any. Final for this object.
  void Abort() { link.Abort(); }

  void SetProgressObserver(ProgressObserver observer) { progressObserver = std::move(observer); }
  void SetErrorObserver(ErrorObserver observer) { errorObserver = std::move(observer); }
  uint32_t Address() const { return address; }
  bool MissingBanner() const { return missingBanner; }
  std::string_view BannerLine() const { return bannerLine; }
  LineLink& Link() { return link; }

 private:
  // One item of the letter-command family: format, send, check the acknowledgement.
  bool ExchangeRequest(std::string_view request, char letter);
  bool CheckCount(const char* acknowledgement, size_t requestLength);
  void RecordFailure(const std::wstring& text);
  void RecordException(const std::exception& failure, int32_t code);
  template <typename Item, typename Format>
  bool SendEach(std::span<const Item> items, char letter, Format format, size_t* interrupted);

  bool missingBanner = false;  // the first line after connecting lacked the banner mark
  uint16_t port;
  LineLink link;
  char bannerLine[kBannerLineSize] = {};
  bool captureResponses;
  ErrorInfo error;             // the last failure; a success does not clear it
  bool connectPerCommand;
  ProgressObserver progressObserver = [](int32_t, int32_t) {};
  ErrorObserver errorObserver = [](const std::wstring&) {};
  uint32_t defaultAddress;     // network byte order
  uint32_t address;            // network byte order; 0: none set
  int64_t openTimeoutMs = kUtilityOpenTimeoutMs;
  std::wstring logFileName;
  std::vector<char> responseBuffer = std::vector<char>(kResponseBufferSize);
};

}  // namespace tessamer
