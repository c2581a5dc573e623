#include "acquisition/item_queue.h"

#include <utility>

namespace tessamer {

void CItemQueue::Push(QueueItem item) {
  {
    std::lock_guard<std::mutex> guard(lock);
    items.push_back(std::move(item));
  }
  unsignalled = true;
}

void CItemQueue::Signal() {
  if (!unsignalled) return;
  unsignalled = false;
  itemReady.notify_one();
}

void CItemQueue::WakeForStop() {
  // Under the lock: the delivery thread either sees the request or already waits.
  std::lock_guard<std::mutex> guard(lock);
  itemReady.notify_all();
}

void CItemQueue::DeliverUntilStopped(const std::stop_token& stop) {
  IDataHandler& to = *handler;
  std::deque<QueueItem> batch;  // swapped with `items`: their storage is reused
  while (TakeBatch(stop, batch)) {
    for (QueueItem& item : batch) {
      if (stop.stop_requested()) return;
      Deliver(to, item);
    }
    if (stop.stop_requested()) return;
    batch.clear();
  }
}

bool CItemQueue::TakeBatch(const std::stop_token& stop, std::deque<QueueItem>& batch) {
  std::unique_lock<std::mutex> guard(lock);
  itemReady.wait(guard, [&] { return !items.empty() || stop.stop_requested(); });
  if (stop.stop_requested()) return false;
  batch.swap(items);
  return true;
}

size_t CItemQueue::DeliverAll() {
  size_t delivered = 0;
  for (;;) {
    QueueItem item;
    {
      std::lock_guard<std::mutex> guard(lock);
      if (items.empty()) return delivered;
      item = std::move(items.front());
      items.pop_front();
    }
    Deliver(*handler, item);
    ++delivered;
  }
}

void CItemQueue::Drain() {
  std::deque<QueueItem> dropped;
  std::lock_guard<std::mutex> guard(lock);
  dropped.swap(items);
}

void CItemQueue::Deliver(IDataHandler& to, QueueItem& item) {
  switch (item.kind()) {
    case QueueItem::kHeader:
      to.OnHeader(*std::get<std::unique_ptr<Header>>(item.payload));
      break;
    case QueueItem::kData:
      to.OnData(*std::get<std::unique_ptr<Data>>(item.payload));
      break;
    case QueueItem::kText:
      to.OnTextLine(std::get<std::string>(item.payload));
      break;
  }
}

}  // namespace tessamer
