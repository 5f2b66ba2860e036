#include "client/packet.h"

#include <cstdlib>
#include <cstring>

#include "client/clientlog.h"
#include "client/socket.h"

namespace {

// Payload bytes besides the two names: three leading numbers, seven
// trailing ones and six zero bytes.
constexpr std::uint32_t phoneme_fixed_size = 46;

void store16(unsigned char* p, std::uint16_t v) {
  p[0] = static_cast<unsigned char>(v >> 8);
  p[1] = static_cast<unsigned char>(v);
}

void store32(unsigned char* p, std::uint32_t v) {
  p[0] = static_cast<unsigned char>(v >> 24);
  p[1] = static_cast<unsigned char>(v >> 16);
  p[2] = static_cast<unsigned char>(v >> 8);
  p[3] = static_cast<unsigned char>(v);
}

// Bytes a phoneme name takes in the payload, NUL included. A name of three
// or more characters whose second-to-last character is a digit or a blank
// loses its last two characters.
std::uint32_t name_bytes(const unsigned char* name) {
  std::size_t n = name ? std::strlen(reinterpret_cast<const char*>(name)) : 0;
  if (n + 1 > 3) {
    unsigned char c = name[n - 2];
    if ((c >= '0' && c <= '9') || c == ' ') return static_cast<std::uint32_t>(n - 1);
  }
  return static_cast<std::uint32_t>(n + 1);
}

// Writes count bytes: the name cut to count - 1 characters and a NUL.
void write_name(unsigned char* out, const unsigned char* name, std::uint32_t count) {
  if (count == 0) return;
  if (name) {
    std::size_t n = strnlen(reinterpret_cast<const char*>(name), count - 1);
    std::memcpy(out, name, n);
  }
  out[count - 1] = 0;
}

}  // namespace

// ---- payloads ----

PacketData::~PacketData() { std::free(buffer); }

unsigned char* PacketData::Data() {
  std::free(buffer);
  // One byte at least, so that an empty payload still has a buffer.
  buffer = static_cast<unsigned char*>(std::calloc(size ? size : 1, 1));
  if (buffer) Serialize(buffer);
  return buffer;
}

PhonemePacketData::PhonemePacketData(int phone_length_in_bytes, unsigned char* phoneme,
                                     unsigned char* next_phoneme, int sample_rate, int sapi_viseme,
                                     int disney_viseme, int stress, int sapi_phoneid, int next_sapi_phoneid,
                                     int next_sapi_viseme)
    : phone_length_in_bytes(static_cast<std::uint32_t>(phone_length_in_bytes)),
      phoneme_length(name_bytes(phoneme)),
      next_phoneme_length(name_bytes(next_phoneme)),
      sample_rate(static_cast<std::uint32_t>(sample_rate)),
      phoneme(phoneme),
      next_phoneme(next_phoneme),
      sapi_viseme(static_cast<std::uint32_t>(sapi_viseme)),
      sapi_phoneid(static_cast<std::uint32_t>(sapi_phoneid)),
      next_sapi_viseme(static_cast<std::uint32_t>(next_sapi_viseme)),
      next_sapi_phoneid(static_cast<std::uint32_t>(next_sapi_phoneid)),
      disney_viseme(static_cast<std::uint32_t>(disney_viseme)),
      stress(static_cast<std::uint32_t>(stress)) {
  UpdateLength();
}

void PhonemePacketData::SetNextPhoneme(unsigned char* next) {
  next_phoneme = next;
  next_phoneme_length = name_bytes(next);
  UpdateLength();
}

void PhonemePacketData::UpdateLength() { size = phoneme_length + next_phoneme_length + phoneme_fixed_size; }

void PhonemePacketData::Serialize(unsigned char* out) {
  const std::uint64_t end = 12ULL + phoneme_length + next_phoneme_length + 28;
  if (!out || end > size) return;  // lengths changed without UpdateLength
  store32(out, phone_length_in_bytes);
  store32(out + 4, phoneme_length);
  store32(out + 8, next_phoneme_length);
  write_name(out + 12, phoneme, phoneme_length);
  write_name(out + 12 + phoneme_length, next_phoneme, next_phoneme_length);
  unsigned char* e = out + 12 + phoneme_length + next_phoneme_length;
  const std::uint32_t trailing[] = {sample_rate,  sapi_viseme,       disney_viseme,   stress,
                                    sapi_phoneid, next_sapi_phoneid, next_sapi_viseme};
  for (std::uint32_t v : trailing) {
    store32(e, v);
    e += 4;
  }
}

