#include "foundation/serial.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <ctime>

#include "foundation/strutil.h"

namespace {

constexpr uint32_t kMajor = 5;
constexpr uint32_t kMinor = 0;
constexpr uint32_t kRevision = 1;

// Reads n items of `width` bytes and reverses each one when swap is set.
int read_items(FILE* file, void* buf, int n, int width, int swap) {
  if (file == nullptr || buf == nullptr || n < 1) return 0;
  size_t got = std::fread(buf, static_cast<size_t>(width), static_cast<size_t>(n), file);
  if (swap) {
    auto* p = static_cast<char*>(buf);
    for (size_t k = 0; k < got; ++k) std::reverse(p + k * width, p + (k + 1) * width);
  }
  return static_cast<int>(got);
}

// Copies n items of `width` bytes, each reversed when swap is set.
char* write_items(const void* src, void* dst, int n, int width, int swap) {
  auto* out = static_cast<char*>(dst);
  if (src == nullptr || dst == nullptr || n < 1) return out;
  size_t bytes = static_cast<size_t>(n) * static_cast<size_t>(width);
  std::memcpy(out, src, bytes);
  if (swap)
    for (int k = 0; k < n; ++k) std::reverse(out + k * width, out + (k + 1) * width);
  return out + bytes;
}

int cmp(uint32_t a, uint32_t b) { return a < b ? -1 : a > b ? 1 : 0; }

uint32_t version_part(const char* s) {
  if (s == nullptr) return 0;
  int32_t v = QLTP_atoi(s, QLTP_strnlen(s, -1));
  return v > 0 ? static_cast<uint32_t>(v) : 0;
}

}  // namespace

int QLTP_littleendian() { return std::endian::native == std::endian::little ? 1 : 0; }

// ---- files ----------------------------------------------------------------

int64_t QLTP_filesize(FILE* file) {
  if (file == nullptr || std::fseek(file, 0, SEEK_END) != 0) return 0;
  long size = std::ftell(file);
  std::fseek(file, 0, SEEK_SET);
  return size < 0 ? 0 : static_cast<int64_t>(size);
}

int QLTP_file_may_hold(FILE* file, uint64_t bytes) {
  if (file == nullptr) return 0;
  long pos = std::ftell(file);
  if (pos < 0 || std::fseek(file, 0, SEEK_END) != 0) return 1;
  long end = std::ftell(file);
  std::fseek(file, pos, SEEK_SET);
  return end >= pos && static_cast<uint64_t>(end - pos) >= bytes;
}

int QLTP_fileexists(const char* path) {
  if (path == nullptr) return 0;
  FILE* f = std::fopen(path, "rb");
  if (f == nullptr) return 0;
  std::fclose(f);
  return 1;
}

size_t QLTP_fread(void* buf, size_t size, size_t n, FILE* file) {
  if (buf == nullptr || file == nullptr) return 0;
  return std::fread(buf, size, n, file);
}

char* QLTP_fgets(char* buf, int n, FILE* file) {
  if (buf == nullptr) return nullptr;
  if (n < 1) return buf;
  buf[0] = '\0';
  if (file == nullptr) return nullptr;
  if (n < 2) return buf;
  size_t got = std::fread(buf, 1, static_cast<size_t>(n - 1), file);
  buf[got] = '\0';
  const void* lf = std::memchr(buf, '\n', got);
  if (lf != nullptr) {
    size_t keep = static_cast<size_t>(static_cast<const char*>(lf) - buf) + 1;
    buf[keep] = '\0';
    if (keep < got) std::fseek(file, -static_cast<long>(got - keep), SEEK_CUR);
  }
  return buf;
}

// ---- reading ---------------------------------------------------------------

int QLTP_int_read(FILE* file, void* buf, int n, int swap) { return read_items(file, buf, n, 4, swap); }

int QLTP_double_read(FILE* file, void* buf, int n, int swap) {
  return read_items(file, buf, n, 8, swap);
}

int QLTP_char255_read(FILE* file, char* buf, int* n) {
  if (n) *n = 0;
  if (buf == nullptr) return 0;
  // The whole buffer is cleared, so a short read leaves no stale bytes
  // behind the declared length.
  std::memset(buf, 0, 256);
  if (file == nullptr) return 0;
  unsigned char len = 0;
  if (std::fread(&len, 1, 1, file) != 1) return 0;
  if (n) *n = len;
  size_t got = std::fread(buf, 1, len, file);
  return 1 + static_cast<int>(got);
}

// ---- writing ---------------------------------------------------------------

char* QLTP_int_write(const void* src, void* dst, int n, int swap) {
  return write_items(src, dst, n, 4, swap);
}

char* QLTP_double_write(const void* src, void* dst, int n, int swap) {
  return write_items(src, dst, n, 8, swap);
}

int QLTP_char255_write_sz(const char* s, int len) {
  if (s == nullptr) return 1;
  if (len < 0) len = QLTP_strnlen(s, -1);
  return std::min(len, 255) + 1;
}

