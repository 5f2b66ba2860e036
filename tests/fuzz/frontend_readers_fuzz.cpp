// The front end's file readers on any bytes: rule, abbreviation, lexicon,
// PLS, letter-to-sound, phone-set, syllabification, POS, phrase-break,
// matrix, parameter, byte-pair and manager data, sprons for the slang
// transforms, and one database object of any linguistic kind. Byte 0 picks
// the reader (frontend_readers.h) and, with bit 7, the other byte order;
// byte 1 picks the stored kind.
// Where a writer exists, what was read is written, read again and written
// again: the two writes give the same bytes, and a written database object
// loads. PLS documents and phone-set maps are also written from lexemes and
// phones made of the bytes and must read back whole; archiphone rules run
// over phonemes. An input slower than a budget linear in its length fails.
#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <cstdlib>
#include <cstdio>
#include <set>
#include <string>
#include <vector>

#include "foundation/bpcomp.h"
#include "foundation/complkp.h"
#include "foundation/dict.h"
#include "foundation/doublematrix.h"
#include "foundation/dystr.h"
#include "foundation/dystrarray.h"
#include "foundation/strmap.h"
#include "foundation/toxtoken.h"
#include "fuzz/frontend_readers.h"
#include "fuzz/fuzz.h"
#include "linguistics/archiphone.h"
#include "linguistics/ccart.h"
#include "linguistics/disambiguation.h"
#include "linguistics/lexicon.h"
#include "linguistics/lexmgr.h"
#include "linguistics/ltsmgr.h"
#include "linguistics/ltstree.h"
#include "linguistics/paramdb.h"
#include "linguistics/pbreak.h"
#include "linguistics/phoneset.h"
#include "linguistics/phonesetmap.h"
#include "linguistics/pls.h"
#include "linguistics/postagger.h"
#include "linguistics/slang.h"
#include "linguistics/spurt_builder.h"
#include "linguistics/syllabify.h"
#include "linguistics/test_phoneset.h"
#include "test_db.h"
#include "textproc/abbrev.h"
#include "textproc/channel.h"
#include "textproc/nrules.h"

using orvelle_fuzz::Check;

