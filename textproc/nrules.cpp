#include "textproc/nrules.h"

#include <atomic>
#include <cstring>
#include <string>
#include <string_view>

#include "foundation/dict.h"
#include "foundation/dystr.h"
#include "foundation/dystrarray.h"
#include "foundation/logger.h"
#include "foundation/numarray.h"
#include "foundation/regex.h"
#include "foundation/serial.h"
#include "foundation/strarray.h"
#include "foundation/strutil.h"
#include "foundation/tpdb.h"
#include "foundation/voidparray.h"
#include "foundation/xmlscan.h"
#include "textproc/hrules.h"
#include "textproc/rinterp.h"

// State of the rule-file reader, alive only while a file is read.
struct nrules_reader {
  QLTP_tpxml* scanner = nullptr;
  std::string cdata;
  bool in_cdata = false;
  std::string element;  // name of the current regex or lookup
  bool in_element = false;
  bool is_lookup = false;
  nrule* current = nullptr;
  bool in_match = false;
  std::string match, replace;
  int ncomp = 0;
};

namespace {

constexpr char kRulePattern[] = ".*?(<rule .*?type=[\\\"\\'](.*?)[\\\"\\'].*?</rule>)";
// Each "\n" below is a line feed itself, as the rule-file format has it.
constexpr char kLookupPattern[] =
    "[\n\\s]*(u?[\\'\\\"](.*?)[\\'\\\"]\\s*:\\s*u?[\\'\\\"](.*?)[\\'\\\"])[\n\\s]*[,}][\n\\s]*";
constexpr char kSeparatorPattern[] = "[\n\\s]*,[\n\\s]*";
constexpr char kTable[] = "LKPTABLE";
// Lookup keys are "table:key"; a key with its NUL fits in 256 bytes.
constexpr int kMaxLookupKey = 254;
// The longest word the stored form's dictionaries hold (every name and
// lookup key), and the longest rule name its length byte allows.
constexpr size_t kMaxStoredWord = 254;
constexpr size_t kMaxRuleName = 255;
// Relative slots are a sign and two digits.
constexpr int kMaxSlot = 99;
constexpr int kMaxComponents = 1 << 16;

void warn(const nrules* set, int code, const char* message, const std::string& detail) {
  if (set && set->log) QLTP_logger_set_error(set->log, code, message, detail.c_str());
}

// A name the stored form can hold; a longer one is logged and refused, so
// the rest of the set stays storable.
bool storable(const nrules* set, const char* message, std::string_view name, size_t max = kMaxStoredWord) {
  if (name.size() <= max) return true;
  warn(set, QLTP_MESSAGE_WARN, message, std::string(name.substr(0, 64)) + "...");
  return false;
}

std::string_view view(const char* s, int len) {
  if (!s) return {};
  return len < 0 ? std::string_view(s) : std::string_view(s, static_cast<size_t>(len));
}

int dict_id(const dict* d, std::string_view word) {
  if (!d || word.empty()) return 0;
  return QLTP_dict_lookup_word(d, word.data(), static_cast<int>(word.size()));
}

// Adds a name that must be new; its id, or 0.
int dict_add_new(dict* d, std::string_view word) {
  if (!d || word.empty() || dict_id(d, word)) return 0;
  return QLTP_dict_add_entry(d, word.data(), static_cast<int>(word.size()));
}

void delete_group(voidparray* group) {
  int n = QLTP_voidparray_sz(group);
  for (int i = 0; i < n; ++i) QLTP_nrule_delete(static_cast<nrule*>(QLTP_voidparray_idx(group, i)));
  QLTP_voidparray_delete(group);
}

// Walks a component buffer, calling f(component index, name, value) for each
// attribute. False when the buffer is not a well-formed component buffer.
template <typename F>
bool walk_buffer(const char* buf, int32_t len, F&& f) {
  if (len == 0) return true;
  if (!buf || len < 0) return false;
  int32_t pos = 0;
  int comp = 0;
  for (;;) {
    if (pos >= len) return false;
    if (buf[pos] == '\0') return pos == len - 1;
    for (;;) {
      const void* nul = std::memchr(buf + pos, 0, static_cast<size_t>(len - pos));
      if (!nul) return false;
      const char* name = buf + pos;
      pos = static_cast<int32_t>(static_cast<const char*>(nul) - buf) + 1;
      if (pos >= len) return false;
      nul = std::memchr(buf + pos, 0, static_cast<size_t>(len - pos));
      if (!nul) return false;
      const char* value = buf + pos;
      pos = static_cast<int32_t>(static_cast<const char*>(nul) - buf) + 1;
      f(comp, name, value);
      if (pos >= len) return false;
      if (buf[pos] == '\0') {
        ++pos;
        break;
      }
    }
    ++comp;
  }
}

// The slot written in characters 2 to 4 of a window value: a sign and two digits.
int slot_of(const char* v) {
  int sign = v[1] == '-' ? -1 : 1;
  int n = 0;
  for (int i = 2; i < 4 && QLTP_is_digit(v[i]); ++i) n = n * 10 + (v[i] - '0');
  return sign * n;
}

// --- reader handlers -------------------------------------------------------

const char* attr(const char** attrs, const char* name) {
  for (int i = 0; attrs && attrs[i]; i += 2)
    if (std::strcmp(attrs[i], name) == 0) return attrs[i + 1];
  return nullptr;
}

void add_component(nrules* set, nrules_reader* r, const char** attrs) {
  if (!attrs || !attrs[0]) {
    // An empty component would end the buffer early and hide the rest.
    warn(set, QLTP_MESSAGE_WARN, "RULES - component without attributes skipped", r->current->name);
    return;
  }
  std::string& buf = r->in_match ? r->match : r->replace;
  ++r->ncomp;
  for (int i = 0; attrs[i]; i += 2) {
    const char* name = attrs[i];
    const char* value = attrs[i + 1] && *attrs[i + 1] ? attrs[i + 1] : " ";
    buf.append(name).push_back('\0');
    buf.append(value).push_back('\0');
    size_t vlen = std::strlen(value);
    bool widens = (std::strcmp(name, "out") == 0 && vlen > 3) ||
                  (std::strcmp(name, "in") == 0 && vlen == 4 &&
                   (value[0] == 'P' || value[0] == 'T' || value[0] == 't'));
    if (widens) {
      int slot = slot_of(value);
      if (slot < set->minpos) set->minpos = slot;
      if (slot > set->maxpos) set->maxpos = slot;
    }
  }
  buf.push_back('\0');
}

char* own_buffer(std::string& buf, int32_t* len) {
  if (buf.empty()) {
    *len = 0;
    return nullptr;
  }
  buf.push_back('\0');
  *len = static_cast<int32_t>(buf.size());
  auto* p = static_cast<char*>(QLTP_malloc(buf.size()));
  if (p) QLTP_memcpy(p, buf.data(), buf.size());
  else *len = 0;
  return p;
}

void end_rule(nrules* set, nrules_reader* r) {
  nrule* rule = r->current;
  r->current = nullptr;
  rule->match = own_buffer(r->match, &rule->matchlen);
  rule->replace = own_buffer(r->replace, &rule->replacelen);
  if (set->log) {
    dystr* text = QLTP_dystr_new("", 0);
    QLTP_nrule_print(rule, text);
    QLTP_logger_set_error(set->log, QLTP_MESSAGE_DEBUG, "RULES", QLTP_dystr_cstr(text));
    QLTP_dystr_delete(text);
  }
  std::string_view type(rule->type);
  int id = dict_id(set->group_names, type);
  if (!id) {
    voidparray* group = QLTP_voidparray_new();
    id = group ? dict_add_new(set->group_names, type) : 0;
    if (!id || !QLTP_voidparray_add(set->groups, group)) {
      QLTP_voidparray_delete(group);
      QLTP_nrule_delete(rule);
      return;
    }
  }
  if (!QLTP_voidparray_add(static_cast<voidparray*>(QLTP_voidparray_idx(set->groups, id - 1)), rule)) {
    QLTP_nrule_delete(rule);
    return;
  }
  ++set->nrules;
  if (r->ncomp > set->maxcomp) set->maxcomp = r->ncomp;
}

void on_start(void* user, const char* name, const char** attrs) {
  auto* set = static_cast<nrules*>(user);
  nrules_reader* r = set->reader;
  if (std::strcmp(name, "rule") == 0) {
    const char* rname = attr(attrs, "name");
    const char* type = attr(attrs, "type");
    if (r->current) QLTP_nrule_delete(r->current);
    r->current = nullptr;
    if (!rname || !type) return;
    if (!storable(set, "RULES - too long rule name or type skipped", rname, kMaxRuleName) ||
        !storable(set, "RULES - too long rule name or type skipped", type))
      return;
    r->current = QLTP_nrule_new();
    if (!r->current) return;
    r->current->name = QLTP_strndup(rname, -1);
    r->current->type = QLTP_strndup(type, -1);
    r->match.clear();
    r->replace.clear();
    r->ncomp = 0;
    r->in_match = false;
  } else if (std::strcmp(name, "match") == 0) {
    if (r->current) r->in_match = true;
  } else if (std::strcmp(name, "replace") == 0) {
    if (r->current) r->in_match = false;
  } else if (std::strcmp(name, "com") == 0) {
    if (r->current) add_component(set, r, attrs);
  } else if (std::strcmp(name, "ordering") == 0) {
    const char* oname = attr(attrs, "name");
    const char* sequence = attr(attrs, "sequence");
    if (!oname || !sequence || !*oname || !storable(set, "ORDERING - too long name skipped", oname)) return;
    if (dict_id(set->ordering_names, oname)) {
      warn(set, QLTP_MESSAGE_WARN, "ORDERING - Repeated name skipped", oname);
      return;
    }
    strarray* list = QLTP_strarray_split_ws(sequence, -1);
    if (!list) return;
    if (!QLTP_voidparray_add(set->orderings, list)) {
      QLTP_strarray_delete(list);
      return;
    }
    if (!dict_add_new(set->ordering_names, oname)) {
      QLTP_voidparray_remove_item(set->orderings, QLTP_voidparray_sz(set->orderings) - 1);
      QLTP_strarray_delete(list);
    }
  } else if (std::strcmp(name, "hrule") == 0) {
    const char* hname = attr(attrs, "name");
    if (!hname || !*hname || !storable(set, "HRULE - too long name skipped", hname)) return;
    if (dict_id(set->hrule_names, hname)) {
      warn(set, QLTP_MESSAGE_WARN, "HRULE - Repeated name skipped", hname);
      return;
    }
    str2str* params = QLTP_strarray_new();
    if (!params) return;
    for (int i = 0; attrs[i]; i += 2)
      if (std::strcmp(attrs[i], "name") != 0) QLTP_str2str_add(params, attrs[i], -1, attrs[i + 1], -1);
    if (!QLTP_voidparray_add(set->hrules, params)) {
      QLTP_strarray_delete(params);
      return;
    }
    if (!dict_add_new(set->hrule_names, hname)) {
      QLTP_voidparray_remove_item(set->hrules, QLTP_voidparray_sz(set->hrules) - 1);
      QLTP_strarray_delete(params);
    }
  } else if (std::strcmp(name, "regex") == 0 || std::strcmp(name, "lookup") == 0) {
    if (const char* ename = attr(attrs, "name")) r->element = ename;
    r->is_lookup = name[0] == 'l';
    r->in_element = true;
  }
}

void on_end(void* user, const char* name) {
  auto* set = static_cast<nrules*>(user);
  nrules_reader* r = set->reader;
  if (std::strcmp(name, "rule") == 0) {
    if (r->current) end_rule(set, r);
  } else if (std::strcmp(name, "regex") == 0 || std::strcmp(name, "lookup") == 0) {
    r->in_element = false;
  }
}

void on_text(void* user, const char* text, int len) {
  auto* set = static_cast<nrules*>(user);
  if (set->reader->in_cdata && len > 0) set->reader->cdata.append(text, static_cast<size_t>(len));
}

void on_cdata_start(void* user) {
  auto* set = static_cast<nrules*>(user);
  set->reader->cdata.clear();
  set->reader->in_cdata = true;
}

void add_regex(nrules* set, const std::string& element, const std::string& pattern) {
  warn(set, QLTP_MESSAGE_DEBUG, "REGEX", element);
  std::string name = element;
  int options = 0;
  if (name.size() > 6 && name.compare(name.size() - 6, 6, "dotall") == 0) {
    name.resize(name.size() - 6);
    options = QLTP_REGEX_DOTALL;
  }
  if (!storable(set, "REGEX - too long name skipped", name)) return;
  QLTP_regex* re = QLTP_regex_compile(pattern.c_str(), static_cast<int>(pattern.size()), options);
  if (!re) {
    std::printf("ERROR RGX(%s)\n", pattern.c_str());
    return;
  }
  if (dict_id(set->regex_names, name)) {
    std::printf("ERROR DUPLICATE RGX NAME(%s)\n", name.c_str());
    QLTP_regex_free(re);
    return;
  }
  if (!QLTP_voidparray_add(set->regexes, re)) {
    QLTP_regex_free(re);
    return;
  }
  if (!dict_add_new(set->regex_names, name)) {
    QLTP_voidparray_remove_item(set->regexes, QLTP_voidparray_sz(set->regexes) - 1);
    QLTP_regex_free(re);
    return;
  }
  ++set->nrgx;
}

// Notes what the lookups of a new key "table:key" need to know quickly.
void note_key(nrules* set, std::string_view table, std::string_view key) {
  if (key == " ") QLTP_strarray_add(set->default_tables, table.data(), static_cast<int>(table.size()));
  if (key.empty() || key.find_first_not_of("0123456789") != std::string_view::npos) return;
  int n = QLTP_strarray_sz(set->numeric_tables);
  for (int i = 0; i < n; ++i) {
    if (table != QLTP_strarray_idx(set->numeric_tables, i)) continue;
    if (static_cast<int>(key.size()) > QLTP_intarray_idx(set->numeric_digits, i))
      QLTP_intarray_replace(set->numeric_digits, i, static_cast<int32_t>(key.size()));
    return;
  }
  if (QLTP_strarray_add(set->numeric_tables, table.data(), static_cast<int>(table.size())) &&
      !QLTP_intarray_add(set->numeric_digits, static_cast<int32_t>(key.size())))
    QLTP_strarray_remove_item(set->numeric_tables, n);
}

void add_lookup(nrules* set, const std::string& table, const std::string& text) {
  warn(set, QLTP_MESSAGE_DEBUG, "LOOKUP", table);
  if (!storable(set, "LOOKUP - too long table name skipped", table)) return;
  if (QLTP_hashstrarray_lookup(set->lookups, table.c_str(), static_cast<int>(table.size()))) {
    std::printf("ERROR DUPLICATE LKP NAME(%s)\n", table.c_str());
    return;
  }
  if (!QLTP_hashstrarray_add(set->lookups, table.c_str(), static_cast<int>(table.size()), kTable, -1)) return;
  int ov[QLTP_REGEX_OVECSIZE];
  const int len = static_cast<int>(text.size());
  int start = 0;
  std::string key;
  while (start < len) {
    // Scanner text is valid UTF-8 already.
    if (QLTP_regex_exec(set->lkp_rgx, text.data(), len, start, ov, QLTP_REGEX_VALID_UTF8) < 4) break;
    std::string_view k(text.data() + ov[4], static_cast<size_t>(ov[5] - ov[4]));
    std::string_view v(text.data() + ov[6], static_cast<size_t>(ov[7] - ov[6]));
    start = ov[1] > start ? ov[1] : start + 1;
    std::string detail = table + "[" + std::string(k) + "]";
    if (k.empty() || table.size() + 1 + k.size() > kMaxStoredWord) {
      warn(set, QLTP_MESSAGE_WARN, "LOOKUP - too long/empty key in lookup", detail);
      continue;
    }
    key = table + ":" + std::string(k);
    if (QLTP_hashstrarray_lookup(set->lookups, key.c_str(), static_cast<int>(key.size()))) {
      warn(set, QLTP_MESSAGE_WARN, "LOOKUP - Repeated key in lookup", detail);
      continue;
    }
    if (QLTP_hashstrarray_add(set->lookups, key.c_str(), static_cast<int>(key.size()), v.data(),
                              static_cast<int>(v.size()))) {
      ++set->nlkp;
      note_key(set, table, k);
    }
  }
}

void on_cdata_end(void* user) {
  auto* set = static_cast<nrules*>(user);
  nrules_reader* r = set->reader;
  r->in_cdata = false;
  if (!r->in_element) return;
  if (!r->element.empty()) {
    if (r->is_lookup)
      add_lookup(set, r->element, r->cdata);
    else
      add_regex(set, r->element, r->cdata);
  }
  std::printf("%s\n", r->cdata.c_str());
}

bool valid_component(const nrules* set, const char* value) {
  size_t len = std::strlen(value);
  if (len < 3) return false;
  const char* name = value + 2;
  switch (value[0]) {
    case 'R':
      return QLTP_nrules_getrgx(set, name, -1) != nullptr;
    case 'L':
      return QLTP_hashstrarray_lookup(set->lookups, name, -1) != nullptr;
    case 'H': {
      int i = QLTP_hrule_find(name, -1);
      return i >= 0 && QLTP_HRULES[i];
    }
    default:
      return true;
  }
}

void check_components(nrules* set) {
  int ngroups = QLTP_voidparray_sz(set->groups);
  for (int g = 0; g < ngroups; ++g) {
    auto* group = static_cast<voidparray*>(QLTP_voidparray_idx(set->groups, g));
    int n = QLTP_voidparray_sz(group);
    for (int i = 0; i < n; ++i) {
      auto* rule = static_cast<const nrule*>(QLTP_voidparray_idx(group, i));
      auto check = [&](const char* message) {
        return [set, message](int, const char* name, const char* value) {
          if (std::strcmp(name, "name") == 0 && !valid_component(set, value))
            warn(set, QLTP_MESSAGE_WARN, message, value);
        };
      };
      walk_buffer(rule->match, rule->matchlen, check("Invalid normalisation match component"));
      walk_buffer(rule->replace, rule->replacelen, check("Invalid normalisation replace component"));
    }
  }
}

// --- serial form -----------------------------------------------------------

// A compiled pattern's image: the bytes it was read from when it came from
// a database (a decoded pattern does not encode to the same bytes again).
int32_t image_size(const nrules* set, int i) {
  if (auto* image = static_cast<const QLTP_fixedbuf*>(QLTP_voidparray_idx(set->images, i)))
    return static_cast<int32_t>(image->size);
  auto* re = static_cast<const QLTP_regex*>(QLTP_voidparray_idx(set->regexes, i));
  return re ? QLTP_regex_image_sz(re) : 0;
}

char* write_image(const nrules* set, int i, char* p, int swap) {
  int32_t size = image_size(set, i);
  p = QLTP_int_write(&size, p, 1, swap);
  if (size <= 0) return p;
  if (auto* image = static_cast<const QLTP_fixedbuf*>(QLTP_voidparray_idx(set->images, i)))
    return static_cast<char*>(QLTP_memcpy(p, image->data, image->size)) + image->size;
  return p + QLTP_regex_image(static_cast<const QLTP_regex*>(QLTP_voidparray_idx(set->regexes, i)), p, size);
}

int32_t rule_size(const nrule* r) {
  int nlen = static_cast<int>(std::strlen(r->name)), tlen = static_cast<int>(std::strlen(r->type));
  if (nlen > 255 || tlen > 255) return 0;
  return 1 + nlen + 1 + tlen + 4 + r->matchlen + 4 + r->replacelen;
}

// Size of the serial form, 0 when the set cannot be stored whole.
int64_t serial_size(const nrules* set) {
  int64_t size = 8 * 4;
  auto add_dict = [&](const dict* d) {
    int n = QLTP_dict_write_sz(d);
    if (n <= 0) return false;
    size += n;
    return true;
  };
  if (!add_dict(set->regex_names)) return 0;
  int n = QLTP_voidparray_sz(set->regexes);
  for (int i = 0; i < n; ++i) size += 4 + image_size(set, i);
  uint32_t lsz = QLTP_hashstrarray_write_sz(set->lookups);
  if (lsz == 0) return 0;
  size += lsz;
  if (!add_dict(set->ordering_names)) return 0;
  n = QLTP_voidparray_sz(set->orderings);
  for (int i = 0; i < n; ++i)
    size += QLTP_strarray_write_sz(static_cast<const strarray*>(QLTP_voidparray_idx(set->orderings, i)));
  if (!add_dict(set->group_names)) return 0;
  n = QLTP_voidparray_sz(set->groups);
  for (int g = 0; g < n; ++g) {
    auto* group = static_cast<const voidparray*>(QLTP_voidparray_idx(set->groups, g));
    size += 4;
    int m = QLTP_voidparray_sz(group);
    for (int i = 0; i < m; ++i) {
      int32_t rs = rule_size(static_cast<const nrule*>(QLTP_voidparray_idx(group, i)));
      if (rs == 0) return 0;
      size += rs;
    }
  }
  if (!add_dict(set->hrule_names)) return 0;
  n = QLTP_voidparray_sz(set->hrules);
  for (int i = 0; i < n; ++i)
    size += QLTP_strarray_write_sz(static_cast<const strarray*>(QLTP_voidparray_idx(set->hrules, i)));
  return size > INT32_MAX ? 0 : size;
}

bool read_bytes(FILE* f, int32_t n, char** out) {
  *out = nullptr;
  if (n < 0 || !QLTP_file_may_hold(f, static_cast<uint64_t>(n))) return false;
  if (n == 0) return true;
  *out = static_cast<char*>(QLTP_malloc(static_cast<size_t>(n)));
  if (!*out) return false;
  if (QLTP_fread(*out, 1, static_cast<size_t>(n), f) != static_cast<size_t>(n)) {
    QLTP_free(*out);
    *out = nullptr;
    return false;
  }
  return true;
}

bool read_dict(FILE* f, dict** out, int swap, int32_t count) {
  if (!QLTP_dict_read(f, out, swap) || !*out) return false;
  return QLTP_dict_size(*out) == count;
}

}  // namespace

