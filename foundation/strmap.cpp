#include "foundation/strmap.h"

#include <climits>
#include <cstring>
#include <string>

#include "foundation/dict.h"
#include "foundation/serial.h"
#include "foundation/strutil.h"

struct hashstrarray {
  dict* keys;
  strarray* values;
  int read_only;  // read from a file: never changed
};

namespace {

int Length(const char* s, int len) {
  if (s == nullptr) return 0;
  if (len >= 0) return len;
  size_t n = std::strlen(s);
  return n > INT_MAX ? INT_MAX : static_cast<int>(n);
}

// Index of the value of the last pair whose key is exactly these bytes; -1.
int FindLast(const str2str* m, const char* key, int len) {
  int n = QLTP_strarray_sz(m);
  if (m == nullptr || key == nullptr || n < 2) return -1;
  size_t klen = static_cast<size_t>(Length(key, len));
  for (int k = n / 2 - 1; k >= 0; --k) {
    const char* stored = QLTP_strarray_idx(m, 2 * k);
    if (stored && std::strlen(stored) == klen && std::memcmp(stored, key, klen) == 0) return 2 * k + 1;
  }
  return -1;
}

}  // namespace

// ---- str2str ---------------------------------------------------------------

int QLTP_str2str_add(str2str* m, const char* key, int klen, const char* value, int vlen) {
  if (m == nullptr || key == nullptr || value == nullptr) return 0;
  if (!QLTP_strarray_add(m, key, klen)) return 0;
  if (!QLTP_strarray_add(m, value, vlen)) {
    QLTP_strarray_remove_item(m, QLTP_strarray_sz(m) - 1);  // keep the pairs whole
    return 0;
  }
  return 1;
}

const char* QLTP_str2str_lookup(const str2str* m, const char* key, int len) {
  int i = FindLast(m, key, len);
  return i < 0 ? nullptr : QLTP_strarray_idx(m, i);
}

int QLTP_str2str_replace_val(str2str* m, const char* key, int klen, const char* value, int vlen) {
  int i = FindLast(m, key, klen);
  if (i < 0 || value == nullptr) return 0;
  return QLTP_strarray_replace(m, i, value, Length(value, vlen));
}

const char* QLTP_str2str_key(const str2str* m, int k) {
  int n = QLTP_strarray_sz(m);
  if (m == nullptr || n % 2 != 0 || k < 0 || k >= n / 2) return nullptr;
  return QLTP_strarray_idx(m, 2 * k);
}

const char* QLTP_str2str_val(const str2str* m, int k) {
  int n = QLTP_strarray_sz(m);
  if (m == nullptr || n % 2 != 0 || k < 0 || k >= n / 2) return nullptr;
  return QLTP_strarray_idx(m, 2 * k + 1);
}

int QLTP_str2str_nrkeys(const str2str* m) { return QLTP_strarray_sz(m) / 2; }

// ---- hashstrarray ----------------------------------------------------------

hashstrarray* QLTP_hashstrarray_new(int hint) {
  if (hint < 0) hint = 0;
  auto* m = static_cast<hashstrarray*>(QLTP_malloc(sizeof(hashstrarray)));
  if (m == nullptr) return nullptr;
  m->keys = QLTP_dict_new_empty(hint + 1);
  m->values = QLTP_strarray_newcustom(hint, 1, 256);
  if (m->keys == nullptr || m->values == nullptr) {
    QLTP_hashstrarray_delete(m);
    return nullptr;
  }
  return m;
}

void QLTP_hashstrarray_delete(hashstrarray* m) {
  if (m == nullptr) return;
  QLTP_dict_delete(m->keys);
  QLTP_strarray_delete(m->values);
  QLTP_free(m);
}

int QLTP_hashstrarray_add(hashstrarray* m, const char* key, int klen, const char* value, int vlen) {
  if (m == nullptr || m->read_only || key == nullptr || value == nullptr) return 0;
  klen = Length(key, klen);
  vlen = Length(value, vlen);
  int id = QLTP_dict_lookup_word(m->keys, key, klen);
  if (id > 0) {
    QLTP_strarray_replace(m->values, id - 1, value, vlen);
    return 0;
  }
  if (klen == 0 || !QLTP_strarray_add(m->values, value, vlen)) return 0;
  // Key ids and value indexes must stay in step.
  if (QLTP_dict_add_entry(m->keys, key, klen) != QLTP_strarray_sz(m->values)) {
    QLTP_strarray_remove_item(m->values, QLTP_strarray_sz(m->values) - 1);
    return 0;
  }
  return 1;
}

const char* QLTP_hashstrarray_lookup(const hashstrarray* m, const char* key, int len) {
  if (m == nullptr || key == nullptr) return nullptr;
  int id = QLTP_dict_lookup_word(m->keys, key, len);
  return id > 0 ? QLTP_strarray_idx(m->values, id - 1) : nullptr;
}

