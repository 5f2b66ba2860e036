#include "linguistics/reduction.h"

#include <cstring>
#include <string>
#include <string_view>

#include "foundation/logger.h"
#include "foundation/strutil.h"
#include "foundation/toxtoken.h"
#include "foundation/tpdb.h"
#include "foundation/tpdb_kinds.h"
#include "textproc/channel.h"
#include "textproc/nrules.h"

namespace {

constexpr char kTable[] = "TPOBJ_RRULES:DEFAULT";
constexpr char kFields[] = "FIELDS";

logger* log_of(const reduction* st) { return QLTP_tpc_get_logger(st->ch); }

toxstream* tokens_of(const toxspurt* spurt) { return QLTP_toxspurt_tokens(spurt); }

bool is_first(const toxspurt* spurt, int index) { return QLTP_toxstream_next_realtkidx(tokens_of(spurt), 0) == index; }
bool is_last(const toxspurt* spurt, int index) { return QLTP_toxstream_last_realtk(tokens_of(spurt)) == index; }

// A word of the table: every key but the field list.
bool is_word(const reduction* st, const char* norm) {
  return norm && *norm && std::strcmp(norm, kFields) != 0 && QLTP_hashstrarray_lookup(st->table, norm, -1);
}

const char* next_norm(const toxspurt* spurt, int index) {
  const toxtoken* next = QLTP_toxstream_next_realtk(tokens_of(spurt), index + 1);
  return next ? QLTP_toxtoken_getnorm(next) : nullptr;
}

// Writes the entry into the token's "lex" tag unless the tag has one. The
// rule counts as applied either way.
int apply(reduction* st, toxspurt* spurt, int index, const char* entry) {
  toxtoken* token = QLTP_toxtoken_cast(QLTP_voidparray_idx(tokens_of(spurt), index));
  toxtag* lex = QLTP_toxtoken_gettag(token, "lex");
  if (!lex) {
    lex = QLTP_toxpool_tag(st->ch ? st->ch->pool : nullptr);
    if (!lex) {
      QLTP_logger_set_error(log_of(st), QLTP_MESSAGE_WARN, "No tags available homograph lexical entry not set", entry);
      return 1;
    }
    QLTP_toxtag_init(lex, token, "lex", 3, QLTP_TAG_STARTEND);
    QLTP_toxtoken_addtag(token, lex);
  }
  if (!QLTP_toxtag_val(lex, "entry")) QLTP_toxtag_set_attrib(lex, "entry", 5, entry, -1);
  return 1;
}

int apply_if(bool applies, reduction* st, toxspurt* spurt, int index, const char* entry) {
  return applies ? apply(st, spurt, index, entry) : 0;
}

void read_fields(reduction* st) {
  const char* fields = QLTP_hashstrarray_lookup(st->table, kFields, -1);
  if (!fields) {
    QLTP_logger_set_error(log_of(st), QLTP_MESSAGE_ERROR, "No field names set - reduction module will not run", "");
    st->table = nullptr;
    return;
  }
  std::string_view rest(fields);
  while (true) {
    std::string_view name = rest.substr(0, rest.find(','));
    int rule = -1;
    // A name selects the first rule that begins with it.
    for (int r = 0; r < QLTP_RRULE_COUNT && rule < 0 && !name.empty(); ++r)
      if (std::string_view(QLTP_RRULE_NAMES[r]).starts_with(name)) rule = r;
    if (rule < 0)
      QLTP_logger_set_error(log_of(st), QLTP_MESSAGE_WARN, "reduction rule not implemented", std::string(name).c_str());
    QLTP_intarray_add(st->field_rules, rule);
    if (name.size() == rest.size()) break;
    rest.remove_prefix(name.size() + 1);
  }
}

void reduce_token(reduction* st, toxspurt* spurt, int index, const char* value) {
  int fields = QLTP_intarray_sz(st->field_rules);
  for (int f = 0; f < fields && value[f]; ++f) {
    if (value[f] != 't') continue;
    int rule = QLTP_intarray_idx(st->field_rules, f);
    if (rule >= 0 && QLTP_RRULES[rule](st, spurt, index)) return;
  }
}

}  // namespace

const char* const QLTP_RRULE_NAMES[QLTP_RRULE_COUNT] = {
    "mono_full", "pre_red_full", "reduce_start", "reduce_mid",
    "full_start", "full_end", "full_before_vowel", "it_reduce_numbers",
};

const QLTP_rrule_fn QLTP_RRULES[QLTP_RRULE_COUNT] = {
    QLTP_rrule_mono_full,  QLTP_rrule_pre_red_full, QLTP_rrule_reduce_start,      QLTP_rrule_reduce_mid,
    QLTP_rrule_full_start, QLTP_rrule_full_end,     QLTP_rrule_full_before_vowel, QLTP_rrule_it_reduce_numbers,
};

int QLTP_rrule_mono_full(reduction* st, toxspurt* spurt, int index) {
  return apply_if(is_first(spurt, index) && is_last(spurt, index), st, spurt, index, "full");
}

int QLTP_rrule_pre_red_full(reduction* st, toxspurt* spurt, int index) {
  return apply_if(is_word(st, next_norm(spurt, index)), st, spurt, index, "full");
}

int QLTP_rrule_reduce_start(reduction* st, toxspurt* spurt, int index) {
  return apply_if(is_first(spurt, index), st, spurt, index, "reduced");
}