// ---------------------------------------------------------------------------
// Create and free

nrules* QLTP_nrules_newcustom(int nrgx, int nlkp, int norderings, int ngroups, int nhrules, int maxcomp,
                              int minpos, int maxpos, int create) {
  auto* set = static_cast<nrules*>(QLTP_calloc(sizeof(nrules), 1));
  if (!set) return nullptr;
  set->rule_rgx = QLTP_regex_compile(kRulePattern, -1, QLTP_REGEX_DOTALL);
  set->lkp_rgx = QLTP_regex_compile(kLookupPattern, -1, 0);
  set->sep_rgx = QLTP_regex_compile(kSeparatorPattern, -1, 0);
  set->regexes = QLTP_voidparray_newcustom(nrgx, 8, 64);
  set->orderings = QLTP_voidparray_newcustom(norderings, 8, 64);
  set->groups = QLTP_voidparray_newcustom(ngroups, 8, 64);
  set->hrules = QLTP_voidparray_newcustom(nhrules, 8, 64);
  static std::atomic<uint64_t> made{0};
  set->serial = ++made;
  set->default_tables = QLTP_strarray_new();
  set->numeric_tables = QLTP_strarray_new();
  set->numeric_digits = QLTP_intarray_new();
  set->nrgx = nrgx;
  set->nlkp = nlkp;
  set->maxcomp = maxcomp;
  set->minpos = minpos;
  set->maxpos = maxpos;
  bool ok = set->rule_rgx && set->lkp_rgx && set->sep_rgx && set->regexes && set->orderings && set->groups &&
            set->hrules && set->default_tables && set->numeric_tables && set->numeric_digits;
  if (create) {
    set->regex_names = QLTP_dict_new_empty(nrgx);
    set->lookups = QLTP_hashstrarray_new(nlkp);
    set->ordering_names = QLTP_dict_new_empty(norderings);
    set->group_names = QLTP_dict_new_empty(ngroups);
    set->hrule_names = QLTP_dict_new_empty(nhrules);
    ok = ok && set->regex_names && set->lookups && set->ordering_names && set->group_names && set->hrule_names;
  }
  if (!ok) {
    QLTP_nrules_delete(set);
    return nullptr;
  }
  return set;
}

