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

namespace detail {
// A standard ordered container behind one mutex: the locking both concurrent containers share.
template <typename Container>
class locked_container {
 public:
  using key_type = typename Container::key_type;

  bool contains(const key_type& key) const {
    return WithLock([&](const Container& entries) { return entries.count(key) != 0; });
  }
  size_t size() const {
    return WithLock([](const Container& entries) { return entries.size(); });
  }
  void clear() {
    WithLock([](Container& entries) { entries.clear(); });
  }

 protected:
  ~locked_container() = default;

  // Runs `use` on the entries under the lock and returns what it returns.
  template <typename F>
  auto WithLock(F use) const {
    std::lock_guard lock(mutex);
    return use(entries);
  }
  template <typename F>
  auto WithLock(F use) {
    std::lock_guard lock(mutex);
    return use(entries);
  }
  // Inserts an entry made of `parts` unless its key is there; true when inserted.
  template <typename... Parts>
  bool Emplace(const Parts&... parts) {
    return WithLock([&](Container& held) { return held.emplace(parts...).second; });
  }

 private:
  mutable std::mutex mutex;
  Container entries;  // guarded by mutex
};
}  // namespace detail

template <typename Key, typename Value>
class concurrent_map : public detail::locked_container<std::map<Key, Value>> {
 public:
  // Inserts when `key` is not there yet; true when inserted.
  bool insert(const Key& key, const Value& value) { return this->Emplace(key, value); }
  // A copy of the value stored under `key`.
  std::optional<Value> find(const Key& key) const {
    return this->WithLock([&](const std::map<Key, Value>& entries) -> std::optional<Value> {
      auto it = entries.find(key);
      if (it == entries.end()) return std::nullopt;
      return it->second;
    });
  }
};

template <typename Key>
class concurrent_set : public detail::locked_container<std::set<Key>> {
 public:
  // True when `key` was not there yet.
  bool insert(const Key& key) { return this->Emplace(key); }
};

}  // namespace tessamer
