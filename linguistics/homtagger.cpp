#include "linguistics/homtagger.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <string_view>

#include "foundation/logger.h"
#include "foundation/strutil.h"
#include "foundation/toxspurt.h"
#include "foundation/tpdb.h"
#include "foundation/tpdb_kinds.h"
#include "foundation/utf8.h"
#include "textproc/channel.h"

namespace {

constexpr char kTable[] = "TPOBJ_HOMTAGS:DEFAULT";
constexpr int kLexFeature = QLTP_FEAT_WORD_CONTINUES;

std::string_view text_of(const char* s) { return s ? std::string_view(s) : std::string_view(); }

// A POS without its POS set.
std::string_view bare_pos(const char* pos) {
  std::string_view p = text_of(pos);
  return p.substr(0, p.find('_'));
}

// Keeps at most 31 bytes, never cutting a character.
void set_context(char (&dst)[QLTP_HOMTAGGER_CONTEXT], std::string_view s) {
  size_t n = std::min(s.size(), sizeof dst - 1);
  while (n > 0 && n < s.size() && QLTP_u8_is_cont(static_cast<unsigned char>(s[n]))) --n;
  std::memcpy(dst, s.data(), n);
  dst[n] = '\0';
}

bool sentence_break(const toxtoken* token) {
  const char* type = QLTP_toxtoken_tagval(token, "break", "type");
  return type && (type[0] == '3' || type[0] == '4');
}

// Byte offset of character `index` in s.
size_t byte_offset(std::string_view s, int index) {
  size_t at = 0;
  for (int k = 0; k < index && at < s.size(); ++k) {
    ++at;
    while (at < s.size() && QLTP_u8_is_cont(static_cast<unsigned char>(s[at]))) ++at;
  }
  return at;
}

struct Choice {
  bool join_previous = false;
  bool join_next = false;
  std::string_view entry;
};

// Unpacks a choice; split positions that do not rise or do not lie strictly
// inside the normalised text (of `chars` characters) are left out.
Choice unpack(homtagger* st, std::string_view choice, int chars) {
  Choice s;
  st->split_count = 0;
  if (!choice.empty() && choice[0] == '+') {
    s.join_previous = true;
    choice.remove_prefix(1);
  }
  size_t end = choice.find_first_of("+,");
  s.entry = choice.substr(0, end);
  if (end == std::string_view::npos) return s;
  choice.remove_prefix(end);
  if (choice[0] == '+') {
    s.join_next = true;
    choice.remove_prefix(1);
  }
  int last = 0;
  for (int read = 0; read < QLTP_HOMTAGGER_MAX_SPLITS && !choice.empty() && choice[0] == ','; ++read) {
    choice.remove_prefix(1);
    std::string_view digits = choice.substr(0, choice.find(','));
    choice.remove_prefix(digits.size());
    if (digits.empty() || digits.size() > 9 ||
        !std::all_of(digits.begin(), digits.end(), [](char c) { return QLTP_is_digit(c); }))
      continue;
    int p = QLTP_atoi(digits.data(), static_cast<int>(digits.size()));
    if (p <= last || p >= chars) continue;
    st->splits[st->split_count++] = p;
    last = p;
  }
  return s;
}

logger* log_of(const homtagger* st) { return QLTP_tpc_get_logger(st->ch); }

// Cuts the token's normalised text at the split positions: the pieces after
// the first become tokens chained after it (and after any chain it has).
void split(homtagger* st, toxpool* pool, toxtoken* token) {
  std::string norm(QLTP_toxtoken_getnorm(token));
  size_t at[QLTP_HOMTAGGER_MAX_SPLITS];
  for (int k = 0; k < st->split_count; ++k) at[k] = byte_offset(norm, st->splits[k]);
  toxtoken* last = token;
  while (last->next) last = last->next;
  toxtoken* made = nullptr;
  for (int k = 0; k < st->split_count; ++k) {
    toxtoken* piece = QLTP_toxtoken_split(pool, last);
    if (!piece) {
      QLTP_logger_set_error(log_of(st), QLTP_MESSAGE_WARN, "No tokens available homograph split failed on",
                            norm.c_str());
      // The last piece made keeps the rest of the text.
      if (made) QLTP_toxtoken_set_norm(made, norm.data() + at[k - 1], static_cast<int>(norm.size() - at[k - 1]));
      break;
    }
    size_t end = k + 1 < st->split_count ? at[k + 1] : norm.size();
    QLTP_toxtoken_set_norm(piece, norm.data() + at[k], static_cast<int>(end - at[k]));
    last->next = piece;
    last = piece;
    made = piece;
  }
  if (!made) return;
  QLTP_toxtoken_set_norm(token, norm.data(), static_cast<int>(at[0]));
  QLTP_toxtoken_setfeat(made, kLexFeature, QLTP_toxtoken_getfeat(token, kLexFeature));
  QLTP_toxtoken_setfeat(token, kLexFeature, 0);
}

// The choice for token i, or NULL when its "[norm]" is not in the table.
const char* find_choice(const homtagger* st, const toxstream* tokens, int i) {
  const toxtoken* token = QLTP_toxtoken_cast(QLTP_voidparray_idx(tokens, i));
  std::string bracketed = "[" + std::string(QLTP_toxtoken_getnorm(token)) + "]";
  const char* plain = QLTP_hashstrarray_lookup(st->table, bracketed.data(), static_cast<int>(bracketed.size()));
  if (!plain) return nullptr;
  std::string_view next_word = "$", next_pos = "$";
  const toxtoken* next = QLTP_toxstream_next_realtk(tokens, i + 1);
  if (next && !sentence_break(token)) {
    next_word = text_of(QLTP_toxtoken_getnorm(next));
    next_pos = bare_pos(QLTP_toxtoken_getpos(next));
  }
  std::string_view norm = std::string_view(bracketed).substr(1, bracketed.size() - 2);
  const std::string keys[] = {
      bracketed + std::string(next_word),
      std::string(st->previous_word) + bracketed,
      bracketed + std::string(next_pos),
      std::string(bare_pos(st->previous_pos)) + bracketed,
      "[" + std::string(norm) + std::string(bare_pos(QLTP_toxtoken_getpos(token))) + "]",
  };
  for (const std::string& key : keys)
    if (const char* choice = QLTP_hashstrarray_lookup(st->table, key.data(), static_cast<int>(key.size())))
      return choice;
  return plain;
}

void tag_token(homtagger* st, toxpool* pool, toxstream* tokens, int i) {
  const char* choice_text = find_choice(st, tokens, i);
  if (!choice_text) return;
  toxtoken* token = QLTP_toxtoken_cast(QLTP_voidparray_idx(tokens, i));
  Choice choice = unpack(st, choice_text, QLTP_u8_strlen(QLTP_toxtoken_getnorm(token)));
  std::string entry(choice.entry);
  toxtag* lex = QLTP_toxtoken_gettag(token, "lex");
  if (!lex) {
    lex = QLTP_toxpool_tag(pool);
    if (!lex) {
      QLTP_logger_set_error(log_of(st), QLTP_MESSAGE_WARN, "No tags available homograph lexical entry not set",
                            entry.c_str());
      return;
    }
    QLTP_toxtag_init(lex, token, "lex", 3, QLTP_TAG_STARTEND);
    QLTP_toxtoken_addtag(token, lex);
  }
  if (QLTP_toxtag_val(lex, "entry")) return;
  QLTP_toxtag_set_attrib(lex, "entry", 5, entry.data(), static_cast<int>(entry.size()));
  if (choice.join_previous)
    if (toxtoken* previous = QLTP_toxstream_prev_realtk(tokens, i - 1)) QLTP_toxtoken_setfeat(previous, kLexFeature, 1);
  if (choice.join_next) QLTP_toxtoken_setfeat(token, kLexFeature, 1);
  if (st->split_count > 0) split(st, pool, token);
}

void reset_context(homtagger* st) {
  set_context(st->previous_pos, "^");
  set_context(st->previous_word, "^");
}

}  // namespace