nrules* QLTP_nrules_new() { return QLTP_nrules_newcustom(0, 0, 0, 0, 0, 0, 0, 0, 1); }

void QLTP_nrules_delete(nrules* set) {
  if (!set) return;
  QLTP_regex_free(set->rule_rgx);
  QLTP_regex_free(set->lkp_rgx);
  QLTP_regex_free(set->sep_rgx);
  QLTP_dict_delete(set->regex_names);
  int n = QLTP_voidparray_sz(set->regexes);
  for (int i = 0; i < n; ++i) QLTP_regex_free(static_cast<QLTP_regex*>(QLTP_voidparray_idx(set->regexes, i)));
  QLTP_voidparray_delete(set->regexes);
  n = QLTP_voidparray_sz(set->images);
  for (int i = 0; i < n; ++i) QLTP_fixedbuf_delete(static_cast<QLTP_fixedbuf*>(QLTP_voidparray_idx(set->images, i)));
  QLTP_voidparray_delete(set->images);
  QLTP_hashstrarray_delete(set->lookups);
  QLTP_strarray_delete(set->default_tables);
  QLTP_strarray_delete(set->numeric_tables);
  QLTP_intarray_delete(set->numeric_digits);
  if (set->reader) {
    QLTP_tpxml_delete(set->reader->scanner);
    QLTP_nrule_delete(set->reader->current);
    delete set->reader;
  }
  n = QLTP_voidparray_sz(set->orderings);
  for (int i = 0; i < n; ++i) QLTP_strarray_delete(static_cast<strarray*>(QLTP_voidparray_idx(set->orderings, i)));
  QLTP_voidparray_delete(set->orderings);
  QLTP_dict_delete(set->ordering_names);
  n = QLTP_voidparray_sz(set->groups);
  for (int i = 0; i < n; ++i) delete_group(static_cast<voidparray*>(QLTP_voidparray_idx(set->groups, i)));
  QLTP_voidparray_delete(set->groups);
  QLTP_dict_delete(set->group_names);
  n = QLTP_voidparray_sz(set->hrules);
  for (int i = 0; i < n; ++i) QLTP_strarray_delete(static_cast<strarray*>(QLTP_voidparray_idx(set->hrules, i)));
  QLTP_voidparray_delete(set->hrules);
  QLTP_dict_delete(set->hrule_names);
  QLTP_free(set);
}

