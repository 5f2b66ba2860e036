#include "foundation/utf8.h"
#include "foundation/xmlscan.h"

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <string_view>
#include <vector>

#include "foundation/regex.h"

// Pieces of the markup patterns. NAME_RANGES are the non-ASCII ranges of the
// XML 1.0 (fifth edition) name characters.
#define NAME_RANGES                                                                            \
  "\\x{C0}-\\x{D6}\\x{D8}-\\x{F6}\\x{F8}-\\x{2FF}\\x{370}-\\x{37D}\\x{37F}-\\x{1FFF}"          \
  "\\x{200C}-\\x{200D}\\x{2070}-\\x{218F}\\x{2C00}-\\x{2FEF}\\x{3001}-\\x{D7FF}\\x{F900}-"     \
  "\\x{FDCF}\\x{FDF0}-\\x{FFFD}\\x{10000}-\\x{EFFFF}"
#define NAME_START "[a-zA-Z_:" NAME_RANGES "]"
#define NAME_CHAR "[-a-zA-Z0-9._:" NAME_RANGES "]"
#define NAME NAME_START NAME_CHAR "*"
// White space inside markup: what \s admits (form feed and vertical tab too)
// and the line breaks.
#define SP "[\n\r\\s]"
#define HTML_NAME "[a-zA-Z_][-a-zA-Z0-9_]*"

const char* const QLTP_XMLTOKEN_NAMES[14] = {
    "XMLCommentStart", "XMLCommentEnd", "XMLCDATAStart", "XMLCDATAEnd", "XMLHeader",
    "XMLDoctype",      "XMLEmpty",      "XMLClose",      "XMLOpen",     "HTMLOpen",
    "XMLEntity",       "Whitespace",    "Text",          "XMLChar"};

const char* const QLTP_XMLTOKEN_PATTERNS[QLTP_XMLTOKEN_SLOTS] = {
    "^(<!--)",
    "^(-->)",
    "^(<!\\[CDATA\\[)",
    "^(\\]\\]>)",
    "^(<\\?([^?]*(\\?[^>])?)*\\?>)",
    // A doctype of any case, with or without an external identifier (a
    // public one with or without its system literal).
    "^(<!(?i:DOCTYPE)" SP "+(" NAME ")(?:" SP "+((?i:SYSTEM)" SP "+(\"[^\"]*\"|'[^']*')|(?i:PUBLIC)" SP
    "+(\"[-\\s\r\na-zA-Z0-9'()+,./:=?;!*#@$_%]*\"|'[-\\s\r\na-zA-Z0-9()+,./:=?;!*#@$_%]*'|)(?:" SP
    "+(\"[^\"]*\"|'[^']*'))?))?" SP "*(\\[" SP "*(<![^>]*(\"[^\"]*\"|'[^']*')?" SP "*>" SP
    "*|<\\?([^?]*(\\?[^>])?)*\\?>" SP "*|%\\w+;" SP "*)*\\])?" SP "*>)",
    "(^<" NAME "(\\s+" NAME SP "*=" SP "*[\\\"][^\\\"]*[\\\"]|\\s+" NAME SP "*=" SP
    "*[\\'][^\\']*[\\'])*" SP "*/\\s*>)",
    "(^</" NAME SP "*>)",
    "(^<" NAME "(" SP "+" NAME SP "*=" SP "*[\\\"][^\\\"]*[\\\"]|" SP "+" NAME SP "*=" SP
    "*[\\'][^\\']*[\\'])*" SP "*>)",
    "(^<" HTML_NAME "(" SP "+" HTML_NAME SP "*=" SP "*[\\'\\\"][^\\'\\\"]*[\\'\\\"]|" SP
    "+" HTML_NAME SP "*=[^\n\r\\s\\'\\\">]*|" SP "+" HTML_NAME SP "*)*" SP "*>)",
    "^&(\\#?\\w+);",
    "(^[\\h\\v]+)",
    "(^[^\\h\\v<>&\\]-]+)",
    "^([<>&\\]-])",
    "^([\\v]+)",
    "^([\\h]+)",
    "^([-+=/@]+)",
};

