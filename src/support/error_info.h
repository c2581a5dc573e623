#pragma once
// The last-error record of a network component. It has no lock: the owning component says
// which of its threads write it.

#include <cstdint>
#include <string>

namespace tessamer {

struct ErrorInfo {
  bool failed = false;   // true once an error has been recorded
  int32_t code = 0;      // Windows Sockets number, or a small number of the component's own
  std::wstring text;     // the message shown to the operator

  // Records a system failure: the system's text for `number`, framed by "Error occurred while
  // <operation>." when an operation phrase is given, trailing white space trimmed.
  void SetSystemError(uint32_t number, const wchar_t* operation = nullptr);

  // Records a condition of the component's own.
  void Set(int32_t newCode, std::wstring newText);

  void Clear();
};

}  // namespace tessamer