homtagger* QLTP_homtagger_new(channel* ch) {
  auto* st = static_cast<homtagger*>(QLTP_calloc(sizeof(homtagger), 1));
  if (!st) return nullptr;
  st->name = "homtagger";
  st->ch = ch;
  st->state = 1;
  reset_context(st);
  st->scratch = QLTP_dystr_newcustom("", 0, 64, 64);
  st->output = QLTP_voidparray_new();
  if (QLTP_logger_modulelogging(QLTP_tpc_get_logger(ch))) st->module_log = QLTP_dystr_newcustom("", 0, 65536, 65536);
  if (!st->scratch || !st->output) {
    QLTP_homtagger_delete(st);
    return nullptr;
  }
  QLTP_homtagger_reset_tpdb(st, ch);
  return st;
}

void QLTP_homtagger_reset(homtagger* st) {
  if (!st) return;
  if (st->state == 0) QLTP_logger_set_error(log_of(st), QLTP_ERROR_RESET_DATA_LOSS, "Homtagger context lost", "");
  st->state = 1;
  QLTP_dystr_clear(st->scratch);
  QLTP_dystr_clear(st->module_log);
  reset_context(st);
}

void QLTP_homtagger_reset_tpdb(homtagger* st, channel* ch) {
  if (!st) return;
  st->table = ch ? static_cast<const hashstrarray*>(QLTP_tpdb_get_tpdata(ch->db, kTable)) : nullptr;
}