namespace {

// ---- database objects ----

std::string ObjectName(const std::string& kind) { return kind + ":DEFAULT"; }

// The image a database in the given byte order stores as the kind's object
// loads to, written again by the kind ("" when it does not load or the kind
// writes nothing); loaded tells whether it loaded.
std::string Reloaded(const std::string& kind, const std::string& image, int swap, bool* loaded) {
  static const std::string path = orvelle_fuzz::TempPath("object.tpdb");
  const std::string name = ObjectName(kind);
  orvelle_test::WriteTestDb(path, {{name, nullptr, image}}, swap != 0);
  tpdb* db = QLTP_tpdb_new(nullptr);
  QLTP_logger_set_stderr(db->log, 0);
  QLTP_logger_set_stdout(db->log, 0);
  void* object = QLTP_tpdb_load(db, path.c_str()) == 1 ? QLTP_tpdb_get_tpdata(db, name.c_str()) : nullptr;
  *loaded = object != nullptr;
  std::string written = object ? orvelle_test::KindImage(name, object, swap) : std::string();
  QLTP_tpdb_delete(db);
  return written;
}

// A written object loads and writes the very same bytes again.
void CheckWrittenObject(const std::string& kind, const std::string& written, int swap) {
  if (written.empty()) return;
  bool loaded = false;
  const std::string again = Reloaded(kind, written, swap, &loaded);
  Check(loaded, "a written object loads", kind + " " + written);
  Check(again == written, "a written object writes back the same bytes", kind + " " + written);
}

// What a text reader made, in the kind's stored form.
void CheckStoredForm(const std::string& kind, void* object, int swap) {
  if (object) CheckWrittenObject(kind, orvelle_test::KindImage(ObjectName(kind), object, swap), swap);
}

// A text reader of a stored kind: the object read is checked in its stored form.
template <typename T>
void CheckTextKind(const char* kind, T* (*read)(const char*), void (*del)(T*), const char* text, int swap) {
  T* object = read(text);
  CheckStoredForm(kind, object, swap);
  del(object);
}

void CheckStoredObject(const std::string& kind, const std::string& image, int swap) {
  bool loaded = false;
  CheckWrittenObject(kind, Reloaded(kind, image, swap, &loaded), swap);
}

// ---- binary forms read from a stream ----

// The bytes as an open stream in memory (NULL for none).
FILE* Stream(const std::string& bytes) {
  return bytes.empty() ? nullptr : ::fmemopen(const_cast<char*>(bytes.data()), bytes.size(), "rb");
}

// read(file, swap) gives an object or NULL; size and write give its form.
template <typename T, typename Read, typename Size, typename Write, typename Free>
void CheckBinary(const std::string& bytes, int swap, Read read, Size size, Write write, Free free) {
  auto load = [&](const std::string& b, long* taken) -> T* {
    FILE* f = Stream(b);
    if (!f) return nullptr;
    T* object = read(f, swap);
    *taken = std::ftell(f);
    std::fclose(f);
    return object;
  };
  auto written = [&](const T* object) {
    std::string out(static_cast<size_t>(size(object)), '\0');
    if (!out.empty()) Check(write(object, out.data(), swap) == out.data() + out.size(), "a writer fills its size");
    return out;
  };
  long taken = 0;
  T* first = load(bytes, &taken);
  if (!first) return;
  const std::string image = written(first);
  free(first);
  T* second = load(image, &taken);
  // (A compressed table's writer pads its data for the decoder; the reader
  // leaves the padding unread.)
  Check(second != nullptr && taken <= static_cast<long>(image.size()), "a written form reads back", image);
  Check(written(second) == image, "a written form writes back the same bytes", image);
  free(second);
}

// Readers of the form int read(FILE*, T** out, int swap).
template <typename T, typename Read>
auto OutReader(Read read) {
  return [read](FILE* f, int swap) -> T* {
    T* object = nullptr;
    const int ok = read(f, &object, swap) != 0;
    Check(ok == (object != nullptr), "a reader's result and its object agree");
    return object;
  };
}

// A few words through a letter-to-sound model, with stray and cut UTF-8
// among them.
const char* const kWords[] = {"hello", "a", "zzz", "caf\xC3\xA9", "x-y", "", "\377\377ab", "a\xE2",
                              "xab\xE2\x82", "abxbaabxbaabxbaabxbaabxbaabxbaabxbaabxba\xFF\xFF\xFF\xFF\xFF",
                              "abxbaabxbaabxbaabxbaabxbaabxbaabxbaabxba\xF0\x9F\x98"};

void RunCart(ccart* c) {
  dystr* padded = QLTP_dystr_new("", 0);
  dystr* out = QLTP_dystr_new("", 0);
  for (const char* w : kWords) QLTP_runccart(c, w, nullptr, 0, padded, out, nullptr, nullptr, "en");
  QLTP_dystr_delete(padded);
  QLTP_dystr_delete(out);
}

std::string CartImage(const ccart* c, int swap) {
  std::string out(static_cast<size_t>(QLTP_ccart_write_sz(c)), '\0');
  if (!out.empty()) Check(QLTP_ccart_write(c, out.data(), swap) == out.data() + out.size(), "a writer fills its size");
  return out;
}

void CheckCart(const std::string& bytes, int swap) {
  auto read = [](FILE* f, int s) -> ccart* {
    ccart* c = nullptr;
    const int32_t taken = QLTP_ccart_read(f, &c, s);
    Check((taken != 0) == (c != nullptr), "a reader's result and its object agree");
    return c;
  };
  {
    FILE* f = Stream(bytes);
    ccart* c = f ? read(f, swap) : nullptr;
    if (f) std::fclose(f);
    if (c) RunCart(c);
    QLTP_ccart_delete(c);
  }
  CheckBinary<ccart>(bytes, swap, read, QLTP_ccart_write_sz, QLTP_ccart_write, QLTP_ccart_delete);
}

// ---- text forms ----

// Every headword of a plain lexicon finds an entry.
void CheckLexicon(const lexhash* lex) {
  if (!lex) return;
  for (int id = 1; id <= QLTP_dict_size(lex->headwords); ++id) {
    const char* word = QLTP_dict_lookup_index(lex->headwords, id);
    if (!word || !*word) continue;
    const auto* entries = static_cast<const dystrarray*>(QLTP_voidparray_idx(lex->entries, id - 1));
    if (QLTP_dystrarray_sz(entries) > 0)
      Check(QLTP_lexhash_lookup(lex, word, nullptr) != nullptr, "every headword finds an entry", word);
  }
}

void CheckPls(const std::string& text) {
  static phoneset* const ipa = [] {
    phoneset* ps = QLTP_phoneset_new();
    Check(QLTP_phoneset_load_file(ps, orvelle_test::kTestPhoneSet) == 1, "the test phone set loads");
    return ps;
  }();
  pls* reader = QLTP_pls_new();
  QLTP_pls_addphoneset(reader, ipa, 0);
  lexhash* lex = QLTP_pls_load_pls(reader, text.c_str());
  CheckLexicon(lex);
  QLTP_lexhash_delete(lex);
  QLTP_pls_delete(reader);
}

void CheckMatrixText(const std::string& text, int swap) {
  static const std::string path = orvelle_fuzz::TempPath("matrix.txt");
  orvelle_fuzz::WriteFile(path, text);
  doublematrix* m = QLTP_doublematrix_new_fromfile(path.c_str());
  if (!m) return;
  std::string image(QLTP_doublematrix_write_sz(m), '\0');
  QLTP_doublematrix_write(m, image.data(), swap);
  QLTP_doublematrix_delete(m);
  CheckBinary<doublematrix>(image, swap, OutReader<doublematrix>(QLTP_doublematrix_read), QLTP_doublematrix_write_sz,
                            QLTP_doublematrix_write, QLTP_doublematrix_delete);
}

// The letter-to-sound trees, run and converted to a compact CART that
// writes and reads back.
void CheckLtsTrees(const std::string& bytes, int swap) {
  FILE* f = Stream(bytes);
  lts* set = f ? QLTP_lts_load(f, swap) : nullptr;
  if (f) std::fclose(f);
  ltstree* tree = QLTP_deserialise_ltstree(bytes.data(), static_cast<int32_t>(bytes.size()), swap);
  QLTP_ltstree_delete(tree);
  if (!set) return;
  dystr* padded = QLTP_dystr_new("", 0);
  dystr* out = QLTP_dystr_new("", 0);
  for (const char* w : kWords) QLTP_runlts(set, w, nullptr, 0, padded, out);
  QLTP_dystr_delete(padded);
  QLTP_dystr_delete(out);
  ccart* c = QLTP_ccart_new(set);
  QLTP_lts_delete(set);
  if (!c) return;
  RunCart(c);
  const std::string image = CartImage(c, swap);
  QLTP_ccart_delete(c);
  CheckCart(image, swap);
}

// Byte 1 names the transform and bytes 2-3 the accent; the rest is the
// token's spron.
void CheckSlang(const orvelle_fuzz::Input& in) {
  static const char* const kNames[] = {"piglatin", "ubbidubbi", "gibberish", ""};
  const std::string accent = in.Payload(2).substr(0, 2), spron_text = in.Payload(4);
  spron* record = QLTP_spron_new();
  QLTP_spron_fill(record, spron_text.c_str());
  QLTP_spron_delete(record);
  orvelle_test::SpurtBuilder b;
  toxtoken* t = b.Word("w", "x");
  QLTP_toxtag_set_attrib(QLTP_toxtoken_gettag(t, "lex"), "spron", -1, spron_text.c_str(), -1);
  if (QLTP_slang(accent.c_str(), kNames[in.Byte(1) & 3], t)) {
    const char* out = QLTP_toxtoken_tagval(t, "lex", "spron");
    Check(out != nullptr, "a transformed token keeps a spron");
  }
}

// Lexemes made from the bytes, each with its own grapheme and one
// pronunciation in the voice's alphabet, characters written as they are, as
// decimal or as hex references: the document reads back every lexeme, and
// without a message. Per byte: bits 0-4 a character, bits 5-6 where it goes
// (grapheme, phone, a new phone, a new lexeme), bit 7 written as a reference.
void CheckPlsLexemes(const std::string& bytes) {
  static const uint32_t kChars[] = {'a', 'b', 'k', 't', 'z', 'Q', 'X', '&', '<', '"', '\'', ';', '#', '1', '0', '-',
                                    0xE9, 0xDF, 0x2C8, 0x251, 0x4E2D, 0x1F600, 0x259, 0x2D0, '?', 'y', 'e', 'W',
                                    0x10FFFF, 0x80, 0x7FF, 0xFFFD};
  struct Lexeme {
    std::string doc_grapheme, grapheme, doc_phoneme;
    std::vector<std::string> phones{std::string("p")};
  };
  std::vector<Lexeme> lexemes(1);
  auto add = [&](bool to_grapheme, uint32_t cp, bool reference, bool hex) {
    std::string plain;
    orvelle_fuzz::AppendUtf8(plain, cp);
    Lexeme& l = lexemes.back();
    std::string& doc = to_grapheme ? l.doc_grapheme : l.doc_phoneme;
    if (reference) doc += (hex ? "&#x" : "&#") + (hex ? orvelle_fuzz::Hex(cp) : std::to_string(cp)) + ";";
    else doc += cp == '&' ? "&amp;" : cp == '<' ? "&lt;" : plain;
    if (to_grapheme) {
      if (cp >= 'A' && cp <= 'Z') plain[0] = static_cast<char>(cp + 32);
      l.grapheme += plain;
    } else {
      l.phones.back() += plain;
    }
  };
  for (size_t i = 0; i < bytes.size() && lexemes.size() <= 64; ++i) {
    const auto b = static_cast<unsigned char>(bytes[i]);
    const uint32_t cp = kChars[b & 31];
    switch ((b >> 5) & 3) {
      case 0: add(true, cp, b & 0x80, i & 1); break;
      case 1: add(false, cp, b & 0x80, i & 1); break;
      case 2: lexemes.back().doc_phoneme += " p"; lexemes.back().phones.emplace_back("p"); break;
      default: lexemes.emplace_back(); break;
    }
  }
  // The alphabet may be written with references, and a metadata element
  // left open before the lexemes costs none of them.
  const bool open_metadata = !bytes.empty() && (bytes[0] & 1);
  std::string doc = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<lexicon version=\"1.0\" alphabet=\"" +
                    std::string(bytes.size() & 1 ? "q&#x72;&#108;n" : "qrln") + "\" xml:lang=\"en\">\n";
  if (open_metadata) doc += "<metadata><dc:title>t</dc:title>\n";
  for (size_t i = 0; i < lexemes.size(); ++i)
    doc += "<lexeme><grapheme>g" + std::to_string(i) + "-" + lexemes[i].doc_grapheme + "</grapheme><phoneme>p" +
           lexemes[i].doc_phoneme + "</phoneme></lexeme>\n";
  doc += "</lexicon>\n";
  pls* reader = QLTP_pls_new();
  lexhash* lex = QLTP_pls_load_pls(reader, doc.c_str());
  Check(lex != nullptr, "a written PLS document loads", doc);
  Check(std::string(QLTP_dystr_cstr(reader->errors)) == (open_metadata ? "ERROR: metadata not closed\n" : ""),
        "a written PLS document reads without a message but the open metadata's", doc);
  for (size_t i = 0; i < lexemes.size(); ++i) {
    std::string pron;
    for (const std::string& p : lexemes[i].phones) pron += (pron.empty() ? "" : "_") + p;
    const std::string grapheme = "g" + std::to_string(i) + "-" + lexemes[i].grapheme;
    const char* entry = QLTP_lexhash_lookup(lex, grapheme.c_str(), nullptr);
    Check(entry != nullptr, "every written lexeme reads back", doc);
    const std::string got(entry, std::strcspn(entry, " "));
    Check(got == pron, "a lexeme reads back with its pronunciation", doc + "\n" + grapheme + " " + pron);
  }
  QLTP_lexhash_delete(lex);
  QLTP_pls_delete(reader);
}

// A map written from phones made of the bytes (fields split at bytes below
// '!' and '#' never first; each name's value from its bytes) reads back
// whole: every phone at its id with its value.
void CheckPhoneSetMapPhones(const std::string& bytes) {
  std::vector<std::pair<std::string, int>> phones;
  std::set<std::string> seen;
  std::string name;
  auto flush = [&] {
    if (name.empty() || name[0] == '#' || name.size() > 40 || !seen.insert(name).second) {
      name.clear();
      return;
    }
    uint32_t h = 2166136261u;
    for (char c : name) h = (h ^ static_cast<unsigned char>(c)) * 16777619u;
    phones.emplace_back(name, static_cast<int>(h));
    name.clear();
  };
  for (char c : bytes) {
    if (static_cast<unsigned char>(c) <= ' ') flush();
    else name += c;
  }
  flush();
  if (phones.empty()) return;
  std::string text = "MAPPING_NAME fuzz\nVERSION 1\nVAL_TYPES int\nNR_PHONES " + std::to_string(phones.size()) + "\n";
  for (const auto& [phone, value] : phones) text += phone + " x " + std::to_string(value) + "\n";
  phonesetmap* m = QLTP_phonesetmap_new(text.c_str(), -1);
  Check(m != nullptr && QLTP_phonesetmap_sz(m) == static_cast<int>(phones.size()), "a written map reads back whole",
        text);
  for (size_t i = 0; i < phones.size(); ++i) {
    const char* phone = QLTP_phonesetmap_phone_idx(m, static_cast<int>(i) + 1);
    Check(phone && phones[i].first == phone && QLTP_phonesetmap_val_idx(m, static_cast<int>(i) + 1) == phones[i].second &&
              QLTP_phonesetmap_lookup(m, phone, -1) == phones[i].second,
          "a map's phone reads back at its id with its value", text);
  }
  QLTP_phonesetmap_delete(m);
}

// The first line is a rule key, the second its value, the rest the
// phonemes of a word followed by another word.
void CheckArchiphone(const std::string& bytes) {
  const size_t key_end = std::min(bytes.find('\n'), bytes.size());
  const size_t value_end = std::min(bytes.find('\n', std::min(key_end + 1, bytes.size())), bytes.size());
  const std::string key = bytes.substr(0, key_end);
  const std::string value = key_end < bytes.size() ? bytes.substr(key_end + 1, value_end - key_end - 1) : "";
  const std::string phonemes = value_end < bytes.size() ? bytes.substr(value_end + 1) : "";
  if (key.empty() || key.find('\0') != std::string::npos || value.find('\0') != std::string::npos) return;
  static const std::string path = orvelle_fuzz::TempPath("archis.tpdb");
  hashstrarray* rules = QLTP_hashstrarray_new(4);
  QLTP_hashstrarray_add(rules, key.c_str(), -1, value.c_str(), -1);
  orvelle_test::WriteTestDb(path, {{"TPOBJ_ARCHIS:DEFAULT", rules}});
  QLTP_hashstrarray_delete(rules);
  tpdb* db = QLTP_tpdb_new(nullptr);
  QLTP_logger_set_store(db->log);
  if (QLTP_tpdb_load(db, path.c_str()) == 1) {
    channel* ch = QLTP_tpc_newtype(db, nullptr, 0, "FUZZ", QLTP_TPC_TK);
    QLTP_logger_set_store(QLTP_tpc_get_logger(ch));
    archiphone* stage = QLTP_archiphone_new(ch);
    orvelle_test::SpurtBuilder b;
    toxtoken* word = b.Word("w", phonemes.c_str());
    b.Word("next", "p a N");
    QLTP_archiphone_process(stage, b.stream(), 1);
    Check(QLTP_toxtoken_tagval(word, "lex", "phonemes") != nullptr, "a resolved word keeps its phonemes");
    QLTP_archiphone_delete(stage);
    QLTP_tpc_delete(ch);
  }
  QLTP_tpdb_delete(db);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // The rule and table readers report progress on standard output.
  const int null = ::open("/dev/null", O_WRONLY);
  ::dup2(null, 1);
  ::close(null);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace orvelle_fuzz;
  const double start = orvelle_test::ThreadCpuSeconds();
  const Input in{data, size};
  const int reader = (in.Byte(0) & 0x3F) % kFrontendReaders, swap = in.Byte(0) >> 7;
  const std::string bytes = in.Payload(2);
  const char* text = bytes.c_str();

  switch (reader) {
    case kRulesText: {
      nrules* set = QLTP_deserialise_nrules(nullptr, text);
      CheckStoredForm("TPOBJ_NRULES", set, swap);
      QLTP_nrules_delete(set);
      break;
    }
    case kAbbrevText: CheckTextKind("TPOBJ_ABBREV", QLTP_deserialise_abbrev, QLTP_abbdict_delete, text, swap); break;
    case kAbbrevFile: {
      FILE* f = Stream(bytes);
      abbdict* d = f ? QLTP_abbrev_loadcustom(f, -1) : nullptr;
      if (f) std::fclose(f);
      CheckStoredForm("TPOBJ_ABBREV", d, swap);
      QLTP_abbdict_delete(d);
      break;
    }
    case kLexiconText: {
      lexhash* lex = QLTP_deserialise_lexhash(text);
      CheckLexicon(lex);
      CheckStoredForm("TPOBJ_LEXHASH", lex, swap);
      QLTP_lexhash_delete(lex);
      break;
    }
    case kLexiconFile: {
      FILE* f = Stream(bytes);
      lexhash* lex = f ? QLTP_lexhash_loadcustom(f, -1) : nullptr;
      if (f) std::fclose(f);
      CheckLexicon(lex);
      QLTP_lexhash_delete(lex);
      break;
    }
    case kPls: CheckPls(bytes); break;
    case kLtsTrees: CheckLtsTrees(bytes, swap); break;
    case kCartText: {
      ccart* c = QLTP_deserialise_ccart(text);
      if (!c) break;
      RunCart(c);
      const std::string image = CartImage(c, swap);
      QLTP_ccart_delete(c);
      CheckCart(image, swap);
      break;
    }
    case kCart: CheckCart(bytes, swap); break;
    case kPhoneSet: {
      phoneset* ps = QLTP_phoneset_new();
      // Every phone read is found again by its symbol.
      if (QLTP_phoneset_load_file(ps, text) == 1) {
        for (int id = 1; id <= QLTP_phoneset_nr_phones(ps); ++id) {
          const char* symbol = QLTP_phoneset_phone_symbol(QLTP_phoneset_get_phone_id(ps, id));
          if (symbol && *symbol) Check(QLTP_phoneset_find_phone(ps, symbol, -1) > 0, "every phone is found", symbol);
        }
      }
      QLTP_phoneset_delete(ps);
      break;
    }
    case kPhoneSetMap: {
      phonesetmap* m = QLTP_phonesetmap_new(bytes.data(), static_cast<int>(bytes.size()));
      for (int i = 0; m && i < QLTP_phonesetmap_sz(m); ++i) {
        const char* phone = QLTP_phonesetmap_phone_idx(m, i);
        if (phone) Check(QLTP_phonesetmap_lookup(m, phone, -1) >= 0 || QLTP_phonesetmap_val_idx(m, i) < 0,
                         "every phone of a map is found", phone);
      }
      QLTP_phonesetmap_delete(m);
      break;
    }
    case kSyllablesText:
      CheckTextKind("TPOBJ_SYLMAX", QLTP_deserialise_maxonset, QLTP_maxonset_delete, text, swap);
      break;
    case kPosText: CheckTextKind("TPOBJ_POSTAGS", QLTP_deserialise_pos, QLTP_pos_delete, text, swap); break;
    case kBreaksText: CheckTextKind("TPOBJ_PBREAK", QLTP_deserialise_pbreak, QLTP_pbreak_delete, text, swap); break;
    case kPairsText: CheckTextKind("TPOBJ_PRULES", QLTP_deserialise_prules, QLTP_prules_delete, text, swap); break;
    case kDisamText:
      // The first line sizes a square table of up to 2 GB whatever follows
      // it; a large one is only read, as its stored copies would pass the
      // memory limit.
      if (std::strtol(text, nullptr, 10) > 2048) {
        QLTP_disamctxt_delete(QLTP_deserialise_disamctxt(text));
      } else {
        CheckTextKind("TPOBJ_DISAMCTXT", QLTP_deserialise_disamctxt, QLTP_disamctxt_delete, text, swap);
      }
      break;
    case kMatrixText: CheckMatrixText(bytes, swap); break;
    case kMatrix:
      CheckBinary<doublematrix>(bytes, swap, OutReader<doublematrix>(QLTP_doublematrix_read), QLTP_doublematrix_write_sz,
                                QLTP_doublematrix_write, QLTP_doublematrix_delete);
      break;
    case kParamDbs:
      CheckBinary<paramdbmgr>(bytes, swap, OutReader<paramdbmgr>(QLTP_paramdbmgr_read), QLTP_paramdbmgr_write_sz,
                              QLTP_paramdbmgr_write, QLTP_paramdbmgr_delete);
      break;
    case kParamDb:
      CheckBinary<paramdbset>(bytes, swap, OutReader<paramdbset>(QLTP_paramdbset_read), QLTP_paramdbset_write_sz,
                              QLTP_paramdbset_write, QLTP_paramdbset_delete);
      break;
    case kBytePairs: {
      CheckBinary<bpcomp>(bytes, swap, QLTP_bpcomp_read, QLTP_bpcomp_write_sz, QLTP_bpcomp_write, QLTP_bpcomp_delete);
      FILE* f = Stream(bytes);
      bpcomp* table = f ? QLTP_bpcomp_read(f, swap) : nullptr;
      if (f) std::fclose(f);
      if (!table) break;
      // Stored maximum lengths run to 2 GiB and a symbol may expand to all
      // of it, so symbols from the bytes are decoded only under small
      // lengths; a text of the table's own characters round-trips under any,
      // in work buffers that take what the text needs.
      const std::string symbols = bytes.substr(bytes.size() / 2);
      std::string plain;
      if (QLTP_bpcomp_maxlen(table) <= (1 << 20)) {
        if (const char* decoded = QLTP_bpcomp_decode(table, symbols.c_str(), nullptr)) plain = decoded;
        Check(plain.size() <= static_cast<size_t>(QLTP_bpcomp_maxlen(table)), "a decoded text fits the table", plain);
      } else {
        for (int t = 1; t < table->nterminals && plain.size() < 64; ++t)
          if (table->left[t]) plain += static_cast<char>(table->left[t]);
      }
      if (const char* encoded = QLTP_bpcomp_encode(table, plain.c_str(), nullptr)) {
        const char* again = QLTP_bpcomp_decode(table, encoded, nullptr);
        Check(again != nullptr && plain == again, "encoded text decodes to itself", plain);
      }
      QLTP_bpcomp_delete(table);
      break;
    }
    case kCompressed: {
      auto read = [](FILE* f, int s) { return QLTP_complkp_read(f, s); };
      auto image_size = [](const complkp* t) { return QLTP_tpobj_complkp_write(t, nullptr, 0); };
      auto write = [](const complkp* t, char* dst, int s) {
        const int32_t n = QLTP_tpobj_complkp_write(t, nullptr, s);
        return QLTP_tpobj_complkp_write(t, dst, s) == 1 ? dst + n : nullptr;
      };
      CheckBinary<complkp>(bytes, swap, read, image_size, write, QLTP_complkp_delete);
      break;
    }
    case kLexMgrText: CheckTextKind("TPOBJ_LEXMGR", QLTP_deserialise_lexmgr, QLTP_lexmgr_delete, text, swap); break;
    case kLtsMgrText: CheckTextKind("TPOBJ_LTSMGR", QLTP_deserialise_ltsmgr, QLTP_ltsmgr_delete, text, swap); break;
    case kSlang: CheckSlang(in); break;
    case kStored: CheckStoredObject(kStoredKinds[in.Byte(1) % kStoredKindCount], bytes, swap); break;
    case kPlsLexemes: CheckPlsLexemes(bytes); break;
    case kPhoneSetMapPhones: CheckPhoneSetMapPhones(bytes); break;
    case kArchiphone: CheckArchiphone(bytes); break;
  }
  // Every reader's work grows with its input at most linearly, apart from a
  // start-up cost: a slower input is a finding. (A disambiguation table is
  // sized by its first number, not by the bytes, and so has no such bound.)
  if (reader != kDisamText && !(reader == kStored && std::strcmp(kStoredKinds[in.Byte(1) % kStoredKindCount],
                                                                   "TPOBJ_DISAMCTXT") == 0))
    CheckLinearTime(start, size, 1.0, 1.024, "time linear in the input's length");
  return 0;
}