const char* const QLTP_TPXML_SEPARATOR_PATTERN = "^([-+=/@])";

namespace {

constexpr int kLookahead = 8192;
constexpr size_t kNameMax = 32;
constexpr size_t kValueMax = 2048;
constexpr int kTableSlots = QLTP_XMLTOKEN_SLOTS + 1;  // the patterns and a NULL

// The scanner's 17 patterns, compiled once per process and shared.
QLTP_regex* const* SharedTable() {
  // Every pattern is anchored and tried at each token of the text.
  constexpr int kScan = QLTP_REGEX_NO_START_SCAN;
  static const QLTP_regex_spec specs[QLTP_XMLTOKEN_SLOTS] = {
      {QLTP_XMLTOKEN_PATTERNS[0], kScan},  {QLTP_XMLTOKEN_PATTERNS[1], kScan},
      {QLTP_XMLTOKEN_PATTERNS[2], kScan},  {QLTP_XMLTOKEN_PATTERNS[3], kScan},
      {QLTP_XMLTOKEN_PATTERNS[4], kScan},  {QLTP_XMLTOKEN_PATTERNS[5], kScan | QLTP_REGEX_DOTALL},
      {QLTP_XMLTOKEN_PATTERNS[6], kScan},  {QLTP_XMLTOKEN_PATTERNS[7], kScan},
      {QLTP_XMLTOKEN_PATTERNS[8], kScan},  {QLTP_XMLTOKEN_PATTERNS[9], kScan},
      {QLTP_XMLTOKEN_PATTERNS[10], kScan}, {QLTP_XMLTOKEN_PATTERNS[11], kScan},
      {QLTP_XMLTOKEN_PATTERNS[12], kScan}, {QLTP_XMLTOKEN_PATTERNS[13], kScan},
      {QLTP_XMLTOKEN_PATTERNS[14], kScan}, {QLTP_XMLTOKEN_PATTERNS[15], kScan},
      {QLTP_TPXML_SEPARATOR_PATTERN, kScan}};
  return QLTP_regex_shared_set(specs, QLTP_XMLTOKEN_SLOTS);
}

// Blanks between attributes: the tag patterns take form feed and vertical tab
// too.
bool IsWhitespace(unsigned char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }
bool IsQuote(unsigned char c) { return c == '"' || c == '\''; }

// The longest prefix of at most max bytes that ends on a character boundary.
size_t CutAtCharBoundary(const char* p, size_t n, size_t max) {
  if (n <= max) return n;
  size_t cut = max;
  while (cut > 0 && QLTP_u8_is_cont(static_cast<unsigned char>(p[cut]))) --cut;
  return cut;
}

// The slots worth trying for a token that begins with byte c: a pattern whose
// first character can never be c is skipped (exact for the scanner's own
// patterns; a table installed by a caller is tried slot by slot).
struct Candidates {
  const unsigned char* slots;
  int count;
};

Candidates CandidatesFor(unsigned char c) {
  static const unsigned char kAngle[] = {0, 2, 4, 5, 6, 7, 8, 9, 13};
  static const unsigned char kHyphen[] = {1, 13};
  static const unsigned char kBracket[] = {3, 13};
  static const unsigned char kAmpersand[] = {10, 13};
  static const unsigned char kCloseAngle[] = {13};
  static const unsigned char kSpace[] = {11};
  static const unsigned char kText[] = {12};
  static const unsigned char kNonAscii[] = {11, 12, 13};
  switch (c) {
    case '<': return {kAngle, 9};
    case '-': return {kHyphen, 2};
    case ']': return {kBracket, 2};
    case '&': return {kAmpersand, 2};
    case '>': return {kCloseAngle, 1};
    case ' ': case '\t': case '\n': case '\v': case '\f': case '\r': return {kSpace, 1};
    default: break;
  }
  if (c >= 0x80) return {kNonAscii, 3};
  return {kText, 1};
}

}  // namespace

