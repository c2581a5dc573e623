#pragma once
// The status endpoint's open connections, bounded. A new connection beyond the bound makes room
// by closing the connection that has waited longest without a request in progress (idle between
// requests, or still sending its head: what a flood of idle or trickling sockets holds); when
// every connection is busy answering or streaming, the new one is closed at once. Nothing waits
// for room. Long-lived streams have a bound of their own within the whole.
//
// Threads: the server thread only; the counts are mirrored into HttpServerCounters for others.

#include <cstddef>
#include <memory>
#include <map>

#include "app/status/http_settings.h"

namespace tessamer {

class CHttpConnection;

class CConnectionManager {
 public:
  CConnectionManager(const HttpServerSettings& settings, HttpServerCounters& counters);
  CConnectionManager(const CConnectionManager&) = delete;
  CConnectionManager& operator=(const CConnectionManager&) = delete;

  // Keeps `connection` when there is room or room can be made; false when it must be closed.
  bool Admit(const std::shared_ptr<CHttpConnection>& connection);
  // Forgets a connection that has closed.
  void Remove(CHttpConnection* connection);
  // A connection asks to become a stream; false when the streams' bound is reached.
  bool AddStream();
  void StreamEnded();
  // Closes every connection at once.
  void CloseAll();
  size_t Count() const { return connections.size(); }

 private:
  const HttpServerSettings& settings;
  HttpServerCounters& counters;
  std::map<CHttpConnection*, std::shared_ptr<CHttpConnection>> connections;
  size_t streams = 0;
};

}  // namespace tessamer
