#include "foundation/regex.h"

#include "foundation/strutil.h"

#define PCRE2_CODE_UNIT_WIDTH 8
#include <pcre2.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <new>

struct QLTP_regex {
  pcre2_code* code;
};

namespace {

void* ZeroAlloc(PCRE2_SIZE size, void*) { return QLTP_malloc(size == 0 ? 1 : size); }
void ZeroFree(void* p, void*) { QLTP_free(p); }

// The allocation hooks: every PCRE2 allocation goes through this context.
pcre2_general_context* General() {
  static pcre2_general_context* context = pcre2_general_context_create(ZeroAlloc, ZeroFree, nullptr);
  return context;
}

pcre2_compile_context* CompileContext() {
  static pcre2_compile_context* context = pcre2_compile_context_create(General());
  return context;
}

// Match state is per thread: a JIT stack must never be shared by two matches
// running at once, and reusing the match data keeps allocation off the hot path.
struct ThreadMatchState {
  pcre2_match_context* context = nullptr;
  pcre2_jit_stack* jit_stack = nullptr;
  pcre2_match_data* data = nullptr;

  ThreadMatchState() {
    context = pcre2_match_context_create(General());
    if (context == nullptr) return;
    pcre2_set_match_limit(context, QLTP_REGEX_MATCH_LIMIT);
    pcre2_set_heap_limit(context, QLTP_REGEX_HEAP_LIMIT_KIB);
    // JIT frames live in this separately mapped stack, never on the thread's
    // own stack (a JVM thread may have only 1 MB).
    jit_stack = pcre2_jit_stack_create(32 * 1024, 1024 * 1024, General());
    if (jit_stack != nullptr) pcre2_jit_stack_assign(context, nullptr, jit_stack);
    data = pcre2_match_data_create(QLTP_REGEX_OVECSIZE / 2, General());
  }
  ~ThreadMatchState() {
    pcre2_match_data_free(data);
    pcre2_jit_stack_free(jit_stack);
    pcre2_match_context_free(context);
  }
  ThreadMatchState(const ThreadMatchState&) = delete;
  ThreadMatchState& operator=(const ThreadMatchState&) = delete;
};

ThreadMatchState& MatchState() {
  thread_local ThreadMatchState state;
  return state;
}

void SetError(char* err, int errlen, const char* text) {
  if (err == nullptr || errlen < 1) return;
  std::snprintf(err, static_cast<size_t>(errlen), "%s", text);
}

// ---- Images ----------------------------------------------------------------
//
// Layout: magic "QRX2", the PCRE2 version (major << 16 | minor), the PCRE2
// link size, the payload size and an FNV-1a checksum of the payload, each a
// host-order uint32; then the payload as pcre2_serialize_encode wrote it.
// pcre2_serialize_decode trusts its input completely, so everything it reads
// is checked here first.

constexpr uint32_t kImageMagic = 0x32585251u;  // "QRX2" in little-endian bytes
constexpr size_t kImageHeader = 20;
constexpr uint32_t kSerialMagic = 0x50523253u;  // PCRE2's own, "S2RP"
constexpr uint32_t kCodeMagic = 0x50435245u;    // PCRE2's compiled-code magic
constexpr size_t kSerialHeader = 16;            // magic, version, config, code count

uint32_t Checksum(const unsigned char* p, size_t n) {
  uint32_t h = 2166136261u;
  for (size_t i = 0; i < n; ++i) h = (h ^ p[i]) * 16777619u;
  return h;
}

uint32_t LinkSize() {
  uint32_t link = 0;
  pcre2_config(PCRE2_CONFIG_LINKSIZE, &link);
  return link;
}

// Where, inside an encoded payload, this build keeps the character tables and
// the compiled block's size and magic. Learnt once from a probe pattern, so a
// reader can bound the decoder's reads without knowing PCRE2's internals.
struct PayloadLayout {
  bool known = false;
  size_t tables = 0;        // bytes of the tables after the serial header
  size_t size_offset = 0;   // offset of the block size within the code block
  size_t magic_offset = 0;  // offset of the code magic within the code block
};

const PayloadLayout& Layout() {
  static PayloadLayout layout;
  static std::once_flag once;
  std::call_once(once, [] {
    int code = 0;
    PCRE2_SIZE offset = 0;
    pcre2_code* probe = pcre2_compile(reinterpret_cast<PCRE2_SPTR>("a(b)c"), 5, PCRE2_UTF, &code,
                                      &offset, CompileContext());
    if (probe == nullptr) return;
    size_t block = 0;
    uint8_t* bytes = nullptr;
    PCRE2_SIZE n = 0;
    const pcre2_code* list[1] = {probe};
    if (pcre2_pattern_info(probe, PCRE2_INFO_SIZE, &block) == 0 &&
        pcre2_serialize_encode(list, 1, &bytes, &n, General()) > 0 && n > kSerialHeader + block) {
      size_t tables = n - kSerialHeader - block;
      const uint8_t* blockp = bytes + kSerialHeader + tables;
      for (size_t at = 0; at + sizeof(size_t) + 4 <= 256 && at + sizeof(size_t) + 4 <= block;
           at += alignof(size_t)) {
        size_t value = 0;
        uint32_t magic = 0;
        std::memcpy(&value, blockp + at, sizeof value);
        std::memcpy(&magic, blockp + at + sizeof(size_t), 4);
        if (value == block && magic == kCodeMagic) {
          layout.known = true;
          layout.tables = tables;
          layout.size_offset = at;
          layout.magic_offset = at + sizeof(size_t);
          break;
        }
      }
    }
    pcre2_serialize_free(bytes);
    pcre2_code_free(probe);
  });
  return layout;
}

void StoreU32(unsigned char* p, uint32_t v) { std::memcpy(p, &v, 4); }
uint32_t LoadU32(const unsigned char* p) {
  uint32_t v;
  std::memcpy(&v, p, 4);
  return v;
}

struct SerialBytes {
  uint8_t* bytes = nullptr;
  PCRE2_SIZE size = 0;
  ~SerialBytes() { pcre2_serialize_free(bytes); }
};

bool Encode(const QLTP_regex* re, SerialBytes& out) {
  if (re == nullptr || re->code == nullptr) return false;
  const pcre2_code* list[1] = {re->code};
  if (pcre2_serialize_encode(list, 1, &out.bytes, &out.size, General()) != 1) return false;
  return out.size + kImageHeader <= 0x7fffffffu;
}

}  // namespace