nrule* QLTP_nrule_new() { return static_cast<nrule*>(QLTP_calloc(sizeof(nrule), 1)); }

void QLTP_nrule_delete(nrule* rule) {
  if (!rule) return;
  QLTP_free(rule->name);
  QLTP_free(rule->type);
  QLTP_free(rule->match);
  QLTP_free(rule->replace);
  QLTP_free(rule);
}

// ---------------------------------------------------------------------------
// Rule files

nrules* QLTP_deserialise_nrules(logger* log, const char* text) {
  nrules* set = QLTP_nrules_new();
  if (!set) return nullptr;
  set->log = log;
  set->reader = new (std::nothrow) nrules_reader;
  if (set->reader) set->reader->scanner = QLTP_tpxml_new();
  if (!set->reader || !set->reader->scanner || !QLTP_tpxml_setup_regex(set->reader->scanner)) {
    QLTP_nrules_delete(set);
    return nullptr;
  }
  QLTP_tpxml* x = set->reader->scanner;
  QLTP_tpxml_set_userdata(x, set);
  QLTP_tpxml_set_element_handler(x, on_start, on_end);
  QLTP_tpxml_set_character_data_handler(x, on_text);
  QLTP_tpxml_set_cdata_section_handler(x, on_cdata_start, on_cdata_end);
  if (text) QLTP_tpxml_parse(x, text, static_cast<int>(std::strlen(text)), 1);
  QLTP_tpxml_delete(x);
  QLTP_nrule_delete(set->reader->current);  // a rule left open at the end
  delete set->reader;
  set->reader = nullptr;
  check_components(set);
  std::printf("no rgx %d\n", set->nrgx);
  std::printf("no lkp %d\n", set->nlkp);
  std::printf("no rules %d\n", set->nrules);
  return set;
}