void PhonemePacketData::Deserialize(unsigned char* in) {
  phone_length_in_bytes = load32(in);
  phoneme_length = load32(in + 4);
  next_phoneme_length = load32(in + 8);
  phoneme = in + 12;
  next_phoneme = in + 12 + phoneme_length;
  sample_rate = load32(in + 12 + phoneme_length + next_phoneme_length);
  sapi_viseme = disney_viseme = stress = sapi_phoneid = next_sapi_phoneid = next_sapi_viseme = 0;
}

bool PhonemePacketData::Deserialize(unsigned char* in, unsigned int length) {
  phone_length_in_bytes = phoneme_length = next_phoneme_length = sample_rate = 0;
  phoneme = next_phoneme = nullptr;
  sapi_viseme = disney_viseme = stress = sapi_phoneid = next_sapi_phoneid = next_sapi_viseme = 0;
  // Nothing the server sends is trusted: every offset is checked in 64 bits
  // against the payload, and each name must end with its NUL inside it.
  bool good = in && length >= 12;
  std::uint64_t e = 0;
  std::uint32_t n1 = 0, n2 = 0;
  if (good) {
    n1 = load32(in + 4);
    n2 = load32(in + 8);
    e = 12ULL + n1 + n2;
    good = n1 > 0 && n2 > 0 && e + 4 <= length && in[12 + n1 - 1] == 0 && in[e - 1] == 0;
  }
  if (!good) {
    FILE_LOG(logWARNING) << "malformed phoneme packet of length " << length << ", skipping it";
    return false;
  }
  phone_length_in_bytes = load32(in);
  phoneme_length = n1;
  next_phoneme_length = n2;
  phoneme = in + 12;
  next_phoneme = in + 12 + n1;
  sample_rate = load32(in + e);
  // The later fields are optional; the first one missing ends the reading.
  std::uint32_t* optional[] = {&sapi_viseme, &disney_viseme, &stress, &sapi_phoneid, &next_sapi_phoneid,
                               &next_sapi_viseme};
  std::uint64_t offset = e + 4;
  for (std::uint32_t* field : optional) {
    if (offset + 4 > length) break;
    *field = load32(in + offset);
    offset += 4;
  }
  return true;
}

bool ReadPhonemeData(unsigned char* data, unsigned int length, phoneme_data* record) {
  PhonemePacketData payload;
  if (!record || !payload.Deserialize(data, length)) return false;
  record->phoneme = reinterpret_cast<char*>(payload.phoneme);
  record->phone_length_in_bytes = payload.phone_length_in_bytes;
  record->next_phoneme = reinterpret_cast<char*>(payload.next_phoneme);
  record->sample_rate = payload.sample_rate;
  record->sapi_viseme = payload.sapi_viseme;
  record->disney_viseme = payload.disney_viseme;
  record->stress = payload.stress;
  record->sapi_phoneid = payload.sapi_phoneid;
  record->next_sapi_phoneid = payload.next_sapi_phoneid;
  record->next_sapi_viseme = payload.next_sapi_viseme;
  record->struct_size = sizeof(phoneme_data);
  return true;
}

// ---- frames ----

FrameStatus DecodeFrame(unsigned char* bytes, std::size_t available, Frame* frame) {
  *frame = Frame{};
  if (available < frame_header_size) return FrameStatus::incomplete;
  frame->type = load16(bytes);
  frame->stream_id = load32(bytes + 2);
  frame->length = load32(bytes + 6);
  if (frame->length > max_packet_length) return FrameStatus::too_long;
  if (available < frame->Size()) return FrameStatus::incomplete;
  frame->data = bytes + frame_header_size;
  frame->closing_length = load32(frame->data + frame->length);
  frame->data[frame->length] = 0;
  return FrameStatus::complete;
}

// ---- packets ----

Packet::Packet() = default;

Packet::Packet(int stream_id, unsigned short type, PacketData* payload)
    : m_type(type), m_stream_id(stream_id), m_payload(payload) {}

