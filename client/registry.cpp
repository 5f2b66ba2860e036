#include "client/registry.h"

#include <cstdlib>
#include <mutex>

#include "client/connection.h"

namespace {

// Stops every running render, waits for it (its last events, the
// thread-finished one included, come now) and lets every connection go.
void TearDownConnections(HandleRegistry<ThreadedConnection>& connections) {
  const auto all = connections.Objects();
  // Told to stop all at once, so that their ends overlap.
  for (const auto& connection : all) connection->Stop();
  for (const auto& connection : all) connection->Retire();
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