nrules* QLTP_nrules_readxml(const char* path) {
  std::string text;
  FILE* f = path ? std::fopen(path, "rb") : nullptr;
  if (!f) {
    logger* log = QLTP_logger_new("NRULES", -1, nullptr);
    QLTP_logger_set_error(log, QLTP_ERROR_MISSING_FILE, "xml input does not exist", path ? path : "");
    QLTP_logger_delete(log);
    return nullptr;
  }
  std::fclose(f);
  if (!QLTP_read_text_file(path, text)) return nullptr;
  logger* log = QLTP_logger_new("NRULES", -1, nullptr);
  nrules* set = QLTP_deserialise_nrules(log, text.c_str());
  if (set) set->log = nullptr;
  QLTP_logger_delete(log);
  return set;
}

// ---------------------------------------------------------------------------
// Serial form

int32_t QLTP_nrule_write_sz(const nrule* rule) { return rule ? rule_size(rule) : 0; }

char* QLTP_nrule_write(const nrule* rule, char* dst, int swap) {
  if (!rule || !dst) return dst;
  dst = QLTP_char255_write(rule->name, -1, dst);
  dst = QLTP_char255_write(rule->type, -1, dst);
  dst = QLTP_int_write(&rule->matchlen, dst, 1, swap);
  if (rule->matchlen > 0) dst = static_cast<char*>(QLTP_memcpy(dst, rule->match, rule->matchlen)) + rule->matchlen;
  dst = QLTP_int_write(&rule->replacelen, dst, 1, swap);
  if (rule->replacelen > 0)
    dst = static_cast<char*>(QLTP_memcpy(dst, rule->replace, rule->replacelen)) + rule->replacelen;
  return dst;
}

int32_t QLTP_nrule_read(FILE* f, nrule** out, int swap) {
  if (!out) return 0;
  *out = nullptr;
  char buf[256];
  int nlen = 0, tlen = 0;
  nrule* rule = QLTP_nrule_new();
  if (!rule) return 0;
  auto fail = [&] {
    QLTP_nrule_delete(rule);
    return 0;
  };
  int got = QLTP_char255_read(f, buf, &nlen);
  if (got != nlen + 1 || !(rule->name = QLTP_strndup(buf, nlen))) return fail();
  int got2 = QLTP_char255_read(f, buf, &tlen);
  if (got2 != tlen + 1 || !(rule->type = QLTP_strndup(buf, tlen))) return fail();
  if (QLTP_int_read(f, &rule->matchlen, 1, swap) != 1 || !read_bytes(f, rule->matchlen, &rule->match) ||
      !walk_buffer(rule->match, rule->matchlen, [](int, const char*, const char*) {}))
    return fail();
  if (QLTP_int_read(f, &rule->replacelen, 1, swap) != 1 || !read_bytes(f, rule->replacelen, &rule->replace) ||
      !walk_buffer(rule->replace, rule->replacelen, [](int, const char*, const char*) {}))
    return fail();
  *out = rule;
  return got + got2 + 8 + rule->matchlen + rule->replacelen;
}

