// Frames between the client and the speech server, and the phoneme payload.
//
// A frame is big-endian with no gaps: 16-bit type, 32-bit stream id, 32-bit
// length L (at most 64,000), L data bytes, L again. A Packet is written in
// one call (SendData) or taken over as many calls as its bytes need
// (GetData), so a polling reader never loses its place in a half-received
// frame. Received frames are read in place in the socket's receive buffer by
// one decoder (DecodeFrame), for Packet and the connection's wait loop alike.
#pragma once

#include <cstddef>
#include <cstdint>

// PACKET_TYPE and phoneme_data are the public interface's own.
#include "client/orvelle.h"

class Socket;

// The largest number of data bytes in a frame, in both directions
inline constexpr unsigned int max_packet_length = 64000;

// A frame: 16-bit type, 32-bit stream id, 32-bit length, the data, and the
// length again. Frames are big-endian whatever the host's order.
inline constexpr unsigned int frame_header_size = 10;
inline constexpr unsigned int frame_trailer_size = 4;
inline constexpr std::size_t max_frame_size = frame_header_size + max_packet_length + frame_trailer_size;
inline std::uint16_t load16(const void* p) {
  const unsigned char* b = static_cast<const unsigned char*>(p);
  return static_cast<std::uint16_t>((b[0] << 8) | b[1]);
}
inline std::uint32_t load32(const void* p) {
  const unsigned char* b = static_cast<const unsigned char*>(p);
  return (std::uint32_t{b[0]} << 24) | (std::uint32_t{b[1]} << 16) | (std::uint32_t{b[2]} << 8) | b[3];
}

// A frame at the start of received bytes. Once complete, its data lie in
// the received bytes and data[length], where the trailer was, is set to NUL:
// event text is read as NUL-terminated and a server may leave the NUL out.
struct Frame {
  std::uint16_t type = 0;
  std::uint32_t stream_id = 0;
  std::uint32_t length = 0;
  std::uint32_t closing_length = 0;
  unsigned char* data = nullptr;
  std::size_t Size() const { return frame_header_size + length + frame_trailer_size; }
};
enum class FrameStatus {
  incomplete,  // more bytes are needed (length is known once the header is)
  complete,    // the whole frame is there; closing_length may differ
  too_long,    // the header announces more than max_packet_length
};
FrameStatus DecodeFrame(unsigned char* bytes, std::size_t available, Frame* frame);

// Abstract structured payload of a packet
class PacketData {
 public:
  PacketData() = default;
  virtual ~PacketData();
  PacketData(const PacketData&) = delete;
  PacketData& operator=(const PacketData&) = delete;

  // Writing into a zeroed buffer of size bytes, and reading
  virtual void Serialize(unsigned char* out) = 0;
  virtual void Deserialize(unsigned char* in) = 0;

  // Serialises afresh into the payload's own buffer; null when out of memory
  unsigned char* Data();

  std::uint32_t size = 0;
  unsigned char* buffer = nullptr;
};

// The phoneme event's payload:
//   phone_length_in_bytes, N1, N2, name (N1 bytes with NUL), next name (N2
//   bytes with NUL), sample_rate, sapi_viseme, disney_viseme, stress,
//   sapi_phoneid, next_sapi_phoneid, next_sapi_viseme, 6 zero bytes.
// The names are borrowed, never copied.
class PhonemePacketData : public PacketData {
 public:
  // Life cycle: empty for reading, or a payload to send
  PhonemePacketData() = default;
  PhonemePacketData(int phone_length_in_bytes, unsigned char* phoneme, unsigned char* next_phoneme,
                    int sample_rate, int sapi_viseme, int disney_viseme, int stress, int sapi_phoneid,
                    int next_sapi_phoneid, int next_sapi_viseme);

  // Sizes
  void SetNextPhoneme(unsigned char* next_phoneme);
  void UpdateLength();

  // Writer, trusting reader of our own output, and the checking reader of
  // received bytes (false and a WARNING line for a malformed payload)
  void Serialize(unsigned char* out) override;
  void Deserialize(unsigned char* in) override;
  bool Deserialize(unsigned char* in, unsigned int length);

  std::uint32_t phone_length_in_bytes = 0;
  std::uint32_t phoneme_length = 0;
  std::uint32_t next_phoneme_length = 0;
  std::uint32_t sample_rate = 0;
  unsigned char* phoneme = nullptr;
  unsigned char* next_phoneme = nullptr;
  std::uint32_t sapi_viseme = 0;
  std::uint32_t sapi_phoneid = 0;
  std::uint32_t next_sapi_viseme = 0;
  std::uint32_t next_sapi_phoneid = 0;
  std::uint32_t disney_viseme = 0;
  std::uint32_t stress = 0;
};

// Fills the application's record from a received phoneme payload; false
// (the event is skipped) when the payload is malformed.
bool ReadPhonemeData(unsigned char* data, unsigned int length, phoneme_data* record);

class Packet {
 public:
  // Life cycle: empty for receiving; a payload to send (owned); bytes to send
  // (freed with free() when owns_data is set)
  Packet();
  Packet(int stream_id, unsigned short type, PacketData* payload);
  Packet(int stream_id, unsigned short type, unsigned char* data, unsigned int length, bool owns_data);
  virtual ~Packet();
  Packet(const Packet&) = delete;
  Packet& operator=(const Packet&) = delete;

  // Payload
  void SerializeData();

  // Contents. A received buffer holds L data bytes and one NUL after them.
  unsigned char* Data() const { return m_data; }
  unsigned int Length() const { return m_length; }
  unsigned short PacketType() const { return m_type; }

  // Receiving state
  bool FilledPacket() const { return m_filled; }
  bool OK() const { return FilledPacket() && m_closing_length == m_length; }

  // Transfer: false when the connection failed or the length is refused.
  // GetData takes bytes from the socket's receive buffer only once its frame
  // is complete (a refused header is taken alone); bytes_received counts
  // the bytes of this frame that arrived during the call.
  bool GetData(Socket* socket, int* bytes_received);
  bool SendData(Socket* socket);

 private:
  std::uint16_t m_type = 0;
  std::int32_t m_stream_id = 0;
  std::uint32_t m_length = 0;
  unsigned char* m_data = nullptr;
  std::uint32_t m_closing_length = 0;
  // Bytes of the frame seen so far, whether it is complete, or refused
  std::size_t m_seen = 0;
  bool m_filled = false;
  bool m_refused = false;
  PacketData* m_payload = nullptr;
  bool m_owns_data = false;
};
