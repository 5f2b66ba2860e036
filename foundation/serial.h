// Serialisation primitives: data is written in the host's byte order; a
// reader that learns the data has the other order passes a nonzero swap flag
// and every multi-byte field is reversed at its own width. Also file and line
// helpers, a date stamp, the fixed-size byte buffer and the library version.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

// Host byte order: 1 on a little-endian host.
int QLTP_littleendian();

// Files. QLTP_filesize leaves the file at its start (0 when it cannot be
// sized); QLTP_fgets reads one line (keeping its line feed) and leaves the
// file just after it, returning buf, empty at the end of the file or when n
// leaves room for the NUL only (n below 1 writes nothing); NULL only for a
// NULL buf or file.
int64_t QLTP_filesize(FILE* file);
// Whether the rest of the file holds at least `bytes` bytes, checked before a
// count read from the file sizes an allocation; a stream that cannot seek
// answers 1 and is found short while reading instead.
int QLTP_file_may_hold(FILE* file, uint64_t bytes);
int QLTP_fileexists(const char* path);
size_t QLTP_fread(void* buf, size_t size, size_t n, FILE* file);
char* QLTP_fgets(char* buf, int n, FILE* file);
// The whole of a text file, for the loaders of text data files: false, with
// "Can't open file: <path>" on standard output, when it cannot be opened;
// false too when it cannot be read whole.
bool QLTP_read_text_file(const char* path, std::string& text);

// Reading from an open file; each returns the number of items (bytes for
// char255) read. A char255 buffer holds 256 bytes and is NUL-terminated.
int QLTP_int_read(FILE* file, void* buf, int n, int swap);
int QLTP_double_read(FILE* file, void* buf, int n, int swap);
int QLTP_char255_read(FILE* file, char* buf, int* n);

// Writing into memory; each returns the position just after what it wrote.
// A short string is one length byte (at most 255) and the bytes, no NUL.
char* QLTP_int_write(const void* src, void* dst, int n, int swap);
char* QLTP_double_write(const void* src, void* dst, int n, int swap);
int QLTP_char255_write_sz(const char* s, int len);
char* QLTP_char255_write(const char* s, int len, void* dst);

// Variable-width unsigned fields of 1, 2 or 4 bytes in host order.
int QLTP_nobytes(int32_t v);
char* QLTP_write_bytes(void* dst, uint32_t v, int width);
uint32_t QLTP_read_bytes(const void* src, int width);
char* QLTP_swap_bytes(void* p, int width);

// Local time as "%Y%m%d%H%M%S", cut to n - 1 bytes; returns 14 (0 on failure).
int QLTP_date(char* dst, int n);

// Fixed-size owned byte buffer: the destination of every serialised writer.
struct QLTP_fixedbuf {
  uint32_t size;
  char* data;
};
QLTP_fixedbuf* QLTP_fixedbuf_new(uint32_t size);
QLTP_fixedbuf* QLTP_fixedbuf_frombytes(const void* bytes, uint32_t n);
char* QLTP_fixedbuf_get(const QLTP_fixedbuf* b);
void QLTP_fixedbuf_delete(QLTP_fixedbuf* b);

// Single-object files, in the host's byte order. Reading: the object that
// read(file, 0) gives from the file at path, NULL when it does not open.
template <typename Read>
auto QLTP_read_path(const char* path, Read read) -> decltype(read(static_cast<FILE*>(nullptr), 0)) {
  FILE* file = path ? std::fopen(path, "rb") : nullptr;
  if (!file) return nullptr;
  auto object = read(file, 0);
  std::fclose(file);
  return object;
}
// Writing with a kind's writer: without a buffer the size it needs; else 0
// when the object has no stored form or the buffer cannot hold it, or the
// writer's answer.
template <typename Write>
int QLTP_fixedbuf_write_object(const void* object, QLTP_fixedbuf* buffer, Write write) {
  int32_t size = write(const_cast<void*>(object), nullptr, 0);
  if (!buffer) return size;
  if (size <= 0 || !buffer->data || buffer->size < static_cast<uint32_t>(size)) return 0;
  return write(const_cast<void*>(object), buffer->data, 0);
}

// Library version 5.0.1 and its comparison: the sign of QLTP_vercmp says
// which side is newer (-: a older), its magnitude which part decided
// (3 major, 2 minor, 1 revision).
inline constexpr char QLTP_MAJOR_VERSION_STR[] = "MAJOR_VERSION";
inline constexpr char QLTP_MINOR_VERSION_STR[] = "MINOR_VERSION";
inline constexpr char QLTP_REVISION_NUMBER_STR[] = "REVISION_NUMBER";
uint32_t QLTP_major_version();
uint32_t QLTP_minor_version();
uint32_t QLTP_revision_number();
int QLTP_vercmp(uint32_t a1, uint32_t a2, uint32_t a3, uint32_t b1, uint32_t b2, uint32_t b3);
int QLTP_vercmpcur(uint32_t major, uint32_t minor, uint32_t revision);
void QLTP_ver_atoi(const char* smajor, const char* sminor, const char* srev, uint32_t* major,
                   uint32_t* minor, uint32_t* revision);