Packet::Packet(int stream_id, unsigned short type, unsigned char* data, unsigned int length, bool owns_data)
    : m_type(type),
      m_stream_id(stream_id),
      m_length(length),
      m_data(data),
      m_closing_length(length),
      m_owns_data(owns_data) {}

Packet::~Packet() {
  if (m_owns_data) std::free(m_data);
  delete m_payload;
}

void Packet::SerializeData() {
  if (!m_payload) return;
  if (m_owns_data) std::free(m_data);
  m_owns_data = false;
  m_data = m_payload->Data();
  m_length = m_closing_length = m_payload->size;
}

bool Packet::GetData(Socket* socket, int* bytes_received) {
  int ignored = 0;
  if (!bytes_received) bytes_received = &ignored;
  *bytes_received = 0;
  if (m_filled) return true;
  if (!socket || m_refused) return false;  // a refused frame stays refused

  Frame frame;
  FrameStatus status = DecodeFrame(socket->Pending(), socket->PendingSize(), &frame);
  if (status == FrameStatus::incomplete) {
    // Ask the socket once; a polling caller comes back for the rest.
    unsigned long got = 0;
    if (!socket->Fill(max_frame_size, &got)) return false;
    status = DecodeFrame(socket->Pending(), socket->PendingSize(), &frame);
  }

  m_type = frame.type;
  m_stream_id = static_cast<std::int32_t>(frame.stream_id);
  m_length = frame.length;
  std::size_t seen = socket->PendingSize();
  if (status == FrameStatus::too_long) {
    FILE_LOG(logERROR) << "orvelle receive error, packet too big for packet type " << m_type << " length is "
                       << m_length;
    // Only the header is taken: what follows cannot be read in step.
    socket->Consume(frame_header_size);
    m_refused = true;
    seen = frame_header_size;
  } else if (status == FrameStatus::complete) {
    // One byte more than the frame holds, for the NUL after the data.
    unsigned char* data = static_cast<unsigned char*>(std::malloc(m_length + 1));
    if (!data) {
      FILE_LOG(logERROR) << "orvelle receive error, out of memory for packet type " << m_type << " length is "
                         << m_length;
      return false;
    }
    std::memcpy(data, frame.data, m_length);
    data[m_length] = 0;
    if (m_owns_data) std::free(m_data);
    m_data = data;
    m_owns_data = true;
    m_closing_length = frame.closing_length;
    seen = frame.Size();
    socket->Consume(seen);
    m_filled = true;
  }
  *bytes_received = static_cast<int>(seen - m_seen);
  m_seen = seen;
  return !m_refused;
}

bool Packet::SendData(Socket* socket) {
  if (m_payload) SerializeData();
  // Refused before any byte is written: a half frame would leave the
  // connection unusable.
  if (m_length > max_packet_length) {
    FILE_LOG(logERROR) << "orvelle send error, packet too big for packet type " << m_type << " length is "
                       << m_length;
    return false;
  }
  if (!socket) {
    FILE_LOG(logERROR) << "error sending net_packet_type for packet of type " << m_type;
    return false;
  }
  if (m_length > 0 && !m_data) {
    FILE_LOG(logERROR) << "error sending m_data for packet of type " << m_type;
    return false;
  }
  unsigned char header[frame_header_size];
  unsigned char trailer[frame_trailer_size];
  store16(header, m_type);
  store32(header + 2, static_cast<std::uint32_t>(m_stream_id));
  store32(header + 6, m_length);
  // The second copy is always the length itself, never the closing-length
  // field.
  store32(trailer, m_length);
  platform::byte_range parts[3] = {{header, frame_header_size}, {m_data, m_length}, {trailer, frame_trailer_size}};

  // One call for the whole frame; a failure is reported for the field that
  // was being written.
  unsigned long sent = 0;
  if (socket->SendBytes(parts, 3, &sent) >= 0) return true;
  const char* field;
  if (sent < 2)
    field = "net_packet_type";
  else if (sent < 6)
    field = "net_stream_id";
  else if (sent < frame_header_size)
    field = "net_packet_length (1)";
  else if (sent < frame_header_size + m_length)
    field = "m_data";
  else
    field = "net_packet_length (2)";
  FILE_LOG(logERROR) << "error sending " << field << " for packet of type " << m_type;
  return false;
}