QLTP_regex* QLTP_regex_compile(const char* pattern, int len, int options, char* err, int errlen) {
  if (pattern == nullptr) {
    SetError(err, errlen, "no pattern");
    return nullptr;
  }
  PCRE2_SIZE length = len < 0 ? std::strlen(pattern) : static_cast<PCRE2_SIZE>(len);
  uint32_t flags = PCRE2_UTF;
  if (options & QLTP_REGEX_DOTALL) flags |= PCRE2_DOTALL;
  if (options & QLTP_REGEX_NO_START_SCAN) flags |= PCRE2_NO_START_OPTIMIZE;
  int code = 0;
  PCRE2_SIZE offset = 0;
  pcre2_code* compiled = pcre2_compile(reinterpret_cast<PCRE2_SPTR>(pattern), length, flags, &code,
                                       &offset, CompileContext());
  if (compiled == nullptr) {
    if (err != nullptr && errlen > 0) {
      PCRE2_UCHAR reason[160];
      if (pcre2_get_error_message(code, reason, sizeof reason) < 0) std::strcpy(reinterpret_cast<char*>(reason), "error");
      std::snprintf(err, static_cast<size_t>(errlen), "%s at offset %zu",
                    reinterpret_cast<const char*>(reason), static_cast<size_t>(offset));
    }
    return nullptr;
  }
  // JIT is only a speed-up: a pattern it cannot handle still runs interpreted.
  pcre2_jit_compile(compiled, PCRE2_JIT_COMPLETE);
  auto* re = static_cast<QLTP_regex*>(QLTP_malloc(sizeof(QLTP_regex)));
  if (re == nullptr) {
    pcre2_code_free(compiled);
    SetError(err, errlen, "out of memory");
    return nullptr;
  }
  re->code = compiled;
  return re;
}

