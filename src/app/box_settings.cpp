#include "app/box_settings.h"

#include <QSettings>

#include "app/app_texts.h"

namespace tessamer {
namespace {

QString SlotName(int k) { return QStringLiteral("Box_%1").arg(k); }

const QString kServeAvailableKey = QStringLiteral("ServeAvailable");

uint32_t SwapBytes(uint32_t value) {
  return ((value & 0xFFu) << 24) | ((value & 0xFF00u) << 8) | ((value >> 8) & 0xFF00u) |
         (value >> 24);
}

}  // namespace

uint32_t StoredValueOf(uint32_t firstPartMostSignificant) {
  return SwapBytes(firstPartMostSignificant);
}

uint32_t ControlAddressOf(uint32_t storedValue) { return SwapBytes(storedValue); }

CBoxSettings::CBoxSettings(QString organisation, QString application)
    : organisation(std::move(organisation)), application(std::move(application)) {}

std::vector<uint32_t> CBoxSettings::Load() const {
  QSettings settings(organisation, application);
  settings.beginGroup(kAddressSection);
  std::vector<uint32_t> values;
  for (int k = 0; k < kStoredAddressSlots; ++k) {
    bool ok = false;
    // A value that is no integer at all reads as 0, like a missing one.
    const uint32_t value = static_cast<uint32_t>(settings.value(SlotName(k), 0).toLongLong(&ok));
    if (ok && value != 0) values.push_back(value);
  }
  return values;
}

void CBoxSettings::Save(const std::vector<uint32_t>& values) const {
  QSettings settings(organisation, application);
  settings.beginGroup(kAddressSection);
  for (size_t k = 0; k < values.size() && k < kStoredAddressSlots; ++k) {
    settings.setValue(SlotName(static_cast<int>(k)), values[k]);
  }
  settings.endGroup();
  settings.sync();
}

void CBoxSettings::Clear() const {
  QSettings settings(organisation, application);
  settings.remove(kAddressSection);
  settings.sync();
}

bool CBoxSettings::LoadServeAvailable() const {
  QSettings settings(organisation, application);
  settings.beginGroup(kAddressSection);
  return settings.value(kServeAvailableKey, false).toBool();
}

void CBoxSettings::SaveServeAvailable(bool on) const {
  QSettings settings(organisation, application);
  settings.beginGroup(kAddressSection);
  settings.setValue(kServeAvailableKey, on);
  settings.endGroup();
  settings.sync();
}

bool CBoxSettings::HasSection() const {
  QSettings settings(organisation, application);
  return settings.childGroups().contains(kAddressSection);
}

}  // namespace tessamer
