// Sends one text frame to a speech server and writes the audio of its answer
// to a file:  packet_demo <host> <port> <text> <output file>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "client/packet.h"
#include "client/platform.h"
#include "client/socket.h"

int main(int argc, char** argv) {
  if (argc != 5) {
    std::fprintf(stderr, "usage: %s <host> <port> <text> <output file>\n", argv[0]);
    return 2;
  }
  const std::string host = argv[1];
  const int port = std::atoi(argv[2]);
  std::string text = argv[3];
  text.push_back('\0');  // the server reads text as NUL-terminated

  try {
    SocketClient socket(host, port);
    Packet request(0, PACKET_TEXT, reinterpret_cast<unsigned char*>(text.data()),
                   static_cast<unsigned>(text.size()), false);
    if (!request.SendData(&socket)) return 1;

    FILE* out = std::fopen(argv[4], "wb");
    if (!out) {
      std::perror(argv[4]);
      return 1;
    }
    unsigned long audio = 0;
    int frames = 0;
    bool done = false;
    long long last = GetCurrentTicks();
    while (!done) {
      Packet p;
      while (!p.FilledPacket()) {
        int got = 0;
        if (!p.GetData(&socket, &got)) {
          std::fprintf(stderr, "connection lost before the end of the answer\n");
          std::fclose(out);
          return 1;
        }
        if (got > 0) {
          last = GetCurrentTicks();
        } else if (GetTickDifference(last, GetCurrentTicks()) > 10000) {
          std::fprintf(stderr, "no answer for 10 s\n");
          std::fclose(out);
          return 1;
        } else {
          SocketSelect wait(&socket, nullptr, BlockingSocket);
        }
      }
      if (!p.OK()) {
        std::fprintf(stderr, "bad frame from the server\n");
        std::fclose(out);
        return 1;
      }
      ++frames;
      if (p.PacketType() == PACKET_AUDIO) {
        audio += static_cast<unsigned long>(std::fwrite(p.Data(), 1, p.Length(), out));
      } else if (p.PacketType() == PACKET_END) {
        done = true;
      }
    }
    Packet close(0, PACKET_CLOSE, nullptr, 0, false);
    close.SendData(&socket);
    std::fclose(out);
    std::printf("received %d frames, %lu bytes of audio\n", frames, audio);
    return 0;
  } catch (const std::string& e) {
    std::fprintf(stderr, "cannot connect to %s:%d: %s\n", host.c_str(), port, e.empty() ? "host not found" : e.c_str());
  } catch (const char* e) {
    std::fprintf(stderr, "cannot connect to %s:%d: %s\n", host.c_str(), port, e);
  }
  return 1;
}