QLTP_regex* const* QLTP_regex_shared_set(const QLTP_regex_spec* specs, int count, char* err,
                                         int errlen) {
  if (specs == nullptr || count < 0) {
    SetError(err, errlen, "no patterns");
    return nullptr;
  }
  // Tables are made once and never freed; the registry itself is never
  // destroyed either, so they stay reachable until the process ends.
  static std::mutex lock;
  static auto* sets = new (std::nothrow) std::map<const QLTP_regex_spec*, QLTP_regex**>;
  std::lock_guard<std::mutex> guard(lock);
  if (sets == nullptr) {
    SetError(err, errlen, "out of memory");
    return nullptr;
  }
  auto found = sets->find(specs);
  if (found != sets->end()) return found->second;
  auto* table = static_cast<QLTP_regex**>(QLTP_malloc((static_cast<size_t>(count) + 1) * sizeof(QLTP_regex*)));
  if (table == nullptr) {
    SetError(err, errlen, "out of memory");
    return nullptr;
  }
  auto discard = [table, count] {
    for (int i = 0; i < count; ++i) QLTP_regex_free(table[i]);
    QLTP_free(table);
  };
  for (int i = 0; i < count; ++i) {
    char reason[200] = {0};
    table[i] = QLTP_regex_compile(specs[i].pattern, -1, specs[i].options, reason,
                                  static_cast<int>(sizeof reason));
    if (table[i] == nullptr) {
      if (err != nullptr && errlen > 0)
        std::snprintf(err, static_cast<size_t>(errlen), "pattern %d: %s", i, reason);
      discard();
      return nullptr;
    }
  }
  try {
    sets->emplace(specs, table);
  } catch (const std::bad_alloc&) {
    discard();
    SetError(err, errlen, "out of memory");
    return nullptr;
  }
  return table;
}

void QLTP_regex_free(QLTP_regex* re) {
  if (re == nullptr) return;
  pcre2_code_free(re->code);
  QLTP_free(re);
}

int QLTP_regex_exec(const QLTP_regex* re, const char* text, int len, int start, int* ovector,
                    int options) {
  auto fail = [ovector] {
    if (ovector != nullptr)
      for (int i = 0; i < QLTP_REGEX_OVECSIZE; ++i) ovector[i] = -1;
    return 0;
  };
  if (re == nullptr || re->code == nullptr || text == nullptr) return fail();
  size_t length = len < 0 ? std::strlen(text) : static_cast<size_t>(len);
  if (start < 0 || static_cast<size_t>(start) > length) return fail();
  ThreadMatchState& state = MatchState();
  if (state.context == nullptr || state.data == nullptr) return fail();
  uint32_t flags = (options & QLTP_REGEX_VALID_UTF8) ? PCRE2_NO_UTF_CHECK : 0;
  auto subject = reinterpret_cast<PCRE2_SPTR>(text);
  int rc = pcre2_match(re->code, subject, length, static_cast<PCRE2_SIZE>(start), flags, state.data,
                       state.context);
  // A pattern too deep for the JIT stack gets a second chance interpreted,
  // where the heap limit bounds it instead.
  if (rc == PCRE2_ERROR_JIT_STACKLIMIT)
    rc = pcre2_match(re->code, subject, length, static_cast<PCRE2_SIZE>(start),
                     flags | PCRE2_NO_JIT, state.data, state.context);
  if (rc == 0) rc = QLTP_REGEX_OVECSIZE / 2;  // more groups than pairs: the vector is full
  if (rc < 0) return fail();
  if (ovector != nullptr) {
    const PCRE2_SIZE* pairs = pcre2_get_ovector_pointer(state.data);
    for (int i = 0; i < 2 * rc; ++i)
      ovector[i] = pairs[i] == PCRE2_UNSET ? -1 : static_cast<int>(pairs[i]);
    for (int i = 2 * rc; i < QLTP_REGEX_OVECSIZE; ++i) ovector[i] = -1;
  }
  return rc;
}

int QLTP_regex_capture_count(const QLTP_regex* re) {
  if (re == nullptr || re->code == nullptr) return 0;
  uint32_t count = 0;
  pcre2_pattern_info(re->code, PCRE2_INFO_CAPTURECOUNT, &count);
  return static_cast<int>(count);
}

int32_t QLTP_regex_image_sz(const QLTP_regex* re) {
  SerialBytes serial;
  if (!Encode(re, serial)) return 0;
  return static_cast<int32_t>(kImageHeader + serial.size);
}

