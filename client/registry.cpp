#include "client/registry.h"

#include "client/connection.h"

namespace {

// One object holds both registries so that they are torn down in a fixed
// order: members go in reverse, the enumerators first.
struct Registries {
  HandleRegistry<ThreadedConnection> connections;
  HandleRegistry<NameEnumerator> enumerators;

  ~Registries() {
    enumerators.Clear();
    // A worker still rendering at exit stops at its next pass and is waited
    // for, so that its last events (the thread-finished one included) come
    // while everything its callback may call still stands.
    for (const auto& connection : connections.Objects()) {
      connection->Stop();
      if (!connection->IsWorkerThread()) connection->WaitForWorker();
    }
    connections.Clear();
  }
};

Registries& registries() {
  static Registries all;
  return all;
}

// Built during static initialisation, before any exported function runs.
[[maybe_unused]] Registries& built_at_load = registries();

}  // namespace

HandleRegistry<ThreadedConnection>& connections() { return registries().connections; }
HandleRegistry<NameEnumerator>& enumerators() { return registries().enumerators; }
