#include "foundation/complkp.h"

#include <cstring>

#include "foundation/dict.h"
#include "foundation/serial.h"
#include "foundation/strutil.h"

namespace {

// Header fields before the prefix dictionary, and the fixed tail: the four
// symbol tables plus 8 zero bytes.
constexpr int32_t kHeaderBytes = 36;
constexpr int32_t kTablesBytes = 4 * 256;
constexpr int32_t kTailBytes = 8;
constexpr uint32_t kMaxNodes = 65536;
// An acyclic pair table over 256 symbols nests at most 256 deep.
constexpr int kMaxDepth = 257;

int32_t prefix_length(const complkp* t) { return t->flags & 0xff; }

bool hashed(const complkp* t) { return (t->flags & QLTP_COMPLKP_HASHED) != 0; }

void free_parts(complkp* t) {
  QLTP_free(t->data);
  QLTP_free(t->offsets);
  QLTP_free(t->key_tree);
  QLTP_free(t->value_tree);
  QLTP_dict_delete(t->prefixes);
  t->data = nullptr;
  t->offsets = nullptr;
  t->key_tree = nullptr;
  t->value_tree = nullptr;
  t->prefixes = nullptr;
}

// Bits of one entry, read from the most significant bit of each byte, never
// past the entry's end.
struct BitReader {
  const unsigned char* p;
  const unsigned char* end;
  int bit = 7;

  int next() {
    if (p >= end) return -1;
    int b = (*p >> bit) & 1;
    if (bit == 0) {
      bit = 7;
      ++p;
    } else {
      --bit;
    }
    return b;
  }
};

// Symbols of one side (key or value): its code tree and pair tables.
struct Side {
  const complkp_node* tree;
  uint32_t nodes;
  int32_t terminals;
  const unsigned char* left;
  const unsigned char* right;
};

// Next symbol from the bits, or -1 when the bits end or the tree is damaged.
int next_symbol(const Side& s, BitReader& bits) {
  if (s.nodes == 0) return -1;
  uint32_t node = 0;
  // A well-formed tree reaches a leaf within `nodes` steps.
  for (uint32_t steps = 0; steps <= s.nodes; ++steps) {
    const complkp_node& n = s.tree[node];
    if (n.child1 == 0) return static_cast<int>(n.leaf & 0xff);
    int b = bits.next();
    if (b < 0) return -1;
    node = b ? n.child1 : n.child0;
    if (node >= s.nodes) return -1;
  }
  return -1;
}

// Expands one symbol into out[*at..limit): gives the last character written,
// or -1 when the characters would pass the limit or the pair table is cyclic.
int expand(const Side& s, int symbol, char* out, int32_t* at, int32_t limit) {
  unsigned char stack[kMaxDepth];
  int depth = 0;
  int last = -1;
  int sym = symbol;
  for (;;) {
    while (sym >= s.terminals) {
      if (depth == kMaxDepth) return -1;
      stack[depth++] = static_cast<unsigned char>(sym);
      sym = s.left[sym];
    }
    if (*at >= limit) return -1;
    last = s.left[sym];
    out[(*at)++] = static_cast<char>(last);
    if (depth == 0) return last;
    sym = s.right[stack[--depth]];
  }
}

Side key_side(const complkp* t) {
  return {t->key_tree, static_cast<uint32_t>(t->key_nodes), t->key_terminals, t->key_left, t->key_right};
}

Side value_side(const complkp* t) {
  return {t->value_tree, static_cast<uint32_t>(t->value_nodes), t->value_terminals, t->value_left,
          t->value_right};
}

void clear_cursor(complkp_lkp* c) {
  if (c->bufsz > 0) c->buffer[0] = '\0';
  c->key = c->buffer;
  c->value = c->buffer;
}

// Offset just past the entry at `pos`, or -1 when the entry does not lie
// inside the data.
int32_t entry_end(const complkp* t, int32_t pos) {
  if (pos < 0 || pos >= t->size) return -1;
  int64_t end = static_cast<int64_t>(pos) + 1 + t->data[pos];
  return end > t->size ? -1 : static_cast<int32_t>(end);
}

// Decodes the entry at `pos` into the cursor and advances the position:
// the decode result, or -3 when the entry passes the end of the data.
int decode_at(const complkp* t, const char* key, int len, complkp_lkp* c) {
  int32_t pos = c->position;
  int32_t end = entry_end(t, pos);
  if (end < 0) return -3;
  int r = QLTP_complkp_decode(t, t->data + pos, key, len, c->buffer, c);
  c->position = end;
  return r;
}

int set_pair(unsigned char* left, unsigned char* right, int symbol, int l, int r) {
  if (symbol < 0 || symbol > 255) return 0;
  left[symbol] = static_cast<unsigned char>(l);
  right[symbol] = static_cast<unsigned char>(r);
  return 1;
}

int set_node(complkp_node* tree, int32_t nodes, int node, uint32_t c0, uint32_t c1, uint32_t leaf) {
  if (!tree || node < 0 || node >= nodes) return 0;
  tree[node] = {c0, c1, leaf};
  return 1;
}

// Reads n 32-bit integers; false on a short read.
bool read_ints(FILE* f, void* out, int n, int swap) { return n == 0 || QLTP_int_read(f, out, n, swap) == n; }

bool tree_ok(const complkp_node* tree, int32_t nodes) {
  for (int32_t i = 0; i < nodes; ++i)
    if (tree[i].child1 != 0 && (tree[i].child0 >= static_cast<uint32_t>(nodes) ||
                                tree[i].child1 >= static_cast<uint32_t>(nodes)))
      return false;
  return true;
}

complkp_node* read_tree(FILE* f, int32_t nodes, int swap) {
  auto* tree = static_cast<complkp_node*>(QLTP_calloc(sizeof(complkp_node), nodes > 0 ? nodes : 1));
  if (!tree) return nullptr;
  if (!read_ints(f, tree, 3 * nodes, swap) || !tree_ok(tree, nodes)) {
    QLTP_free(tree);
    return nullptr;
  }
  return tree;
}

char* write_nodes(const complkp_node* tree, int32_t nodes, char* p, int swap) {
  for (int32_t i = 0; i < nodes; ++i) p = QLTP_int_write(&tree[i], p, 3, swap);
  return p;
}

}  // namespace

