// Handle registries: the process-wide maps from the integer handles of the
// exported interface to the objects behind them.
//
// A new handle is the last one given back (last in, first out) or, when none
// is free, the number of registered handles plus 1000. Lookups hand out
// shared ownership, so an object unregistered on one thread stays alive for
// a thread that is still using it. The registry lock is held only around the
// map operations, never while an object is built, destroyed or locked.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <utility>
#include <vector>

inline constexpr std::int32_t first_handle = 1000;

template <typename T>
class HandleRegistry {
 public:
  HandleRegistry() = default;
  ~HandleRegistry() { Clear(); }
  HandleRegistry(const HandleRegistry&) = delete;
  HandleRegistry& operator=(const HandleRegistry&) = delete;

  // Registration: the object is built by the caller, outside the lock
  std::int32_t Register(std::shared_ptr<T> object) {
    std::lock_guard<std::recursive_mutex> guard(lock_);
    std::int32_t handle;
    if (!freed_.empty()) {
      handle = freed_.back();
      freed_.pop_back();
    } else {
      handle = static_cast<std::int32_t>(by_handle_.size()) + first_handle;
      while (by_handle_.count(handle)) ++handle;
    }
    by_handle_[handle] = std::move(object);
    return handle;
  }

  // Lookup: null for a handle that is not registered or holds no object
  std::shared_ptr<T> Find(std::int32_t handle) const {
    std::lock_guard<std::recursive_mutex> guard(lock_);
    auto it = by_handle_.find(handle);
    return it == by_handle_.end() ? nullptr : it->second;
  }

  // Unregistration: the handle goes onto the free stack; the object is
  // returned so that the caller lets it go outside the lock. An unknown
  // handle changes nothing and gives null.
  std::shared_ptr<T> Unregister(std::int32_t handle) {
    std::shared_ptr<T> object;
    std::lock_guard<std::recursive_mutex> guard(lock_);
    auto it = by_handle_.find(handle);
    if (it == by_handle_.end()) return nullptr;
    object = std::move(it->second);
    by_handle_.erase(it);
    freed_.push_back(handle);
    return object;
  }

  // Replacement under the same handle; the old object is returned (null,
  // and nothing stored, for an unknown handle).
  std::shared_ptr<T> Replace(std::int32_t handle, std::shared_ptr<T> object) {
    std::lock_guard<std::recursive_mutex> guard(lock_);
    auto it = by_handle_.find(handle);
    if (it == by_handle_.end()) return nullptr;
    std::swap(it->second, object);
    return object;
  }

  // Every object, size and teardown: Clear releases every object in handle order, outside
  // the lock, and forgets the free stack
  std::vector<std::shared_ptr<T>> Objects() const {
    std::lock_guard<std::recursive_mutex> guard(lock_);
    std::vector<std::shared_ptr<T>> objects;
    for (const auto& entry : by_handle_) objects.push_back(entry.second);
    return objects;
  }
  std::size_t Size() const {
    std::lock_guard<std::recursive_mutex> guard(lock_);
    return by_handle_.size();
  }
  void Clear() {
    std::map<std::int32_t, std::shared_ptr<T>> objects;
    {
      std::lock_guard<std::recursive_mutex> guard(lock_);
      objects.swap(by_handle_);
      freed_.clear();
    }
    for (auto& entry : objects) entry.second.reset();
  }

 private:
  std::map<std::int32_t, std::shared_ptr<T>> by_handle_;
  std::vector<std::int32_t> freed_;
  mutable std::recursive_mutex lock_;
};

class ThreadedConnection;
class NameEnumerator;

// The two registries, built before any exported function runs; at unload
// the enumerators go first, then the connections, each running render being
// told to stop and waited for first.
HandleRegistry<ThreadedConnection>& connections();
HandleRegistry<NameEnumerator>& enumerators();

// Called by every ovCreateConnection. From the first call on, the process's
// exit stops every running render, waits for it and lets the connections go
// before it destroys the objects the application built before that call;
// the enumerators stay until unload.
void TearDownConnectionsBeforeExit();

// For a binding whose callbacks cannot run once the process exits (a
// virtual machine stops its threads before it calls exit, and a thread that
// enters it then never returns): at exit, and at unload, stop_callbacks runs
// first (it makes every later callback return at once), and a worker that
// has not ended limit_ms after the renders were told to stop is left
// running instead of waited for. A negative limit waits for ever.
void SetExitTeardown(void (*stop_callbacks)(), int limit_ms);