nrules* QLTP_nrules_read(FILE* f, int swap) {
  int32_t head[8];
  if (!f || QLTP_int_read(f, head, 8, swap) != 8) return nullptr;
  for (int i = 0; i < 6; ++i)
    if (head[i] < 0) return nullptr;
  const int32_t nrgx = head[0], nlkp = head[1], nord = head[2], ngroups = head[3], nhr = head[4];
  if (head[5] > kMaxComponents || head[6] > 0 || head[6] < -kMaxSlot || head[7] < 0 || head[7] > kMaxSlot)
    return nullptr;
  // Every counted item takes at least four bytes.
  if (!QLTP_file_may_hold(f, 4ull * (static_cast<uint64_t>(nrgx) + nord + ngroups + nhr))) return nullptr;
  nrules* set = QLTP_nrules_newcustom(nrgx, nlkp, nord, ngroups, nhr, head[5], head[6], head[7], 0);
  if (!set) return nullptr;
  set->images = QLTP_voidparray_newcustom(nrgx, 8, 64);
  auto fail = [&]() -> nrules* {
    QLTP_nrules_delete(set);
    return nullptr;
  };
  if (!read_dict(f, &set->regex_names, swap, nrgx)) return fail();
  for (int32_t i = 0; i < nrgx; ++i) {
    int32_t size = 0;
    char* image = nullptr;
    if (QLTP_int_read(f, &size, 1, swap) != 1 || !read_bytes(f, size, &image)) return fail();
    char err[128] = "";
    QLTP_regex* re = size > 0 ? QLTP_regex_from_image(image, size, err, sizeof err) : nullptr;
    QLTP_fixedbuf* kept = QLTP_fixedbuf_frombytes(image, static_cast<uint32_t>(size));
    QLTP_free(image);
    if (!re)
      std::printf("ERROR RGX IMAGE(%s) %s\n", QLTP_dict_lookup_index(set->regex_names, i + 1), err);
    if (!kept || !QLTP_voidparray_add(set->images, kept)) {
      QLTP_fixedbuf_delete(kept);
      QLTP_regex_free(re);
      return fail();
    }
    if (!QLTP_voidparray_add(set->regexes, re)) {
      QLTP_regex_free(re);
      return fail();
    }
  }
  if (!QLTP_hashstrarray_read(f, &set->lookups, swap) || !set->lookups) return fail();
  for (int i = 0, n = QLTP_hashstrarray_sz(set->lookups); i < n; ++i) {
    std::string_view key = QLTP_hashstrarray_key(set->lookups, i);
    // Table names may hold ':' themselves: the table is the longest prefix
    // before a ':' that names one.
    for (size_t colon = key.rfind(':'); colon != std::string_view::npos && colon > 0;
         colon = key.rfind(':', colon - 1)) {
      const char* v = QLTP_hashstrarray_lookup(set->lookups, key.data(), static_cast<int>(colon));
      if (v && std::strcmp(v, kTable) == 0) {
        note_key(set, key.substr(0, colon), key.substr(colon + 1));
        break;
      }
    }
  }
  if (!read_dict(f, &set->ordering_names, swap, nord)) return fail();
  for (int32_t i = 0; i < nord; ++i) {
    strarray* list = nullptr;
    if (!QLTP_strarray_read(f, &list, swap) || !list) return fail();
    if (!QLTP_voidparray_add(set->orderings, list)) {
      QLTP_strarray_delete(list);
      return fail();
    }
  }
  if (!read_dict(f, &set->group_names, swap, ngroups)) return fail();
  for (int32_t g = 0; g < ngroups; ++g) {
    int32_t count = 0;
    // A rule takes at least two length bytes and two lengths.
    if (QLTP_int_read(f, &count, 1, swap) != 1 || count < 0 ||
        !QLTP_file_may_hold(f, 10ull * static_cast<uint64_t>(count)))
      return fail();
    voidparray* group = QLTP_voidparray_newcustom(count, 8, 64);
    if (!group || !QLTP_voidparray_add(set->groups, group)) {
      QLTP_voidparray_delete(group);
      return fail();
    }
    for (int32_t i = 0; i < count; ++i) {
      nrule* rule = nullptr;
      if (!QLTP_nrule_read(f, &rule, swap)) return fail();
      if (!QLTP_voidparray_add(group, rule)) {
        QLTP_nrule_delete(rule);
        return fail();
      }
    }
  }
  if (!read_dict(f, &set->hrule_names, swap, nhr)) return fail();
  for (int32_t i = 0; i < nhr; ++i) {
    strarray* params = nullptr;
    if (!QLTP_strarray_read(f, &params, swap) || !params) return fail();
    if (!QLTP_voidparray_add(set->hrules, params) || QLTP_strarray_sz(params) % 2 != 0) {
      if (QLTP_voidparray_sz(set->hrules) != i + 1) QLTP_strarray_delete(params);
      return fail();
    }
  }
  return set;
}

void* QLTP_tpobj_nrules_load(tpdb* db, int32_t offset) {
  char* bytes = nullptr;
  FILE* f = QLTP_tpdb_object_stream(db, offset, &bytes);
  nrules* set = f ? QLTP_nrules_read(f, db->swap) : nullptr;
  if (f) std::fclose(f);
  QLTP_free(bytes);
  if (!set && db) QLTP_logger_set_error(db->log, QLTP_ERROR_CORRUPT_FILE, "Corrupted nrules object", "");
  return set;
}

int QLTP_tpobj_nrules_pstload(tpdb*, void*) { return 1; }

void QLTP_tpobj_nrules_delete(void* set) { QLTP_nrules_delete(static_cast<nrules*>(set)); }

