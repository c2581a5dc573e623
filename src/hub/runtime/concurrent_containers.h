#pragma once
// A map and a set that several threads may insert into, look up and count at once. clear is
// meant for moments when no handler uses the container.
//
// Threads: every operation from any thread; one internal mutex guards the contents.

#include <cstddef>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <utility>

namespace tessamer {

template <typename Key, typename Value>
class concurrent_map {
 public:
  // Inserts when `key` is not there yet; true when inserted.
  bool insert(const Key& key, const Value& value) {
    std::lock_guard lock(mutex);
    return entries.emplace(key, value).second;
  }
  bool contains(const Key& key) const {
    std::lock_guard lock(mutex);
    return entries.count(key) != 0;
  }
  // A copy of the value stored under `key`.
  std::optional<Value> find(const Key& key) const {
    std::lock_guard lock(mutex);
    auto it = entries.find(key);
    if (it == entries.end()) return std::nullopt;
    return it->second;
  }
  size_t size() const {
    std::lock_guard lock(mutex);
    return entries.size();
  }
  void clear() {
    std::lock_guard lock(mutex);
    entries.clear();
  }
  // Calls `visit(key, value)` for every entry in key order, under the lock.
  template <typename F>
  void for_each(F visit) const {
    std::lock_guard lock(mutex);
    for (const auto& [key, value] : entries) visit(key, value);
  }

 private:
  mutable std::mutex mutex;
  std::map<Key, Value> entries;  // guarded by mutex
};

template <typename Key>
class concurrent_set {
 public:
  // True when `key` was not there yet.
  bool insert(const Key& key) {
    std::lock_guard lock(mutex);
    return entries.insert(key).second;
  }
  bool contains(const Key& key) const {
    std::lock_guard lock(mutex);
    return entries.count(key) != 0;
  }
  size_t size() const {
    std::lock_guard lock(mutex);
    return entries.size();
  }
  void clear() {
    std::lock_guard lock(mutex);
    entries.clear();
  }

 private:
  mutable std::mutex mutex;
  std::set<Key> entries;  // guarded by mutex
};

}  // namespace tessamer