int QLTP_hashstrarray_sz(const hashstrarray* m) { return m ? QLTP_strarray_sz(m->values) : 0; }

const char* QLTP_hashstrarray_key(const hashstrarray* m, int i) {
  if (i < 0 || i >= QLTP_hashstrarray_sz(m) || i >= QLTP_dict_size(m->keys)) return nullptr;
  return QLTP_dict_lookup_index(m->keys, i + 1);
}

const char* QLTP_hashstrarray_entry(const hashstrarray* m, int i) {
  return m ? QLTP_strarray_idx(m->values, i) : nullptr;
}

uint32_t QLTP_hashstrarray_write_sz(const hashstrarray* m) {
  if (m == nullptr) return 0;
  int dict_sz = QLTP_dict_write_sz(m->keys);
  if (dict_sz <= 0) return 0;
  return static_cast<uint32_t>(dict_sz) + QLTP_strarray_write_sz(m->values);
}

char* QLTP_hashstrarray_write(const hashstrarray* m, char* buf, int swap) {
  if (m == nullptr || buf == nullptr) return nullptr;
  char* p = QLTP_dict_write(m->keys, buf, swap);
  return p ? QLTP_strarray_write(m->values, p, swap) : nullptr;
}

int QLTP_hashstrarray_read(FILE* file, hashstrarray** out, int swap) {
  if (out == nullptr) return 0;
  *out = nullptr;
  if (file == nullptr) return 0;
  dict* keys = nullptr;
  strarray* values = nullptr;
  int got_keys = QLTP_dict_read(file, &keys, swap);
  int got_values = keys ? QLTP_strarray_read(file, &values, swap) : 0;
  // Both parts must be present and hold one value per key.
  if (keys == nullptr || values == nullptr || QLTP_dict_size(keys) != QLTP_strarray_sz(values)) {
    QLTP_dict_delete(keys);
    QLTP_strarray_delete(values);
    return 0;
  }
  auto* m = static_cast<hashstrarray*>(QLTP_malloc(sizeof(hashstrarray)));
  if (m == nullptr) {
    QLTP_dict_delete(keys);
    QLTP_strarray_delete(values);
    return 0;
  }
  m->keys = keys;
  m->values = values;
  m->read_only = 1;
  *out = m;
  return got_keys + got_values;
}

hashstrarray* QLTPPy_hashstrarray_load(const char* path) {
  FILE* file = path ? std::fopen(path, "rb") : nullptr;
  if (file == nullptr) return nullptr;
  hashstrarray* m = nullptr;
  QLTP_hashstrarray_read(file, &m, 0);
  std::fclose(file);
  return m;
}

int QLTPPy_hashstrarray_write(const hashstrarray* m, QLTP_fixedbuf* buf) {
  uint32_t size = QLTP_hashstrarray_write_sz(m);
  if (buf == nullptr) return static_cast<int>(size);
  if (size == 0 || buf->data == nullptr || buf->size < size) return 0;
  return QLTP_hashstrarray_write(m, buf->data, 0) ? 1 : 0;
}

hashstrarray* QLTP_deserialise_hashstrarray(const char* text) {
  if (text == nullptr) return nullptr;
  size_t length = std::strlen(text);
  if (length > INT_MAX) return nullptr;
  strarray* lines = QLTP_strarray_split(text, static_cast<int>(length), "\n", 1);
  if (lines == nullptr) return nullptr;
  int count = QLTP_strarray_sz(lines);
  hashstrarray* m = QLTP_hashstrarray_new(count);
  for (int i = 0; m != nullptr && i < count; ++i) {
    const char* line = QLTP_strarray_idx(lines, i);
    int len = Length(line, -1);
    if (len < 2) continue;
    // A comment is a line whose first byte is '#'; the splitter leaves the
    // line feed of an empty line at the start of the next line, which does
    // not hide the comment.
    int first = line[0] == '\n' ? 1 : 0;
    if (line[first] == '#') continue;
    int klen = 0, vlen = 0;
    const char* key = QLTP_strfield(line, len, 0, &klen);
    const char* value = QLTP_strfield(line, len, 1, &vlen);
    if (key == nullptr || value == nullptr || klen < 1 || vlen < 1) continue;
    QLTP_hashstrarray_add(m, key, klen, value, vlen);
  }
  QLTP_strarray_delete(lines);
  return m;
}

hashstrarray* QLTP_hashstrarray_readtxt(const char* path) {
  std::string text;
  if (!QLTP_read_text_file(path, text)) return nullptr;
  return QLTP_deserialise_hashstrarray(text.c_str());
}