struct QLTP_tpxml {
  std::string name;                       // current element name
  std::vector<const char*> attributes;    // name, value, ..., NULL
  std::string attribute_store;            // names and values, NUL-separated
  std::vector<size_t> attribute_offsets;  // where each string starts in the store
  int lookahead = kLookahead;
  // The pattern table, a copy of the shared set once set up (shared then
  // points at it); a caller may put other patterns in it through
  // QLTP_tpxml_get_regexs. The scanner never frees them.
  QLTP_regex* patterns[kTableSlots] = {};
  QLTP_regex* const* shared = nullptr;
  int in_comment = 0;
  int in_cdata = 0;
  std::string input;
  size_t validated = 0;  // bytes of input known to be valid UTF-8
  bool busy = false;     // inside a handler: no re-entry
  void* user = nullptr;
  tpxml_character_data_handler character_data = nullptr;
  tpxml_entity_handler entity = nullptr;
  tpxml_start_element_handler start_element = nullptr;
  tpxml_end_element_handler end_element = nullptr;
  tpxml_cdata_handler cdata_start = nullptr;
  tpxml_cdata_handler cdata_end = nullptr;
  int64_t byte_total = 0;
  int64_t char_total = 0;
};

namespace {

// Makes input[validated..] valid UTF-8: every invalid sequence becomes U+FFFD.
// A non-final call leaves an incomplete sequence at the end for the next piece.
void ValidateInput(QLTP_tpxml* x, bool final) {
  std::string& in = x->input;
  size_t i = x->validated;
  const size_t n = in.size();
  // Fast path: ASCII and well-formed sequences need no copy.
  while (i < n) {
    auto* p = reinterpret_cast<const unsigned char*>(in.data()) + i;
    if (*p < 0x80) {
      ++i;
      continue;
    }
    int len = QLTP_utf8_sequence(p, n - i);
    if (len <= 0) break;
    i += static_cast<size_t>(len);
  }
  if (i == n) {
    x->validated = n;
    return;
  }
  std::string repaired(in, 0, i);
  repaired.reserve(n + 16);
  size_t keep = n;  // where an unfinished trailing sequence starts
  while (i < n) {
    auto* p = reinterpret_cast<const unsigned char*>(in.data()) + i;
    int len = QLTP_utf8_sequence(p, n - i);
    if (len > 0) {
      repaired.append(in, i, static_cast<size_t>(len));
      i += static_cast<size_t>(len);
    } else if (len < 0 && !final) {
      keep = i;
      break;
    } else {
      repaired.append("\xEF\xBF\xBD");
      ++i;
    }
  }
  x->validated = repaired.size();
  if (keep < n) repaired.append(in, keep, std::string::npos);
  in.swap(repaired);
}

// Element name of a start, empty or end tag: the name characters after "<" or
// "</", cut to 32 bytes on a character boundary.
size_t TakeName(QLTP_tpxml* x, const char* tag, size_t len) {
  size_t i = 1;
  if (i < len && tag[i] == '/') ++i;
  size_t start = i;
  while (i < len) {
    unsigned char c = static_cast<unsigned char>(tag[i]);
    if (c == '/' || c == '>' || c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' ||
        c == '\f')
      break;
    ++i;
  }
  x->name.assign(tag + start, CutAtCharBoundary(tag + start, i - start, kNameMax));
  return i;
}

// Reads the attributes in text (the tag after its name) into the scanner's
// storage, then builds the pointer list once the storage is complete.
void TakeAttributes(QLTP_tpxml* x, const char* text, size_t len) {
  x->attribute_store.clear();
  x->attribute_offsets.clear();
  x->attributes.clear();
  const char* p = text;
  const char* end = text + len;
  while (p < end) {
    const char* name;
    const char* value;
    int namelen, valuelen;
    const char* next = QLTP_get_keyval(p, static_cast<int>(end - p), &name, &namelen, &value, &valuelen);
    if (next == nullptr) break;
    size_t n = CutAtCharBoundary(name, static_cast<size_t>(namelen), kNameMax);
    x->attribute_offsets.push_back(x->attribute_store.size());
    x->attribute_store.append(name, n).push_back('\0');
    size_t v = CutAtCharBoundary(value, static_cast<size_t>(valuelen), kValueMax);
    x->attribute_offsets.push_back(x->attribute_store.size());
    x->attribute_store.append(value, v).push_back('\0');
    p = next;
  }
  for (size_t offset : x->attribute_offsets) x->attributes.push_back(x->attribute_store.data() + offset);
  x->attributes.push_back(nullptr);
}

// One pass over the validated input; returns the bytes consumed.
size_t Scan(QLTP_tpxml* x, size_t limit) {
  const char* buf = x->input.data();
  const size_t size = x->validated;
  size_t pos = 0;
  int ovector[QLTP_REGEX_OVECSIZE];
  const bool own = std::equal(x->patterns, x->patterns + kTableSlots, x->shared);
  while (pos < size) {
    const char* tok = buf + pos;
    const size_t remaining = size - pos;
    int kind = QLTP_WHITESPACE;
    size_t length = 0;
    auto attempt = [&](int slot) {
      QLTP_regex* re = x->patterns[slot];
      if (re == nullptr) return false;
      int subject = remaining > INT_MAX ? INT_MAX : static_cast<int>(remaining);
      if (QLTP_regex_exec(re, tok, subject, 0, ovector, QLTP_REGEX_VALID_UTF8) > 0 &&
          ovector[1] > 0) {
        kind = slot;
        length = static_cast<size_t>(ovector[1]);
        return true;
      }
      return false;
    };
    if (own) {
      Candidates c = CandidatesFor(static_cast<unsigned char>(*tok));
      for (int i = 0; i < c.count; ++i)
        if (attempt(c.slots[i])) break;
    } else {
      for (int slot = 0; slot <= QLTP_XMLCHAR; ++slot)
        if (attempt(slot)) break;
    }
    if (length > remaining) length = remaining;
    // Matches end on character boundaries already; keep it so for any table.
    while (length < remaining && QLTP_u8_is_cont(static_cast<unsigned char>(tok[length]))) ++length;
    if (length == 0) break;

    std::string_view rest(tok, remaining);
    if (x->in_comment) {
      if (kind == QLTP_XMLCOMMENTEND) {
        x->in_comment = 0;
      } else {
        size_t end = rest.find("-->");
        if (end != std::string_view::npos && end > 0)
          length = end;
        else if (end == std::string_view::npos && remaining > 2 && length < remaining - 2)
          length = remaining - 2;  // no end in sight: skip all but a possible "--"
        while (length < remaining && QLTP_u8_is_cont(static_cast<unsigned char>(tok[length]))) ++length;
      }
    } else if (x->in_cdata) {
      if (kind == QLTP_XMLCDATAEND) {
        x->in_cdata = 0;
        if (x->cdata_end) x->cdata_end(x->user);
      } else {
        size_t end = rest.find("]]>");
        if (end != std::string_view::npos && end > 0)
          length = end;
        else if (end == std::string_view::npos && remaining > 2 && length < remaining - 2)
          length = remaining - 2;
        while (length < remaining && QLTP_u8_is_cont(static_cast<unsigned char>(tok[length]))) ++length;
        if (x->character_data) x->character_data(x->user, tok, static_cast<int>(length));
      }
    } else {
      switch (kind) {
        case QLTP_XMLCOMMENTSTART:
          x->in_comment = 1;
          break;
        case QLTP_XMLCDATASTART:
          x->in_cdata = 1;
          if (x->cdata_start) x->cdata_start(x->user);
          break;
        case QLTP_XMLENTITY:
          if (x->entity) x->entity(x->user, tok, static_cast<int>(length));
          break;
        case QLTP_XMLHEADER:
        case QLTP_XMLDOCTYPE:
        case QLTP_HTMLOPEN:
          break;
        case QLTP_XMLOPEN:
        case QLTP_XMLEMPTY: {
          size_t after = TakeName(x, tok, length);
          TakeAttributes(x, tok + after, after < length ? length - 1 - after : 0);
          if (x->start_element) x->start_element(x->user, x->name.c_str(), x->attributes.data());
          if (kind == QLTP_XMLEMPTY && x->end_element) x->end_element(x->user, x->name.c_str());
          break;
        }
        case QLTP_XMLCLOSE:
          TakeName(x, tok, length);
          if (x->end_element) x->end_element(x->user, x->name.c_str());
          break;
        default:  // comment and CDATA ends outside their sections, whitespace, text, characters
          if (x->character_data) x->character_data(x->user, tok, static_cast<int>(length));
          break;
      }
    }
    pos += length;
    x->byte_total += static_cast<int64_t>(length);
    x->char_total += QLTP_u8_count(tok, length);
    if (limit > 0 && pos >= limit) break;
  }
  return pos;
}

}  // namespace