void QLTP_homtagger_delete(homtagger* st) {
  if (!st) return;
  QLTP_dystr_delete(st->scratch);
  QLTP_voidparray_delete(st->output);
  QLTP_dystr_delete(st->module_log);
  QLTP_free(st);
}

voidparray* QLTP_homtagger_process(homtagger* st, voidparray* spurts, int final) {
  if (!st || !st->table) return spurts;
  int previous_state = st->state;
  QLTP_voidparray_clear(st->output);
  toxpool* pool = st->ch ? st->ch->pool : nullptr;
  for (int s = 0, n = QLTP_voidparray_sz(spurts); s < n; ++s) {
    toxspurt* spurt = QLTP_toxspurt_cast(QLTP_voidparray_idx(spurts, s));
    if (!spurt) continue;
    reset_context(st);
    toxstream* tokens = QLTP_toxspurt_tokens(spurt);
    for (int i = 0; i < QLTP_voidparray_sz(tokens); ++i) {
      toxtoken* token = QLTP_toxtoken_cast(QLTP_voidparray_idx(tokens, i));
      if (!token || text_of(QLTP_toxtoken_getnorm(token)).empty()) continue;
      tag_token(st, pool, tokens, i);
      if (sentence_break(token)) {
        reset_context(st);
      } else {
        set_context(st->previous_pos, text_of(QLTP_toxtoken_getpos(token)));
        set_context(st->previous_word, text_of(QLTP_toxtoken_getnorm(token)));
      }
    }
    QLTP_voidparray_add(st->output, spurt);
  }
  QLTP_tpc_log_spurts(st->ch, st->name, previous_state, st->output, st->module_log);
  st->state = final;
  return st->output;
}

void* QLTP_tpobj_homtags_load(tpdb* db, int32_t offset) { return QLTP_tpdb_read_strmap(db, offset, "TPOBJ_HOMTAGS"); }
int QLTP_tpobj_homtags_pstload(tpdb*, void*) { return 1; }
void QLTP_tpobj_homtags_delete(void* object) { QLTP_tpobj_strmap_delete(object); }
int32_t QLTP_tpobj_homtags_write(void* object, char* destination, int swap) {
  return QLTP_tpobj_strmap_write(object, destination, swap);
}

namespace {

const int homtags_registered = QLTP_tpobj_register(
    "TPOBJ_HOMTAGS", {.load = QLTP_tpobj_homtags_load, .pstload = QLTP_tpobj_homtags_pstload,
                      .del = QLTP_tpobj_homtags_delete, .write = QLTP_tpobj_homtags_write});

}  // namespace
