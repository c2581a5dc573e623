#pragma once
// Turns the hub's Header and Data records into the text viewers receive, stores each text in the
// data server as the last of its kind (so a client that connects later gets it first) and hands
// it to every connected client. Numbers are written the same under every process locale.
//
// Owning the server: the hub bridge makes the CDataServer and hands it over with SetServer; from
// then on the publisher owns it, and destroying the publisher stops and deletes the server.
//
// Threads: SetServer, StartServer and the destructor on the owner's thread, before or after
// publishing; PublishHeader and PublishData from the routing's threads. `lock` makes
// publication one at a time, so texts reach the clients in the order of the calls.

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "hub/core/records.h"
#include "server/data_server.h"
#include "support/error_info.h"

namespace tessamer {

class CDataPublisher {
 public:
  CDataPublisher() = default;  // without a server: publishing does nothing
  ~CDataPublisher();           // stops and deletes the server
  CDataPublisher(const CDataPublisher&) = delete;
  CDataPublisher& operator=(const CDataPublisher&) = delete;

  // Takes ownership of `server`, made for `port`; a server held before is stopped and deleted.
  void SetServer(std::unique_ptr<CDataServer> server, int port);
  // Starts the held server. On false its error record is copied into StartError().
  bool StartServer();

  // The data line of `data`, stored as the last data line and sent to every client.
  void PublishData(const Data& data);
  // The header block of `header`, stored as the last header block and sent to every client.
  void PublishHeader(const Header& header);

  CDataServer* Server() const { return server.get(); }
  // The held server's viewers (none without a server); from any thread.
  std::vector<ViewerHealth> Viewers() const;
  int Port() const { return port; }
  const ErrorInfo& StartError() const { return startError; }

  // The texts themselves.
  static std::string DataLine(const Data& data);
  static std::string HeaderBlock(const Header& header);

 private:
  std::unique_ptr<CDataServer> server;  // null until the bridge hands one over
  int port = 0;                         // the port the server was made for
  ErrorInfo startError;                 // the server's record after a failed start
  mutable std::mutex lock;              // one publication at a time; guards `server`
};

}  // namespace tessamer
