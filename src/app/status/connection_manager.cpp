#include "app/status/connection_manager.h"

#include "app/status/http_connection.h"

namespace tessamer {

CConnectionManager::CConnectionManager(const HttpServerSettings& settings, HttpServerCounters& counters)
    : settings(settings), counters(counters) {}

bool CConnectionManager::Admit(const std::shared_ptr<CHttpConnection>& connection) {
  if (connections.size() >= settings.maxConnections) {
    CHttpConnection* oldest = nullptr;
    for (const auto& entry : connections) {
      CHttpConnection* candidate = entry.first;
      if (candidate->Idle() && (oldest == nullptr || candidate->IdleSince() < oldest->IdleSince())) {
        oldest = candidate;
      }
    }
    if (oldest == nullptr) {
      ++counters.refused;
      return false;
    }
    ++counters.evicted;
    oldest->Close();  // removes itself
  }
  connections.emplace(connection.get(), connection);
  counters.connections = connections.size();
  return true;
}

void CConnectionManager::Remove(CHttpConnection* connection) {
  connections.erase(connection);
  counters.connections = connections.size();
}

bool CConnectionManager::AddStream() {
  if (streams >= settings.maxStreams) return false;
  counters.streams = ++streams;
  return true;
}

void CConnectionManager::StreamEnded() {
  if (streams > 0) --streams;
  counters.streams = streams;
}

void CConnectionManager::CloseAll() {
  auto closing = std::move(connections);
  connections.clear();
  for (const auto& entry : closing) entry.second->Close();
  counters.connections = 0;
}

}  // namespace tessamer