QLTP_regex* const* QLTP_TPXML_REGEXES() { return SharedTable(); }

QLTP_tpxml* QLTP_tpxml_new() {
  auto* x = new (std::nothrow) QLTP_tpxml;
  if (x == nullptr) return nullptr;
  try {
    x->input.reserve(32768);
    x->name.reserve(32);
    x->attribute_store.reserve(2048);
  } catch (...) {
    delete x;
    return nullptr;
  }
  QLTP_tpxml_setup_regex(x);
  return x;
}

void QLTP_tpxml_delete(QLTP_tpxml* x) {
  delete x;
}

void QLTP_tpxml_reset(QLTP_tpxml* x) {
  if (x == nullptr) return;
  x->input.clear();
  x->validated = 0;
  x->byte_total = 0;
  x->char_total = 0;
  // A new stream must not start inside the previous stream's unterminated
  // comment or CDATA section.
  x->in_comment = 0;
  x->in_cdata = 0;
}

QLTP_tpxml* QLTP_tpxml_set_userdata(QLTP_tpxml* x, void* user) {
  if (x) x->user = user;
  return x;
}

QLTP_tpxml* QLTP_tpxml_set_element_handler(QLTP_tpxml* x, tpxml_start_element_handler start,
                                           tpxml_end_element_handler end) {
  if (x) {
    x->start_element = start;
    x->end_element = end;
  }
  return x;
}