char* QLTP_char255_write(const char* s, int len, void* dst) {
  auto* out = static_cast<char*>(dst);
  if (out == nullptr) return nullptr;
  int n = QLTP_char255_write_sz(s, len) - 1;  // the length byte cannot hold more than 255
  *out++ = static_cast<char>(static_cast<unsigned char>(n));
  if (n > 0) std::memcpy(out, s, static_cast<size_t>(n));
  return out + n;
}

int QLTP_nobytes(int32_t v) { return v < 256 ? 1 : v < 65536 ? 2 : 4; }

char* QLTP_write_bytes(void* dst, uint32_t v, int width) {
  auto* out = static_cast<char*>(dst);
  if (out == nullptr) return nullptr;
  switch (width) {
    case 1: {
      auto b = static_cast<uint8_t>(v);
      std::memcpy(out, &b, 1);
      return out + 1;
    }
    case 2: {
      auto h = static_cast<uint16_t>(v);
      std::memcpy(out, &h, 2);
      return out + 2;
    }
    case 4:
      std::memcpy(out, &v, 4);
      return out + 4;
    default:
      return nullptr;
  }
}

uint32_t QLTP_read_bytes(const void* src, int width) {
  if (src == nullptr) return 0;
  switch (width) {
    case 1:
      return *static_cast<const uint8_t*>(src);
    case 2: {
      uint16_t h;
      std::memcpy(&h, src, 2);
      return h;
    }
    case 4: {
      uint32_t w;
      std::memcpy(&w, src, 4);
      return w;
    }
    default:
      return 0;
  }
}

char* QLTP_swap_bytes(void* p, int width) {
  auto* b = static_cast<char*>(p);
  if (b == nullptr) return nullptr;
  if (width != 1 && width != 2 && width != 4 && width != 8) return nullptr;
  std::reverse(b, b + width);
  return b + width;
}

// ---- date ------------------------------------------------------------------

int QLTP_date(char* dst, int n) {
  if (dst == nullptr || n < 1) return 0;
  std::memset(dst, 0, static_cast<size_t>(n));
  std::time_t now = std::time(nullptr);
  std::tm local{};
  if (localtime_r(&now, &local) == nullptr) return 0;
  char text[32];
  size_t len = std::strftime(text, sizeof text, "%Y%m%d%H%M%S", &local);
  if (len == 0) return 0;
  std::memcpy(dst, text, std::min(len, static_cast<size_t>(n - 1)));
  return static_cast<int>(len);
}

// ---- fixed buffer ----------------------------------------------------------

QLTP_fixedbuf* QLTP_fixedbuf_new(uint32_t size) {
  auto* b = static_cast<QLTP_fixedbuf*>(QLTP_malloc(sizeof(QLTP_fixedbuf)));
  if (b == nullptr) return nullptr;
  b->data = static_cast<char*>(QLTP_malloc(size));
  if (b->data == nullptr) {
    QLTP_free(b);
    return nullptr;
  }
  b->size = size;
  return b;
}

QLTP_fixedbuf* QLTP_fixedbuf_frombytes(const void* bytes, uint32_t n) {
  if (bytes == nullptr && n > 0) return nullptr;
  QLTP_fixedbuf* b = QLTP_fixedbuf_new(n);
  if (b != nullptr && n > 0) std::memcpy(b->data, bytes, n);
  return b;
}

char* QLTP_fixedbuf_get(const QLTP_fixedbuf* b) { return b ? b->data : nullptr; }

void QLTP_fixedbuf_delete(QLTP_fixedbuf* b) {
  if (b == nullptr) return;
  QLTP_free(b->data);
  QLTP_free(b);
}

// ---- version ---------------------------------------------------------------

uint32_t QLTP_major_version() { return kMajor; }
uint32_t QLTP_minor_version() { return kMinor; }
uint32_t QLTP_revision_number() { return kRevision; }

int QLTP_vercmp(uint32_t a1, uint32_t a2, uint32_t a3, uint32_t b1, uint32_t b2, uint32_t b3) {
  if (int c = cmp(a1, b1)) return 3 * c;
  if (int c = cmp(a2, b2)) return 2 * c;
  return cmp(a3, b3);
}

int QLTP_vercmpcur(uint32_t major, uint32_t minor, uint32_t revision) {
  return QLTP_vercmp(major, minor, revision, kMajor, kMinor, kRevision);
}

void QLTP_ver_atoi(const char* smajor, const char* sminor, const char* srev, uint32_t* major,
                   uint32_t* minor, uint32_t* revision) {
  if (major) *major = version_part(smajor);
  if (minor) *minor = version_part(sminor);
  if (revision) *revision = version_part(srev);
}

bool QLTP_read_text_file(const char* path, std::string& text) {
  text.clear();
  FILE* file = path ? std::fopen(path, "rb") : nullptr;
  if (file == nullptr) {
    std::printf("Can't open file: %s\n", path ? path : "(null)");
    return false;
  }
  bool ok = true;
  try {
    char block[65536];
    size_t got;
    while ((got = std::fread(block, 1, sizeof block, file)) > 0) text.append(block, got);
    ok = !std::ferror(file);
  } catch (...) {
    ok = false;
  }
  std::fclose(file);
  return ok;
}