// ---------------------------------------------------------------------------
// Create and free

complkp* QLTP_complkp_new() { return static_cast<complkp*>(QLTP_calloc(sizeof(complkp), 1)); }

void QLTP_complkp_delete(complkp* table) {
  if (!table) return;
  free_parts(table);
  QLTP_free(table);
}

// ---------------------------------------------------------------------------
// Construction interface

int QLTP_complkp_init(complkp* t, unsigned char* data, int32_t size, int32_t key_terminals,
                      int32_t value_terminals, int32_t key_nodes, int32_t value_nodes, int32_t max_key,
                      int32_t max_value, int32_t nindex, int copy) {
  if (!t || size < 0 || (size > 0 && !data) || key_terminals < 0 || key_terminals > 255 ||
      value_terminals < 0 || value_terminals > 255 || key_nodes < 0 ||
      static_cast<uint32_t>(key_nodes) > kMaxNodes || value_nodes < 0 ||
      static_cast<uint32_t>(value_nodes) > kMaxNodes || max_key < 0 || max_value < 0 || nindex < 0)
    return 0;
  free_parts(t);
  if (copy || !data) {
    t->data = static_cast<unsigned char*>(QLTP_malloc(size > 0 ? size : 1));
    if (t->data && size > 0) std::memcpy(t->data, data, size);
  } else {
    t->data = data;
  }
  t->key_tree = static_cast<complkp_node*>(QLTP_calloc(sizeof(complkp_node), key_nodes > 0 ? key_nodes : 1));
  t->value_tree =
      static_cast<complkp_node*>(QLTP_calloc(sizeof(complkp_node), value_nodes > 0 ? value_nodes : 1));
  t->offsets = static_cast<int32_t*>(QLTP_calloc(sizeof(int32_t), nindex > 0 ? nindex : 1));
  t->prefixes = QLTP_dict_new_empty(nindex > 0 ? nindex : 1);
  if (!t->data || !t->key_tree || !t->value_tree || !t->offsets || !t->prefixes) {
    free_parts(t);
    return 0;
  }
  t->size = size;
  t->key_terminals = key_terminals;
  t->value_terminals = value_terminals;
  t->key_nodes = key_nodes;
  t->value_nodes = value_nodes;
  t->max_key = max_key;
  t->max_value = max_value;
  t->nindex = nindex;
  t->nset = 0;
  t->flags = 0;
  return 1;
}

int QLTP_complkp_setbpdeck(complkp* t, int symbol, int left, int right) {
  return t ? set_pair(t->key_left, t->key_right, symbol, left, right) : 0;
}

int QLTP_complkp_setbpdecv(complkp* t, int symbol, int left, int right) {
  return t ? set_pair(t->value_left, t->value_right, symbol, left, right) : 0;
}

