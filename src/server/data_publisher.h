#pragma once
// Turns the hub's Header and Data records into the text viewers receive, stores each text in the
// data server as the last of its kind (so a client that connects later gets it first) and hands
// it to every connected client. Numbers are written the same under every process locale.
//
// As the first output of the combined job (job_output.h) it publishes the texts the run made
// once for every output; it does so at once, on the calling thread: the data server's own
// queues are where a slow viewer waits. Its health is the viewers'.
//
// Owning the server: the hub bridge makes the CDataServer and hands it over with SetServer; from
// then on the publisher owns it, and destroying the publisher stops and deletes the server.
//
// Threads: SetServer, StartServer and the destructor on the owner's thread, before or after
// publishing; PublishHeader, PublishData and the output's operations from the routing's threads. `lock` makes
// publication one at a time, so texts reach the clients in the order of the calls.

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "hub/core/job_output.h"
#include "hub/core/records.h"
#include "server/data_server.h"
#include "support/error_info.h"

namespace tessamer {

class CDataPublisher final : public CJobOutputBase {
 public:
  CDataPublisher() = default;  // without a server: publishing does nothing
  ~CDataPublisher() override;  // stops and deletes the server
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

  // The output: the texts of the header and of each record (repeats too) go to the clients.
  void OnHeader(const std::shared_ptr<const PublishedHeader>& header) override;
  void OnRecord(const std::shared_ptr<const PublishedRecord>& record) override;
  void AddHealth(HubHealth& health) const override { health.viewers = Viewers(); }

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