int QLTP_rrule_reduce_mid(reduction* st, toxspurt* spurt, int index) {
  return apply_if(!is_first(spurt, index) && !is_last(spurt, index), st, spurt, index, "reduced");
}

int QLTP_rrule_full_start(reduction* st, toxspurt* spurt, int index) {
  return apply_if(is_first(spurt, index), st, spurt, index, "full");
}

int QLTP_rrule_full_end(reduction* st, toxspurt* spurt, int index) {
  return apply_if(is_last(spurt, index), st, spurt, index, "full");
}

int QLTP_rrule_full_before_vowel(reduction* st, toxspurt* spurt, int index) {
  const char* next = next_norm(spurt, index);
  bool vowel = next && QLTP_nrules_getrgx(st->rules, "reduction_vowels", -1) &&
               QLTP_nrules_rgx(st->rules, "reduction_vowels", -1, next, -1, nullptr) > 0;
  return apply_if(vowel, st, spurt, index, "full");
}

int QLTP_rrule_it_reduce_numbers(reduction* st, toxspurt* spurt, int index) {
  const toxtoken* token = QLTP_toxtoken_cast(QLTP_voidparray_idx(tokens_of(spurt), index));
  const toxtag* sayas = QLTP_toxtoken_gettag_attrib(token, "say-as", "internal", "number");
  // The number goes on after this token.
  bool inside = sayas && (QLTP_toxtag_type(sayas) == QLTP_TAG_START || QLTP_toxtag_type(sayas) == QLTP_TAG_MID);
  return apply_if(inside, st, spurt, index, "reduced");
}

reduction* QLTP_reduction_new(channel* ch) {
  auto* st = static_cast<reduction*>(QLTP_calloc(sizeof(reduction), 1));
  if (!st) return nullptr;
  st->name = "reduction";
  st->ch = ch;
  st->state = 1;
  st->field_rules = QLTP_intarray_new();
  st->output = QLTP_voidparray_new();
  if (QLTP_logger_modulelogging(QLTP_tpc_get_logger(ch))) st->module_log = QLTP_dystr_newcustom("", 0, 65536, 65536);
  if (!st->field_rules || !st->output) {
    QLTP_reduction_delete(st);
    return nullptr;
  }
  QLTP_reduction_reset_tpdb(st, ch);
  return st;
}

void QLTP_reduction_reset(reduction* st) {
  if (!st) return;
  if (st->state == 0) QLTP_logger_set_error(log_of(st), QLTP_ERROR_RESET_DATA_LOSS, "Reduction context lost", "");
  st->state = 1;
  QLTP_dystr_clear(st->module_log);
}

void QLTP_reduction_reset_tpdb(reduction* st, channel* ch) {
  if (!st) return;
  tpdb* db = ch ? ch->db : nullptr;
  st->table = static_cast<const hashstrarray*>(QLTP_tpdb_get_tpdata(db, kTable));
  QLTP_intarray_clear(st->field_rules);
  if (st->table) read_fields(st);
  st->rules = static_cast<const nrules*>(QLTP_tpdb_get_tpdata(db, "TPOBJ_NRULES:DEFAULT"));
}

void QLTP_reduction_delete(reduction* st) {
  if (!st) return;
  QLTP_intarray_delete(st->field_rules);
  QLTP_voidparray_delete(st->output);
  QLTP_dystr_delete(st->module_log);
  QLTP_free(st);
}

voidparray* QLTP_reduction_process(reduction* st, voidparray* spurts, int final) {
  if (!st || !st->table) return spurts;
  int previous_state = st->state;
  QLTP_voidparray_clear(st->output);
  for (int s = 0, n = QLTP_voidparray_sz(spurts); s < n; ++s) {
    toxspurt* spurt = QLTP_toxspurt_cast(QLTP_voidparray_idx(spurts, s));
    if (!spurt) continue;
    toxstream* tokens = tokens_of(spurt);
    for (int i = 0; i < QLTP_voidparray_sz(tokens); ++i) {
      const char* norm = QLTP_toxtoken_getnorm(QLTP_toxtoken_cast(QLTP_voidparray_idx(tokens, i)));
      if (is_word(st, norm)) reduce_token(st, spurt, i, QLTP_hashstrarray_lookup(st->table, norm, -1));
    }
    QLTP_voidparray_add(st->output, spurt);
  }
  QLTP_tpc_log_spurts(st->ch, st->name, previous_state, st->output, st->module_log);
  st->state = final;
  return st->output;
}

void* QLTP_tpobj_rrules_load(tpdb* db, int32_t offset) { return QLTP_tpdb_read_strmap(db, offset, "TPOBJ_RRULES"); }
int QLTP_tpobj_rrules_pstload(tpdb*, void*) { return 1; }
void QLTP_tpobj_rrules_delete(void* object) { QLTP_tpobj_strmap_delete(object); }
int32_t QLTP_tpobj_rrules_write(void* object, char* destination, int swap) {
  return QLTP_tpobj_strmap_write(object, destination, swap);
}

namespace {

const int rrules_registered = QLTP_tpobj_register(
    "TPOBJ_RRULES", {.load = QLTP_tpobj_rrules_load, .pstload = QLTP_tpobj_rrules_pstload,
                     .del = QLTP_tpobj_rrules_delete, .write = QLTP_tpobj_rrules_write});

}  // namespace