int QLTP_complkp_sethdeck(complkp* t, int node, uint32_t child0, uint32_t child1, uint32_t leaf) {
  return t ? set_node(t->key_tree, t->key_nodes, node, child0, child1, leaf) : 0;
}

int QLTP_complkp_sethdecv(complkp* t, int node, uint32_t child0, uint32_t child1, uint32_t leaf) {
  return t ? set_node(t->value_tree, t->value_nodes, node, child0, child1, leaf) : 0;
}

int QLTP_complkp_setidx(complkp* t, const char* key, int len, int32_t offset) {
  if (!t || !t->prefixes || !key || len <= 0 || t->nset >= t->nindex || offset < 0 || offset > t->size)
    return 0;
  int keylen = len;
  if (len > 256) {
    keylen = (len - 256 + 7) / 8;
    if (keylen > 4) keylen = 4;
  }
  if (!QLTP_dict_add_entry(t->prefixes, key, keylen)) return 0;
  if (len > t->flags) t->flags = len;
  t->offsets[t->nset++] = offset;
  return 1;
}

// ---------------------------------------------------------------------------
// Cursors

complkp_lkp* QLTP_complkp_lkp_new(uint32_t bufsz) {
  auto* c = static_cast<complkp_lkp*>(QLTP_calloc(sizeof(complkp_lkp), 1));
  if (!c) return nullptr;
  c->buffer = static_cast<char*>(QLTP_calloc(1, bufsz > 0 ? bufsz : 1));
  if (!c->buffer) {
    QLTP_free(c);
    return nullptr;
  }
  c->bufsz = bufsz;
  c->key = c->buffer;
  c->value = c->buffer;
  return c;
}

void QLTP_complkp_lkp_delete(complkp_lkp* c) {
  if (!c) return;
  QLTP_free(c->buffer);
  QLTP_free(c->word);
  QLTP_free(c);
}

uint32_t QLTP_complkp_bufsz(const complkp* t) {
  if (!t) return 0;
  return static_cast<uint32_t>(t->max_key) + static_cast<uint32_t>(t->max_value) + 2;
}

int QLTP_complkp_lkp_reserve(complkp_lkp* c, uint32_t bufsz) {
  if (!c) return 0;
  if (c->bufsz >= bufsz) return 1;
  auto* grown = static_cast<char*>(QLTP_calloc(1, bufsz));
  if (!grown) return 0;
  QLTP_free(c->buffer);
  c->buffer = grown;
  c->bufsz = bufsz;
  c->key = grown;
  c->value = grown;
  return 1;
}

int QLTP_complkp_lkp_setword(complkp_lkp* c, const char* word, int len) {
  if (!c) return 0;
  if (!word) word = "";
  if (len < 0) len = static_cast<int>(std::strlen(word));
  if (c->word == word) return 1;
  if (static_cast<uint32_t>(len) + 1 > c->wordsz) {
    auto* grown = static_cast<char*>(QLTP_malloc(static_cast<size_t>(len) + 1));
    if (!grown) return 0;
    QLTP_free(c->word);
    c->word = grown;
    c->wordsz = static_cast<uint32_t>(len) + 1;
  }
  std::memmove(c->word, word, len);
  c->word[len] = '\0';
  return 1;
}

// ---------------------------------------------------------------------------
// Search

int QLTP_complkp_decode(const complkp* t, const unsigned char* entry, const char* key, int len, char* buffer,
                        complkp_lkp* cursor) {
  if (!t || !entry || !buffer || !cursor || !t->data || entry < t->data || entry >= t->data + t->size)
    return -1;
  cursor->value = buffer;
  int32_t limit = static_cast<int32_t>(QLTP_complkp_bufsz(t));
  if (static_cast<uint32_t>(limit) > cursor->bufsz) limit = static_cast<int32_t>(cursor->bufsz);
  buffer[0] = '\0';
  int32_t pos = static_cast<int32_t>(entry - t->data);
  int32_t end = entry_end(t, pos);
  if (end < 0 || entry[0] < 1) return -1;
  int32_t k = entry[1];
  if (key) {
    if (len < 0) len = static_cast<int>(std::strlen(key));
    if (len != k) return 0;
  }
  BitReader bits{entry + 2, t->data + end};
  int32_t at = 0;

  // Key phase: compare each symbol's characters with the query as soon as
  // they are decoded, so that a mismatch stops the decode there.
  Side ks = key_side(t);
  if (k + 1 > limit) return -1;
  while (at < k) {
    int sym = next_symbol(ks, bits);
    if (sym < 0) return -1;
    int32_t from = at;
    if (expand(ks, sym, buffer, &at, k) < 0) return -1;
    // Symbols are short: a loop beats a call to memcmp here.
    for (int32_t i = from; key && i < at; ++i) {
      auto got = static_cast<unsigned char>(buffer[i]), want = static_cast<unsigned char>(key[i]);
      if (got != want) {
        buffer[0] = '\0';
        return got < want ? 0 : -2;
      }
    }
  }
  buffer[at++] = '\0';
  cursor->value = buffer + at;

  Side vs = value_side(t);
  for (;;) {
    int sym = next_symbol(vs, bits);
    if (sym < 0) return -1;
    int last = expand(vs, sym, buffer, &at, limit);
    if (last < 0) return -1;
    if (last == 0) return 1;
  }
}