QLTP_tpxml* QLTP_tpxml_set_character_data_handler(QLTP_tpxml* x, tpxml_character_data_handler h) {
  if (x) x->character_data = h;
  return x;
}

QLTP_tpxml* QLTP_tpxml_set_entity_handler(QLTP_tpxml* x, tpxml_entity_handler h) {
  if (x) x->entity = h;
  return x;
}

QLTP_tpxml* QLTP_tpxml_set_cdata_section_handler(QLTP_tpxml* x, tpxml_cdata_handler start,
                                                 tpxml_cdata_handler end) {
  if (x) {
    x->cdata_start = start;
    x->cdata_end = end;
  }
  return x;
}

QLTP_tpxml* QLTP_tpxml_set_lookahead(QLTP_tpxml* x, int n) {
  if (x && n > 0) x->lookahead = n;
  return x;
}

int QLTP_tpxml_setup_regex(QLTP_tpxml* x) {
  if (x == nullptr) return 0;
  if (x->shared != nullptr) return 1;
  QLTP_regex* const* shared = SharedTable();
  if (shared == nullptr) return 0;
  std::copy(shared, shared + kTableSlots, x->patterns);
  x->shared = shared;
  return 1;
}

QLTP_regex** QLTP_tpxml_get_regexs(QLTP_tpxml* x) { return x && x->shared ? x->patterns : nullptr; }

int QLTP_tpxml_get_no_compiled_regexs(QLTP_tpxml* x) {
  if (x == nullptr || x->shared == nullptr) return 0;
  int n = 0;
  while (n < kTableSlots && x->patterns[n] != nullptr) ++n;
  return n;
}

int32_t QLTP_tpxml_get_compiled_regex_sz(QLTP_tpxml* x, int i) {
  if (i < 0 || i >= QLTP_tpxml_get_no_compiled_regexs(x)) return 0;
  return QLTP_regex_image_sz(x->patterns[i]);
}

int32_t QLTP_tpxml_get_compiled_regex(QLTP_tpxml* x, int i, void* destination, int32_t size) {
  if (destination == nullptr || i < 0 || i >= QLTP_tpxml_get_no_compiled_regexs(x)) return 0;
  return QLTP_regex_image(x->patterns[i], destination, size);
}