int32_t QLTP_regex_image(const QLTP_regex* re, void* dst, int32_t dstlen) {
  SerialBytes serial;
  if (dst == nullptr || !Encode(re, serial)) return 0;
  size_t total = kImageHeader + serial.size;
  if (dstlen < 0 || static_cast<size_t>(dstlen) < total) return 0;
  auto* out = static_cast<unsigned char*>(dst);
  StoreU32(out, kImageMagic);
  StoreU32(out + 4, (static_cast<uint32_t>(PCRE2_MAJOR) << 16) | static_cast<uint32_t>(PCRE2_MINOR));
  StoreU32(out + 8, LinkSize());
  StoreU32(out + 12, static_cast<uint32_t>(serial.size));
  StoreU32(out + 16, Checksum(serial.bytes, serial.size));
  std::memcpy(out + kImageHeader, serial.bytes, serial.size);
  return static_cast<int32_t>(total);
}

QLTP_regex* QLTP_regex_from_image(const void* src, int32_t len, char* err, int errlen) {
  const auto* in = static_cast<const unsigned char*>(src);
  if (in == nullptr || len < static_cast<int32_t>(kImageHeader)) {
    SetError(err, errlen, "compiled pattern image truncated");
    return nullptr;
  }
  if (LoadU32(in) != kImageMagic) {
    SetError(err, errlen, "not a compiled pattern image");
    return nullptr;
  }
  uint32_t version = (static_cast<uint32_t>(PCRE2_MAJOR) << 16) | static_cast<uint32_t>(PCRE2_MINOR);
  if (LoadU32(in + 4) != version || LoadU32(in + 8) != LinkSize()) {
    char text[128];
    std::snprintf(text, sizeof text,
                  "compiled pattern image made by PCRE2 %u.%u (link size %u), this build is %u.%u",
                  LoadU32(in + 4) >> 16, LoadU32(in + 4) & 0xffffu, LoadU32(in + 8),
                  static_cast<unsigned>(PCRE2_MAJOR), static_cast<unsigned>(PCRE2_MINOR));
    SetError(err, errlen, text);
    return nullptr;
  }
  size_t payload = LoadU32(in + 12);
  const unsigned char* body = in + kImageHeader;
  if (payload != static_cast<size_t>(len) - kImageHeader) {
    SetError(err, errlen, "compiled pattern image size mismatch");
    return nullptr;
  }
  if (Checksum(body, payload) != LoadU32(in + 16)) {
    SetError(err, errlen, "compiled pattern image damaged (checksum)");
    return nullptr;
  }
  const PayloadLayout& layout = Layout();
  if (!layout.known) {
    SetError(err, errlen, "compiled pattern images are not supported by this PCRE2 build");
    return nullptr;
  }
  // The decoder reads the serial header, the tables and one code block whose
  // size it takes from the block itself: all of that must lie inside payload.
  size_t fixed = kSerialHeader + layout.tables;
  bool sound = payload > fixed + layout.magic_offset + 4 && LoadU32(body) == kSerialMagic &&
               pcre2_serialize_get_number_of_codes(body) == 1;
  if (sound) {
    size_t block = 0;
    std::memcpy(&block, body + fixed + layout.size_offset, sizeof block);
    sound = block == payload - fixed && LoadU32(body + fixed + layout.magic_offset) == kCodeMagic;
  }
  if (!sound) {
    SetError(err, errlen, "compiled pattern image damaged (layout)");
    return nullptr;
  }
  pcre2_code* code = nullptr;
  int32_t rc = pcre2_serialize_decode(&code, 1, body, General());
  if (rc != 1 || code == nullptr) {
    PCRE2_UCHAR reason[160] = {0};
    pcre2_get_error_message(rc, reason, sizeof reason);
    char text[200];
    std::snprintf(text, sizeof text, "compiled pattern image refused: %s",
                  reinterpret_cast<const char*>(reason));
    SetError(err, errlen, text);
    return nullptr;
  }
  pcre2_jit_compile(code, PCRE2_JIT_COMPLETE);
  auto* re = static_cast<QLTP_regex*>(QLTP_malloc(sizeof(QLTP_regex)));
  if (re == nullptr) {
    pcre2_code_free(code);
    SetError(err, errlen, "out of memory");
    return nullptr;
  }
  re->code = code;
  return re;
}