int QLTP_complkp_lookup(const complkp* t, const char* key, int len, complkp_lkp* c) {
  if (!t || !c) return 0;
  if (!QLTP_complkp_lkp_reserve(c, QLTP_complkp_bufsz(t))) return 0;
  if (key && len < 0) len = static_cast<int>(std::strlen(key));
  bool keyed = key && len > 0;
  if (!keyed) {
    if (c->position < 0) c->position = 0;
    int r = c->position < t->size ? decode_at(t, nullptr, -1, c) : -3;
    if (r == -3) c->position = -1;
    if (r != 1) clear_cursor(c);
    return r == 1 ? 1 : 0;
  }
  if (c->position >= 0) {
    if (c->position >= t->size) {
      c->position = -1;
      clear_cursor(c);
      return 0;
    }
    int r = decode_at(t, key, len, c);
    if (r == -3) c->position = -1;
    if (r != 1) clear_cursor(c);
    return r == 1 ? 1 : 0;
  }

  // New search: only the query's bucket is scanned.
  clear_cursor(c);
  if (hashed(t) || !t->prefixes) return 0;
  int plen = prefix_length(t);
  int id = QLTP_dict_lookup_word(t->prefixes, key, len < plen ? len : plen);
  if (id <= 0 || id > t->nindex) return 0;
  int32_t end = id < t->nindex ? t->offsets[id] : t->size;
  c->position = t->offsets[id - 1];
  while (c->position < end) {
    int r = decode_at(t, key, len, c);
    if (r == 1) return 1;
    if (r == -2 || r == -3) break;
  }
  c->position = -1;
  clear_cursor(c);
  return 0;
}

// ---------------------------------------------------------------------------
// Read and write

complkp* QLTP_complkp_read_check(FILE* f, int swap, int64_t limit) {
  if (!f || (limit >= 0 && limit < kHeaderBytes)) return nullptr;
  int32_t h[9];
  if (!read_ints(f, h, 9, swap)) return nullptr;
  auto [size, tk, tv, nk, nv, max_key, max_value, flags, nindex] = h;
  if (size < 0 || (limit >= 0 && size > limit)) return nullptr;
  if (static_cast<uint32_t>(tk) >= 256 || static_cast<uint32_t>(tv) >= 256 ||
      static_cast<uint32_t>(nk) > kMaxNodes || static_cast<uint32_t>(nv) > kMaxNodes || max_key < 0 ||
      max_value < 0 || flags < 0 || nindex < 0)
    return nullptr;
  // A table with data needs both trees to decode anything.
  if (size > 0 && (nk == 0 || nv == 0)) return nullptr;
  uint64_t rest = 4ull * static_cast<uint64_t>(nindex) + kTablesBytes +
                  12ull * (static_cast<uint64_t>(nk) + static_cast<uint64_t>(nv)) + static_cast<uint64_t>(size);
  if (limit >= 0 && rest + kHeaderBytes > static_cast<uint64_t>(limit)) return nullptr;

  complkp* t = QLTP_complkp_new();
  if (!t) return nullptr;
  auto fail = [t] {
    QLTP_complkp_delete(t);
    return nullptr;
  };
  t->size = size;
  t->key_terminals = tk;
  t->value_terminals = tv;
  t->key_nodes = nk;
  t->value_nodes = nv;
  t->max_key = max_key;
  t->max_value = max_value;
  t->flags = flags;
  t->nindex = nindex;
  if (!QLTP_dict_read(f, &t->prefixes, swap) || !t->prefixes) return fail();
  if (!QLTP_file_may_hold(f, rest)) return fail();
  t->offsets = static_cast<int32_t*>(QLTP_calloc(sizeof(int32_t), nindex > 0 ? nindex : 1));
  if (!t->offsets || !read_ints(f, t->offsets, nindex, swap)) return fail();
  for (int32_t i = 0; i < nindex; ++i)
    if (t->offsets[i] < 0 || t->offsets[i] > size || (i > 0 && t->offsets[i] < t->offsets[i - 1])) return fail();
  t->nset = nindex;
  unsigned char* tables[] = {t->key_left, t->key_right, t->value_left, t->value_right};
  for (unsigned char* table : tables)
    if (QLTP_fread(table, 1, 256, f) != 256) return fail();
  if (!(t->key_tree = read_tree(f, nk, swap)) || !(t->value_tree = read_tree(f, nv, swap))) return fail();
  t->data = static_cast<unsigned char*>(QLTP_malloc(size > 0 ? size : 1));
  if (!t->data || (size > 0 && QLTP_fread(t->data, 1, size, f) != static_cast<size_t>(size))) return fail();
  return t;
}