int32_t QLTP_tpobj_nrules_write(void* object, char* dst, int swap) {
  auto* set = static_cast<nrules*>(object);
  if (!set) return 0;
  int64_t size = serial_size(set);
  if (size == 0) {
    warn(set, QLTP_ERROR_CRITICAL_WRITE, "Rule set cannot be stored whole", "");
    return 0;
  }
  if (!dst) return static_cast<int32_t>(size);
  int32_t head[8] = {QLTP_dict_size(set->regex_names),    set->nlkp,
                     QLTP_dict_size(set->ordering_names), QLTP_dict_size(set->group_names),
                     QLTP_dict_size(set->hrule_names),    set->maxcomp,
                     set->minpos,                         set->maxpos};
  char* p = QLTP_int_write(head, dst, 8, swap);
  p = QLTP_dict_write(set->regex_names, p, swap);
  int n = QLTP_voidparray_sz(set->regexes);
  for (int i = 0; i < n; ++i) p = write_image(set, i, p, swap);
  p = QLTP_hashstrarray_write(set->lookups, p, swap);
  p = QLTP_dict_write(set->ordering_names, p, swap);
  n = QLTP_voidparray_sz(set->orderings);
  for (int i = 0; i < n; ++i) p = QLTP_strarray_write(static_cast<const strarray*>(QLTP_voidparray_idx(set->orderings, i)), p, swap);
  p = QLTP_dict_write(set->group_names, p, swap);
  n = QLTP_voidparray_sz(set->groups);
  for (int g = 0; g < n; ++g) {
    auto* group = static_cast<const voidparray*>(QLTP_voidparray_idx(set->groups, g));
    int32_t m = QLTP_voidparray_sz(group);
    p = QLTP_int_write(&m, p, 1, swap);
    for (int i = 0; i < m; ++i) p = QLTP_nrule_write(static_cast<const nrule*>(QLTP_voidparray_idx(group, i)), p, swap);
  }
  p = QLTP_dict_write(set->hrule_names, p, swap);
  n = QLTP_voidparray_sz(set->hrules);
  for (int i = 0; i < n; ++i) p = QLTP_strarray_write(static_cast<const strarray*>(QLTP_voidparray_idx(set->hrules, i)), p, swap);
  return 1;
}

nrules* QLTPPy_nrules_load(const char* path) { return QLTP_read_path(path, QLTP_nrules_read); }

int32_t QLTPPy_nrules_write(nrules* set, QLTP_fixedbuf* buffer) {
  int32_t size = QLTP_tpobj_nrules_write(set, nullptr, 0);
  if (!buffer) return size;
  if (size == 0 || !buffer->data || buffer->size < static_cast<uint32_t>(size)) return -1;
  return QLTP_tpobj_nrules_write(set, buffer->data, 0) == 1 ? 0 : -1;
}

namespace {
const int registered = QLTP_tpobj_register("TPOBJ_NRULES", {.load = QLTP_tpobj_nrules_load,
                                                             .pstload = QLTP_tpobj_nrules_pstload,
                                                             .del = QLTP_tpobj_nrules_delete,
                                                             .write = QLTP_tpobj_nrules_write});
}  // namespace

// ---------------------------------------------------------------------------
// Queries

QLTP_regex* QLTP_nrules_getrgx(const nrules* set, const char* name, int len) {
  if (!set) return nullptr;
  int id = dict_id(set->regex_names, view(name, len));
  return id > 0 ? static_cast<QLTP_regex*>(QLTP_voidparray_idx(set->regexes, id - 1)) : nullptr;
}

int QLTP_nrules_rgx(const nrules* set, const char* name, int namelen, const char* text, int textlen,
                    int* ovector) {
  const QLTP_regex* re = QLTP_nrules_getrgx(set, name, namelen);
  if (!re || !text) return 0;
  int local[QLTP_REGEX_OVECSIZE];
  // Token text comes from callers and byte cuts: keep the UTF-8 check.
  int rc = QLTP_regex_exec(re, text, textlen, 0, ovector ? ovector : local);
  return rc > 0 ? rc : 0;
}

namespace {
// Few tables have a default entry: a short list saves the second lookup.
bool has_default(const nrules* set, std::string_view table) {
  if (!set->default_tables) return true;
  for (int i = 0, n = QLTP_strarray_sz(set->default_tables); i < n; ++i)
    if (table == QLTP_strarray_idx(set->default_tables, i)) return true;
  return false;
}
}  // namespace

const char* QLTP_nrules_lkp(const nrules* set, const char* table, int tlen, const char* key, int klen) {
  if (!set || !table || !key) return QLTP_EMPTY_STRING;
  std::string_view t = view(table, tlen), k = view(key, klen);
  if (t.size() + k.size() > kMaxLookupKey) return QLTP_EMPTY_STRING;
  char buf[kMaxLookupKey + 3];
  std::memcpy(buf, t.data(), t.size());
  buf[t.size()] = ':';
  std::memcpy(buf + t.size() + 1, k.data(), k.size());
  int len = static_cast<int>(t.size() + 1 + k.size());
  buf[len] = '\0';
  if (const char* v = QLTP_hashstrarray_lookup(set->lookups, buf, len)) return v;
  if (!has_default(set, t)) return QLTP_EMPTY_STRING;
  buf[t.size() + 1] = ' ';
  if (const char* v = QLTP_hashstrarray_lookup(set->lookups, buf, static_cast<int>(t.size()) + 2)) return v;
  return QLTP_EMPTY_STRING;
}

int QLTP_nrules_numeric_digits(const nrules* set, const char* table, int len) {
  if (!set || !table) return 0;
  std::string_view t = view(table, len);
  // A default answers for every key, however long.
  if (has_default(set, t) && *QLTP_nrules_lkp(set, table, len, " ", 1)) return INT32_MAX;
  int n = QLTP_strarray_sz(set->numeric_tables);
  for (int i = 0; i < n; ++i)
    if (t == QLTP_strarray_idx(set->numeric_tables, i)) return QLTP_intarray_idx(set->numeric_digits, i);
  return 0;
}

void QLTP_nrules_update_buffersz(const nrules* set, int* maxcomp, int* minpos, int* maxpos) {
  if (!set) return;
  if (maxcomp && set->maxcomp > *maxcomp) *maxcomp = set->maxcomp;
  if (minpos && set->minpos < *minpos) *minpos = set->minpos;
  if (maxpos && set->maxpos > *maxpos) *maxpos = set->maxpos;
}

