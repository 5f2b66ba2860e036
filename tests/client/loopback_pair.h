// Two connected sockets over 127.0.0.1 in one process: `client` made by
// SocketClient, `peer` accepted by a SocketServer on a free port.
#pragma once

#include <memory>
#include <string>

#include "client/platform.h"
#include "client/socket.h"

namespace orvelle_test {

struct LoopbackPair {
  SocketServer server{0, 4};
  std::unique_ptr<SocketClient> client;
  std::unique_ptr<Socket> peer;

  LoopbackPair() {
    client = std::make_unique<SocketClient>("127.0.0.1", platform::local_port(server.Handle()));
    peer.reset(server.Accept());
  }
};

}  // namespace orvelle_test
