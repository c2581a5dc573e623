#pragma once
// The box addresses kept in the user's settings between runs: organisation "Vellumetric Systems",
// application "Tessamer", section "IP", integer values "Box_0" ... "Box_15". Each value is one
// IPv4 address with the first dotted part in the least significant byte (the address in network
// byte order read as a little-endian integer); 0 means no address. The list is compact: value k
// holds the k-th marked row's address, whatever row it came from. Beside them, the boolean
// "ServeAvailable": the File menu's "Serve available boxes" (missing: off).
//
// Threads: window thread only.

#include <QString>
#include <cstdint>
#include <vector>

namespace tessamer {

inline constexpr int kStoredAddressSlots = 16;

// Conversions between the stored value and the address control's value (first part most
// significant).
uint32_t StoredValueOf(uint32_t firstPartMostSignificant);
uint32_t ControlAddressOf(uint32_t storedValue);

class CBoxSettings {
 public:
  // The settings of `organisation` / `application` in the user's scope.
  CBoxSettings(QString organisation, QString application);

  // Every nonzero stored value, in slot order.
  std::vector<uint32_t> Load() const;
  // Writes `values` to slots 0 ... n-1 and leaves every other slot as it was.
  void Save(const std::vector<uint32_t>& values) const;
  // Deletes the section with everything in it.
  void Clear() const;
  bool HasSection() const;
  bool LoadServeAvailable() const;
  void SaveServeAvailable(bool on) const;

 private:
  QString organisation;
  QString application;
};

}  // namespace tessamer