int QLTP_nrules_apply_rgx(const QLTP_regex* re, int* ovector, dystrarray* output, const char* text) {
  if (!re || !text) return 0;
  int local[QLTP_REGEX_OVECSIZE];
  int* ov = ovector ? ovector : local;
  // Token text comes from callers and byte cuts: keep the UTF-8 check.
  int n = QLTP_regex_exec(re, text, -1, 0, ov);
  if (n <= 0) return 0;
  if (!output) return n;
  if (n == 1) {
    QLTP_dystrarray_add(output, text + ov[0], ov[1] - ov[0]);
  } else {
    for (int i = 1; i < n; ++i) {
      if (ov[2 * i] < 0)
        QLTP_dystrarray_add(output, "", 0);
      else
        QLTP_dystrarray_add(output, text + ov[2 * i], ov[2 * i + 1] - ov[2 * i]);
    }
  }
  return n;
}

int QLTP_nrules_apply_component(nrules* set, rinterp* interp, const char* spec, int* ovector, dystrarray* output,
                                dystrarray* attributes, const char* text) {
  if (!spec || std::strlen(spec) < 3 || !text) return 0;
  const char* name = spec + 2;
  switch (spec[0]) {
    case 'R': {
      const QLTP_regex* re = QLTP_nrules_getrgx(set, name, -1);
      if (!re) return 0;
      return output ? QLTP_nrules_apply_rgx(re, ovector, output, text) : 1;
    }
    case 'L': {
      if (!set || !QLTP_hashstrarray_lookup(set->lookups, name, -1)) return 0;
      if (!output) return 1;
      const char* value = QLTP_nrules_lkp(set, name, -1, text, -1);
      if (!*value) {
        QLTP_dystrarray_add(output, "", 0);
        return 0;
      }
      QLTP_dystrarray_add_delim(output, value, -1, ' ');
      return 1;
    }
    case 'S': {
      rinterp_context* ctx = interp ? interp->ctx : nullptr;
      if (!ctx || !ctx->lexicons || !ctx->lexicon_test || !ctx->lexlookup || !*text) return 0;
      if (!ctx->lexicon_test(ctx->lexicons, ctx->lexlookup, name, text)) return 0;
      if (output) QLTP_dystrarray_add(output, text, -1);
      return 1;
    }
    case 'H': {
      int i = QLTP_hrule_find(name, -1);
      if (i < 0 || !QLTP_HRULES[i]) return 0;
      str2str* params = nullptr;
      if (set) {
        int id = dict_id(set->hrule_names, name);
        if (id > 0) params = static_cast<str2str*>(QLTP_voidparray_idx(set->hrules, id - 1));
      }
      if (!output) return 1;
      rinterp local{};
      if (!interp) {
        local.rules = set;
        local.log = set ? set->log : nullptr;
        interp = &local;
      } else if (!interp->rules) {
        interp->rules = set;
      }
      return QLTP_HRULES[i](interp, text, output, attributes, params);
    }
    default:
      return 1;
  }
}

// ---------------------------------------------------------------------------
// Renderings

namespace {
// Values are read as written, without references: one that holds a single
// quote is written in double quotes.
void append_quoted(dystr* out, const char* value) {
  const char* q = std::strchr(value, '\'') && !std::strchr(value, '"') ? "\"" : "'";
  QLTP_dystr_append4(out, q, 1, value, -1, q, 1, "", 0);
}

bool print_buffer(const char* buf, int32_t len, dystr* out) {
  int last = 0;
  return walk_buffer(buf, len, [&](int comp, const char* name, const char* value) {
    if (comp != last) QLTP_dystr_append(out, "/>\n\t\t<com", -1);
    last = comp;
    QLTP_dystr_append4(out, " ", 1, name, -1, "=", 1, "", 0);
    append_quoted(out, value);
  });
}
}  // namespace

int QLTP_nrule_print(const nrule* rule, dystr* out) {
  if (!rule || !out) return 0;
  QLTP_dystr_append(out, "<rule name=", -1);
  append_quoted(out, rule->name);
  QLTP_dystr_append(out, " type=", -1);
  append_quoted(out, rule->type);
  if (rule->matchlen > 0) {
    QLTP_dystr_append(out, ">\n\t<match>\n\t\t<com", -1);
    print_buffer(rule->match, rule->matchlen, out);
    QLTP_dystr_append(out, "/>\n\t</match>\n", -1);
  } else {
    QLTP_dystr_append(out, ">\n", -1);
  }
  if (rule->replacelen > 0) {
    QLTP_dystr_append(out, "\t<replace>\n\t\t<com", -1);
    print_buffer(rule->replace, rule->replacelen, out);
    QLTP_dystr_append(out, "/>\n\t</replace>\n", -1);
  }
  // Every rule is closed, so printed rules read back whole.
  QLTP_dystr_append(out, "</rule>\n", -1);
  return 1;
}

int QLTP_nrules_print(const nrules* set, dystr* out) {
  if (!set || !out) return 0;
  int n = QLTP_voidparray_sz(set->groups);
  for (int g = 0; g < n; ++g) {
    auto* group = static_cast<const voidparray*>(QLTP_voidparray_idx(set->groups, g));
    int m = QLTP_voidparray_sz(group);
    for (int i = 0; i < m; ++i) QLTP_nrule_print(static_cast<const nrule*>(QLTP_voidparray_idx(group, i)), out);
  }
  return 1;
}

int QLTP_nrules_extract_strings() { return 0; }

int QLTP_nrules_tpxml_regex(const nrules* set, QLTP_regex** table) {
  static const char* const kNames[QLTP_XMLTOKEN_SLOTS] = {
      "qltp_xmlcommentstart", "qltp_xmlcommentend", "qltp_xmlcdatastart", "qltp_xmlcdataend",
      "qltp_xmlhead",         "qltp_xmldoctype",    "qltp_xmlempty",      "qltp_xmlclose",
      "qltp_xmlopen",         nullptr,              nullptr,              "qltp_ws",
      "qltp_text",            "qltp_xmlchar",       nullptr,              nullptr,
      nullptr};
  if (!set || !table) return 0;
  int filled = 0;
  for (int i = 0; i < QLTP_XMLTOKEN_SLOTS; ++i) {
    table[i] = kNames[i] ? QLTP_nrules_getrgx(set, kNames[i], -1) : nullptr;
    filled += table[i] != nullptr;
  }
  return filled == QLTP_XMLTOKEN_SLOTS;
}