complkp* QLTP_complkp_read(FILE* f, int swap) { return QLTP_complkp_read_check(f, swap, -1); }

complkp* QLTPPy_complkp_load(const char* path) {
  if (!path) return nullptr;
  FILE* f = std::fopen(path, "rb");
  if (!f) return nullptr;
  int64_t size = QLTP_filesize(f);
  complkp* t = size > 0 ? QLTP_complkp_read_check(f, 0, size) : nullptr;
  std::fclose(f);
  return t;
}

int32_t QLTP_tpobj_complkp_write(const complkp* t, char* buffer, int swap) {
  if (!t || !t->prefixes) return 0;
  int dict_size = QLTP_dict_write_sz(t->prefixes);
  if (dict_size <= 0) return 0;
  int64_t total = int64_t{kHeaderBytes} + dict_size + 4ll * t->nindex + kTablesBytes + kTailBytes +
                  12ll * (int64_t{t->key_nodes} + t->value_nodes) + t->size;
  if (total > INT32_MAX) return 0;
  if (!buffer) return static_cast<int32_t>(total);
  int32_t h[9] = {t->size,  t->key_terminals, t->value_terminals, t->key_nodes, t->value_nodes,
                  t->max_key, t->max_value,   t->flags,           t->nindex};
  char* p = QLTP_int_write(h, buffer, 9, swap);
  if (!(p = QLTP_dict_write(t->prefixes, p, swap))) return 0;
  p = QLTP_int_write(t->offsets, p, t->nindex, swap);
  for (const unsigned char* table : {t->key_left, t->key_right, t->value_left, t->value_right}) {
    std::memcpy(p, table, 256);
    p += 256;
  }
  p = write_nodes(t->key_tree, t->key_nodes, p, swap);
  p = write_nodes(t->value_tree, t->value_nodes, p, swap);
  if (t->size > 0) std::memcpy(p, t->data, t->size);
  std::memset(p + t->size, 0, kTailBytes);
  return 1;
}

int32_t QLTPPy_complkp_write(const complkp* t, QLTP_fixedbuf* buffer) {
  int32_t size = QLTP_tpobj_complkp_write(t, nullptr, 0);
  if (!buffer || size <= 0) return size;
  if (!buffer->data || buffer->size < static_cast<uint32_t>(size)) return -1;
  return QLTP_tpobj_complkp_write(t, buffer->data, 0) == 1 ? 0 : -1;
}

int QLTP_complkp_writetxt(const complkp* t, const char* path) {
  if (!t || !path) return 0;
  FILE* f = std::fopen(path, "wb");
  if (!f) return 0;
  complkp_lkp* c = QLTP_complkp_lkp_new(QLTP_complkp_bufsz(t));
  bool ok = c != nullptr;
  // Every entry in data order; a damaged entry is passed over, one that runs
  // past the data ends the text.
  for (int32_t pos = 0; ok && pos < t->size;) {
    c->position = pos;
    int r = decode_at(t, nullptr, -1, c);
    if (r == -3) break;
    pos = c->position;
    if (r != 1) continue;
    size_t klen = std::strlen(c->buffer);
    size_t vlen = std::strlen(c->value);
    ok = std::fwrite(c->buffer, 1, klen, f) == klen && std::fputc('\t', f) != EOF &&
         std::fwrite(c->value, 1, vlen, f) == vlen && std::fputc('\n', f) != EOF;
  }
  QLTP_complkp_lkp_delete(c);
  if (std::fclose(f) != 0) ok = false;
  return ok ? 1 : 0;
}
