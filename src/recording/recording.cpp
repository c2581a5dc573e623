#include "recording/recording.h"

#include "recording/record_writer.h"

namespace tessamer {

std::shared_ptr<CRecording> CRecording::Open(RecordingSettings settings, RecordingReport report,
                                             std::string& error) {
  const std::string file = settings.file;
  const BatchSettings batching = settings.batching;
  const size_t queueBytes = settings.queueBytes;
  auto writer = std::make_shared<CRecordWriter>(std::move(settings), std::move(report));
  const OpenedFile opened = writer->Open();
  if (opened.opening == FileOpening::Refused) {
    error = opened.error;
    return nullptr;
  }
  return std::shared_ptr<CRecording>(new CRecording(file, std::move(writer), batching, queueBytes));
}

CRecording::CRecording(std::string file, std::shared_ptr<CRecordWriter> writer,
                       BatchSettings batching, size_t queueBytes)
    : file(std::move(file)),
      writer(writer),
      queue(std::make_unique<CQueuedOutput>(std::move(writer), batching, queueBytes)) {}

CRecording::~CRecording() = default;

void CRecording::OnHeader(const std::shared_ptr<const PublishedHeader>& header) {
  queue->OnHeader(header);
}

void CRecording::OnRecord(const std::shared_ptr<const PublishedRecord>& record) {
  queue->OnRecord(record);
}

void CRecording::AddHealth(HubHealth& health) const {
  writer->AddHealth(health);
  health.recording->waiting += queue->WaitingRecords();
  health.recording->dropped = queue->Dropped();
}

bool CRecording::WaitUntilWritten(std::chrono::milliseconds timeout) const {
  return queue->WaitUntilIdle(timeout);
}

}  // namespace tessamer
