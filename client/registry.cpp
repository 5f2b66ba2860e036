#include "client/registry.h"

namespace {

// One object holds both registries so that they are torn down in a fixed
// order: members go in reverse, the enumerators first.
struct Registries {
  HandleRegistry<ThreadedConnection> connections;
  HandleRegistry<NameEnumerator> enumerators;
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
