#include "server/data_publisher.h"

#include <algorithm>

#include "support/number_text.h"
#include "support/text.h"
#include "version.h"

namespace tessamer {
namespace {

// The job type names viewers know; value 4 (acid) and unknown values have none.
const char* JobTypeName(int32_t jobType) {
  switch (jobType) {
    case Cementing: return "Cementing";
    case Slickline: return "Slickline";
    case Pumping: return "Pumping";
    case CoiledTubing: return "ColiedTubing";  // the spelling viewers expect
    case Drilling: return "Drilling";
    default: return "";
  }
}

// As printf's "%02d": at least two characters, a leading zero for 0 to 9.
void AppendTwoDigits(std::string& out, int value) {
  if (value >= 0 && value < 10) out += '0';
  AppendInt(out, value);
}

int ChannelCount(int32_t count) { return std::clamp<int32_t>(count, 0, MaxChannels); }

}  // namespace

CDataPublisher::~CDataPublisher() {
  if (server) server->Stop();
}

void CDataPublisher::SetServer(std::unique_ptr<CDataServer> newServer, int newPort) {
  std::unique_ptr<CDataServer> old;
  {
    std::lock_guard guard(lock);
    old = std::exchange(server, std::move(newServer));
    port = newPort;
  }
  if (old) old->Stop();
}

std::vector<ViewerHealth> CDataPublisher::Viewers() const {
  std::lock_guard guard(lock);
  return server ? server->Viewers() : std::vector<ViewerHealth>();
}

bool CDataPublisher::StartServer() {
  if (!server) return false;
  if (server->Start()) return true;
  startError = server->LastError();
  return false;
}

void CDataPublisher::PublishData(const Data& data) {
  std::lock_guard guard(lock);
  if (server) server->Publish(SavedText::DataLine, DataLine(data));
}

void CDataPublisher::PublishHeader(const Header& header) {
  std::lock_guard guard(lock);
  if (server) server->Publish(SavedText::Header, HeaderBlock(header));
}

void CDataPublisher::OnHeader(const std::shared_ptr<const PublishedHeader>& header) {
  std::lock_guard guard(lock);
  if (server) server->Publish(SavedText::Header, header->block);
}

void CDataPublisher::OnRecord(const std::shared_ptr<const PublishedRecord>& record) {
  std::lock_guard guard(lock);
  if (server) server->Publish(SavedText::DataLine, record->line);
}

std::string CDataPublisher::DataLine(const Data& data) {
  std::string line;
  const int count = ChannelCount(data.count);
  line.reserve(20 + static_cast<size_t>(count) * 16);
  AppendTwoDigits(line, data.time.tm_mon + 1);
  line += '/';
  AppendTwoDigits(line, data.time.tm_mday);
  line += '/';
  AppendTwoDigits(line, data.time.tm_year - 100);
  line += ' ';
  AppendTwoDigits(line, data.time.tm_hour);
  line += ':';
  AppendTwoDigits(line, data.time.tm_min);
  line += ':';
  AppendTwoDigits(line, data.time.tm_sec);
  line += ' ';
  for (int i = 0; i < count; ++i) {
    AppendFixed(line, data.values[i], 4);
    line += ' ';
  }
  line += "\r\n";
  return line;
}

std::string CDataPublisher::HeaderBlock(const Header& header) {
  const int count = ChannelCount(header.count);
  std::string block = "#  Quintrel Job Data\r\n# SerialNumber ";
  block += Narrow(TextOf(header.serialNumber));
  block += "\r\n# Ostrand version: ";
  AppendInt(block, kVersionMajor);
  block += '.';
  AppendInt(block, kVersionMinor);
  block += '.';
  AppendInt(block, kVersionPatch);
  block += "\r\n# JobType ";
  block += JobTypeName(header.jobType);
  block += "\r\n# DialVariable ";
  block += Narrow(TextOf(header.dialName));
  block += " Min ";
  AppendFixed(block, header.dialMin, 2);
  block += " Max ";
  AppendFixed(block, header.dialMax, 2);
  block += "\r\n# VQIData ";
  for (int i = 0; i < count; ++i) {
    AppendInt(block, header.vqi[i]);
    block += ' ';
  }
  block += "\r\n# VariableList ";
  for (int i = 0; i < count; ++i) {
    AppendInt(block, header.variables[i]);
    block += ' ';
  }
  block += "\r\n# UnitList ";
  for (int i = 0; i < count; ++i) {
    block += Narrow(TextOf(header.units[i]));
    block += ' ';
  }
  block += "\r\n#";
  for (int i = 0; i < count; ++i) {
    block += Narrow(TextOf(header.names[i]));
    block += ' ';
  }
  block += "\r\n";
  return block;
}

}  // namespace tessamer
