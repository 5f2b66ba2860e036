#include "client/registry.h"

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <mutex>

#include "client/connection.h"
#include "client/platform.h"

namespace {

// What a binding set with SetExitTeardown.
std::atomic<void (*)()> stop_callbacks_at_exit{nullptr};
std::atomic<int> exit_wait_limit_ms{-1};

// Stops every running render, waits for it (its last events, the
// thread-finished one included, come now) and lets every connection go.
void TearDownConnections(HandleRegistry<ThreadedConnection>& connections) {
  if (void (*stop_callbacks)() = stop_callbacks_at_exit.load()) stop_callbacks();
  const auto all = connections.Objects();
  // Told to stop all at once, so that their ends overlap.
  for (const auto& connection : all) connection->Stop();
  const int limit_ms = exit_wait_limit_ms.load();
  const std::int64_t deadline_ms = platform::monotonic_ms() + limit_ms;
  for (const auto& connection : all) {
    if (limit_ms < 0) {
      connection->Retire();
    } else {
      connection->RetireBefore(deadline_ms);
    }
  }
  connections.Clear();
}

// One object holds both registries so that they are torn down in a fixed
// order: members go in reverse, the enumerators first.
struct Registries {
  HandleRegistry<ThreadedConnection> connections;
  HandleRegistry<NameEnumerator> enumerators;

  ~Registries() {
    enumerators.Clear();
    TearDownConnections(connections);
  }
};

Registries& registries() {
  static Registries all;
  return all;
}

// Built during static initialisation, before any exported function runs.
[[maybe_unused]] Registries& built_at_load = registries();

void TearDownConnectionsAtExit() { TearDownConnections(registries().connections); }

}  // namespace

HandleRegistry<ThreadedConnection>& connections() { return registries().connections; }
HandleRegistry<NameEnumerator>& enumerators() { return registries().enumerators; }

void TearDownConnectionsBeforeExit() {
  // Functions given to atexit run before the destructors of the objects
  // built before they were given, and the application's own are built
  // before its first connection: the library's, built at load, go too late.
  static std::once_flag arranged;
  std::call_once(arranged, [] { std::atexit(TearDownConnectionsAtExit); });
}

void SetExitTeardown(void (*stop_callbacks)(), int limit_ms) {
  stop_callbacks_at_exit.store(stop_callbacks);
  exit_wait_limit_ms.store(limit_ms);
}