int QLTP_tpxml_parse(QLTP_tpxml* x, const char* text, int len, int final) {
  if (x == nullptr || x->shared == nullptr || x->busy) return 0;
  size_t n = 0;
  if (text != nullptr) n = len < 0 ? std::strlen(text) : static_cast<size_t>(len);
  try {
    x->input.append(text ? text : "", n);
  } catch (...) {
    return 0;
  }
  x->busy = true;
  try {
    ValidateInput(x, final != 0);
    if (final) {
      Scan(x, 0);
      x->input.clear();
      x->validated = 0;
    } else if (x->validated > static_cast<size_t>(x->lookahead)) {
      size_t consumed = Scan(x, x->validated - static_cast<size_t>(x->lookahead));
      x->input.erase(0, consumed);
      x->validated -= consumed;
    }
  } catch (...) {
    x->busy = false;
    return 0;
  }
  x->busy = false;
  return 1;
}

int64_t QLTP_tpxml_byte_total(const QLTP_tpxml* x) { return x ? x->byte_total : 0; }
int64_t QLTP_tpxml_char_total(const QLTP_tpxml* x) { return x ? x->char_total : 0; }

const char* QLTP_get_keyval(const char* text, int len, const char** name, int* namelen,
                            const char** value, int* valuelen) {
  if (name) *name = nullptr;
  if (value) *value = nullptr;
  if (namelen) *namelen = 0;
  if (valuelen) *valuelen = 0;
  if (text == nullptr || len < 1) return nullptr;
  const char* p = text;
  const char* end = text + len;
  while (p < end && IsWhitespace(static_cast<unsigned char>(*p))) ++p;
  const char* key = p;
  while (p < end && *p != '=') ++p;
  if (p == end) return nullptr;
  const char* keyend = key;
  while (keyend < p && !IsWhitespace(static_cast<unsigned char>(*keyend))) ++keyend;
  ++p;  // '='
  while (p < end && IsWhitespace(static_cast<unsigned char>(*p))) ++p;
  if (p == end || !IsQuote(static_cast<unsigned char>(*p))) return nullptr;
  char quote = *p++;
  const char* val = p;
  while (p < end && *p != quote) ++p;
  if (p == end) return nullptr;
  if (name) *name = key;
  if (namelen) *namelen = static_cast<int>(keyend - key);
  if (value) *value = val;
  if (valuelen) *valuelen = static_cast<int>(p - val);
  return p + 1;
}

namespace {

void TestStart(void*, const char* name, const char** attributes) {
  std::printf("TAGOPEN:%s\n", name);
  for (const char** a = attributes; a && a[0] && a[1]; a += 2) {
    std::printf("KEY:%s\n", a[0]);
    std::printf("VAL:'%s'\n", a[1]);
  }
}
void TestEnd(void*, const char* name) { std::printf("TAGCLOSE:%s\n", name); }
void TestData(void*, const char* text, int len) {
  std::printf("DATA[");
  std::fwrite(text, 1, static_cast<size_t>(len), stdout);
  std::printf("]\n");
}

}  // namespace

int QLTP_tpxml_test(const char* path, int blocksize) {
  FILE* file = path ? std::fopen(path, "rb") : nullptr;
  if (file == nullptr) {
    std::printf("Can't find input file exiting : %s\n", path ? path : "(null)");
    return 0;
  }
  if (blocksize < 1) blocksize = 4096;
  QLTP_tpxml* x = QLTP_tpxml_new();
  if (x == nullptr) {
    std::fclose(file);
    return 0;
  }
  QLTP_tpxml_set_element_handler(x, TestStart, TestEnd);
  QLTP_tpxml_set_character_data_handler(x, TestData);
  std::vector<char> block(static_cast<size_t>(blocksize));
  int ok = 1;
  for (;;) {
    size_t got = std::fread(block.data(), 1, block.size(), file);
    bool last = got < block.size();
    if (!QLTP_tpxml_parse(x, block.data(), static_cast<int>(got), last ? 1 : 0)) ok = 0;
    if (last) break;
  }
  std::fflush(stdout);
  QLTP_tpxml_delete(x);
  std::fclose(file);
  return ok;
}
