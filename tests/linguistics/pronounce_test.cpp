#include "linguistics/pronounce.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "cmudict.h"
#include "foundation/complkp.h"
#include "foundation/dystr.h"
#include "foundation/logger.h"
#include "foundation/toxspurt.h"
#include "foundation/toxtoken.h"
#include "linguistics/ccart.h"
#include "linguistics/lexmgr.h"
#include "linguistics/ltstree.h"
#include "linguistics/phoneset.h"
#include "lts_data.h"
#include "scratch_dir.h"
#include "test_db.h"
#include "test_phoneset.h"
#include "textproc/channel.h"
#include "textproc/nrules.h"

namespace {

using orvelle_test::TextObject;

const char kLexicon[] =
    "main\n"
    "cat k_a1_t\n"
    "tact t_a1_k_t\n"
    "catkat k_a1_t_k_a0_t\n"
    "tat t_a0_t entry_reduced\n"
    "tat t_a1_t entry_full\n"
    "konnichiwa k_o1_N_n_i0_ch_i0_w_a0\n"
    "hashiga h_a0_sh_i2_g_a0\n"
    "k k entry_letter\n"
    "t t entry_letter\n"
    "a a1 entry_letter\n";

const char kRules[] = "<rules><regex name='novowel'><![CDATA[^[^aeiouy]+$]]></regex></rules>";

// Writes the test database into dir: phone set, lexicons, rules and the
// small letter-to-sound trees (a, b, t).
// With a letter-to-sound manager the trees are its model "small" and the
// database has no default trees.
std::string TestDatabase(const orvelle_test::ScratchDir& dir, const std::string& lexicon, bool lts_manager) {
  const std::string path = dir.Path("pronounce.tpdb");
  nrules* rules = QLTP_deserialise_nrules(nullptr, kRules);
  FILE* f = std::tmpfile();
  const std::string trees = orvelle_test::TreeSetBytes(orvelle_test::SmallTrees());
  std::fwrite(trees.data(), 1, trees.size(), f);
  std::rewind(f);
  lts* set = QLTP_lts_load(f, 0);
  std::fclose(f);
  ccart* cart = QLTP_ccart_new(set);
  std::string cart_image(static_cast<size_t>(QLTP_ccart_write_sz(cart)), '\0');
  QLTP_ccart_write(cart, cart_image.data(), 0);
  std::vector<orvelle_test::DbObject> objects = {
      {"TPOBJ_PHONESET:DEFAULT", nullptr, TextObject(orvelle_test::kTestPhoneSet)},
      {"TPOBJ_LEXMGR:DEFAULT", nullptr, TextObject("main:0")},
      {"TPOBJ_LEXHASH:MAIN", nullptr, TextObject(lexicon)},
      {"TPOBJ_NRULES:DEFAULT", rules},
      {lts_manager ? "TPOBJ_CCART:SMALL" : "TPOBJ_CCART:DEFAULT", nullptr, cart_image}};
  if (lts_manager) objects.push_back({"TPOBJ_LTSMGR:DEFAULT", nullptr, TextObject("small:1")});
  orvelle_test::WriteTestDb(path, objects);
  QLTP_ccart_delete(cart);
  QLTP_lts_delete(set);
  QLTP_nrules_delete(rules);
  return path;
}

// One word token: its norm, features and tags ("name" then attribute pairs).
struct TokenSpec {
  std::string norm;
  bool continues = false;
  std::vector<std::vector<std::string>> tags = {};
  int lex_type = QLTP_TAG_STARTEND;
};

// A channel of the tokeniser type over the test database (with this lexicon),
// a token pool and the stage; freed together.
class Stage {
 public:
  explicit Stage(const std::string& settings = "", const std::string& lexicon = kLexicon, bool lts_manager = false) {
    db = QLTP_tpdb_new(nullptr);
    QLTP_tpdb_load(db, TestDatabase(dir, lexicon, lts_manager).c_str());
    std::string settings_path;
    if (!settings.empty()) {
      settings_path = dir.Path("settings.xml");
      std::ofstream(settings_path) << "<tpconfig>" << settings << "</tpconfig>";
    }
    ch = QLTP_tpc_newtype(db, settings_path.empty() ? nullptr : settings_path.c_str(), 0, "J", QLTP_TPC_TK);
    QLTP_logger_set_store(ch->log);
    QLTP_logger_set_level(ch->log, QLTP_LOGGER_DEBUG);
    pool = QLTP_toxpool_new(4, 64, 256);
    ch->pool = pool;
    ch->pronouncer = stage = QLTP_pronounce_new(ch);
    input = QLTP_voidparray_new();
  }
  ~Stage() {
    ch->pronouncer = nullptr;
    QLTP_pronounce_delete(stage);
    QLTP_voidparray_delete(input);
    ch->pool = nullptr;
    QLTP_tpc_delete(ch);
    QLTP_toxpool_delete(pool);
    QLTP_tpdb_delete(db);
  }
  Stage(const Stage&) = delete;
  Stage& operator=(const Stage&) = delete;

  // Runs the stage on one spurt of the tokens; gives the tokens.
  std::vector<toxtoken*> Run(const std::vector<TokenSpec>& specs) {
    QLTP_toxpool_clear(pool);
    QLTP_voidparray_clear(input);
    toxspurt* spurt = QLTP_toxpool_spurt(pool);
    QLTP_toxspurt_setparent(spurt, input);
    std::vector<toxtoken*> tokens;
    for (const TokenSpec& spec : specs) {
      toxtoken* token = QLTP_toxpool_token(pool);
      QLTP_toxtoken_setparent(token, spurt);
      QLTP_toxtoken_set(token, spec.norm.c_str(), -1);
      QLTP_toxtoken_set_norm(token, spec.norm.c_str(), -1);
      QLTP_toxtoken_setfeat(token, QLTP_FEAT_WORD_CONTINUES, spec.continues);
      for (const auto& t : spec.tags) {
        toxtag* tag = QLTP_toxpool_tag(pool);
        QLTP_toxtag_init(tag, token, t[0].c_str(), -1, t[0] == "lex" ? spec.lex_type : QLTP_TAG_STARTEND);
        for (size_t i = 1; i + 1 < t.size(); i += 2)
          QLTP_toxtag_set_attrib(tag, t[i].c_str(), -1, t[i + 1].c_str(), -1);
        QLTP_toxtoken_addtag(token, tag);
      }
      QLTP_toxspurt_add(spurt, token);
      tokens.push_back(token);
    }
    QLTP_voidparray_add(input, spurt);
    voidparray* out = QLTP_pronounce_process(stage, input, 1);
    EXPECT_EQ(QLTP_voidparray_sz(out), 1);
    return tokens;
  }

  bool Logged(const std::string& text) const {
    for (int i = 0; const char* line = QLTP_logger_msg(ch->log, i); ++i)
      if (std::string(line).find(text) != std::string::npos) return true;
    return false;
  }

  orvelle_test::ScratchDir dir;  // the database and settings files
  tpdb* db;
  channel* ch;
  toxpool* pool;
  pronounce* stage;
  voidparray* input;
};

std::string Val(const toxtoken* token, const char* name, const char* attribute) {
  const char* v = QLTP_toxtoken_tagval(token, name, attribute);
  return v ? v : "<none>";
}

// What the stage's default trees say for a word, as phonemes.
std::string Models(Stage& s, const char* word) {
  dystr* padded = QLTP_dystr_new(nullptr, 0);
  dystr* out = QLTP_dystr_new(nullptr, 0);
  complkp_lkp* cursor = QLTP_lexmgr_cursor(s.stage->lexicons);
  const char* r = QLTP_runccart(s.stage->default_trees, word, nullptr, 0, padded, out, s.stage->lexicons, cursor, "");
  std::string phones = r ? r : "";
  QLTP_complkp_lkp_delete(cursor);
  QLTP_dystr_delete(padded);
  QLTP_dystr_delete(out);
  for (char& c : phones)
    if (c == '_') c = ' ';
  return phones.substr(std::min(phones.size(), phones.find_first_not_of(' ')));
}

TEST(PronounceTest, GivesEveryWordItsPhonemes) {
  struct Case {
    const char* what;
    std::vector<TokenSpec> tokens;
    std::vector<std::string> phonemes;  // per token
    std::map<std::string, std::string> first_lex = {};  // more "lex" attributes of the first token
    const char* logged = nullptr;
  };
  const Case cases[] = {
      {"lexicon", {{"cat"}}, {"k a1 t"}, {{"ltsused", "<none>"}}},
      {"letter-to-sound", {{"ab"}}, {"ae1 b"}, {{"ltsused", "true"}}},
      {"given qrln phones", {{"zzz", false, {{"lex", "phonemes", "t a1 k"}}}}, {"t a1 k"}, {},
       "Overiding pronunciation : zzz"},
      {"given upper-case names", {{"zzz", false, {{"lex", "phonemes", "K A1"}}}}, {"K A1"}},
      {"given digits only", {{"cat", false, {{"lex", "phonemes", "1 2"}}}}, {"k a1 t"}, {},
       "Invalid pronunciation in lex : 1 2"},
      {"given unknown phone", {{"cat", false, {{"lex", "phonemes", "k o1 t"}}}}, {"k a1 t"}, {},
       "Invalid pronunciation in lex : k o1 t"},
      {"given in the phone set's alphabet",
       {{"zzz", false, {{"lex", "phonemes", "ˈkaːt", "phoneset", "IPA"}}}},
       {"k aa1 t"},
       {{"orgipa", "ˈkaːt"}, {"phoneset", "qrln_converted"}}},
      {"given in the voice's own alphabet", {{"zzz", false, {{"lex", "phonemes", "k a1", "phoneset", "Default"}}}},
       {"k a1"}, {{"orgipa", "<none>"}, {"phoneset", "Default"}}},
      {"given in an unknown alphabet", {{"zzz", false, {{"lex", "phonemes", "K", "phoneset", "x-sampa"}}}}, {"K"},
       {}, "PRONOUNCE [WARN] phoneset conversion : unknown alphabet : x-sampa"},
      {"closed tag: lexicon, then the given text",
       {{"cat", false, {{"lex", "phonemes", "x"}}, QLTP_TAG_CLOSED}}, {"k a1 t x"}},
      {"a word over two tokens", {{"cat", true}, {"kat"}}, {"k a1 t k a0 t", ""}},
      {"a word whose end is missing", {{"cat", true}}, {"k a1 t"}, {},
       "No token found after morpheme boundary, something is seriously wrong : cat"},
      // c has neither a letter entry nor a tree: it adds nothing.
      {"spelled although the lexicon has it", {{"tact", false, {{"lex", "lts", "spell"}}}}, {"t a1 t"},
       {{"ltsused", "<none>"}}},
      {"no vowel: spelled", {{"tkt"}}, {"t k t"}, {{"ltsused", "<none>"}}},
      {"reduced entry", {{"tat", false, {{"lex", "entry", "reduced"}}}}, {"t a0 t"}},
      {"reduced entry under a voice's slang", {{"tat", false, {{"voice", "slang", "x"}, {"lex", "entry", "reduced"}}}},
       {"t a1 t"}},
      {"empty norm", {{"", false, {{"lex"}}, QLTP_TAG_START}}, {"<none>"}},
  };
  Stage s;
  ASSERT_NE(s.stage, nullptr);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const std::vector<toxtoken*> tokens = s.Run(c.tokens);
    for (size_t i = 0; i < tokens.size(); ++i) {
      EXPECT_EQ(Val(tokens[i], "lex", "phonemes"), c.phonemes[i]) << i;
      toxtag* lex = QLTP_toxtoken_gettag(tokens[i], "lex");
      ASSERT_NE(lex, nullptr);
      EXPECT_EQ(QLTP_toxtag_type(lex), QLTP_TAG_STARTEND);
      // The "lex" tag ends the token's tag list.
      EXPECT_EQ(QLTP_toxtoken_tagidx(tokens[i], QLTP_toxtoken_notags(tokens[i]) - 1), lex);
    }
    for (const auto& [attribute, value] : c.first_lex)
      EXPECT_EQ(Val(tokens[0], "lex", attribute.c_str()), value) << attribute;
    if (c.logged) {
      EXPECT_TRUE(s.Logged(c.logged)) << c.logged;
    }
  }
  EXPECT_FALSE(s.Logged("unknown alphabet : Default"));
  EXPECT_EQ(QLTP_tpc_get_ipa(s.ch), s.stage->ipa);
}

TEST(PronounceTest, SettingsChooseSpellingAndFullForms) {
  // Only "True" spells a word without vowels (the settings reader turns
  // "true" and "TRUE" into "True"); otherwise it goes to letter-to-sound.
  const struct {
    const char* novowel_spell;
    bool spelled;
  } cases[] = {{"True", true}, {"true", true}, {"tRue", false}, {"False", false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.novowel_spell);
    Stage s(std::string("<pronounce novowel_spell='") + c.novowel_spell + "'/><syllabify slang='casual'/>");
    std::vector<toxtoken*> t = s.Run({{"tkt"}, {"tat", false, {{"lex", "entry", "reduced"}}}});
    EXPECT_EQ(Val(t[0], "lex", "phonemes"), c.spelled ? "t k t" : Models(s, "tkt"));
    EXPECT_EQ(Val(t[0], "lex", "ltsused"), c.spelled ? "<none>" : "true");
    EXPECT_EQ(Val(t[1], "lex", "phonemes"), "t a1 t");  // the slang setting prefers the full form
  }
}

TEST(PronounceTest, LetterToSoundManagerAnswersWhenTheChannelHasOne) {
  Stage s("", kLexicon, true);
  ASSERT_NE(s.stage->lts, nullptr);
  EXPECT_EQ(s.stage->default_trees, nullptr);
  std::vector<toxtoken*> t = s.Run({{"ab"}, {"ab", false, {{"lex", "ltsname", "small"}}}, {"tab", false, {{"lex", "lts", "spell"}}}});
  EXPECT_EQ(Val(t[0], "lex", "phonemes"), "ae1 b");
  EXPECT_EQ(Val(t[0], "lex", "ltsused"), "true");
  EXPECT_EQ(Val(t[1], "lex", "phonemes"), "ae1 b");
  EXPECT_EQ(Val(t[2], "lex", "phonemes"), "t a1 b");  // b has no letter entry: its tree answers
}

TEST(PronounceTest, JapaneseTokensGetAccentTypeAndMorae) {
  Stage s;
  std::vector<toxtoken*> t = s.Run({{"konnichiwa", false, {{"jtag"}}}, {"hashiga", false, {{"jtag"}}}, {"cat"}});
  EXPECT_EQ(Val(t[0], "jtag", "atype"), "1");
  EXPECT_EQ(Val(t[0], "jtag", "mora"), "5");
  EXPECT_EQ(Val(t[1], "jtag", "atype"), "2");
  EXPECT_EQ(Val(t[1], "jtag", "mora"), "3");
  EXPECT_EQ(Val(t[2], "jtag", "atype"), "<none>");
}

TEST(PronounceTest, MissingPiecesGiveNoStageOrNoPronunciation) {
  EXPECT_EQ(QLTP_pronounce_new(nullptr), nullptr);
  channel* ch = QLTP_tpc_newtype(nullptr, nullptr, 0, "J", QLTP_TPC_TK);
  EXPECT_EQ(QLTP_pronounce_new(ch), nullptr);
  EXPECT_EQ(QLTP_tpc_get_ipa(ch), nullptr);
  EXPECT_EQ(QLTP_tpc_add_pls(ch, "/nonexistent", "x", -1), 0);
  QLTP_tpc_delete(ch);

  Stage s;
  s.ch->pool = nullptr;  // no tags to be had
  std::vector<toxtoken*> t = s.Run({{"cat"}});
  EXPECT_EQ(Val(t[0], "lex", "phonemes"), "<none>");
  EXPECT_TRUE(s.Logged("No tags available pronunciation not set : cat"));
  s.ch->pool = s.pool;
}

TEST(PronounceTest, AddedLexiconDocumentReplacesOneOfTheSameName) {
  Stage s;
  const std::string doc = s.dir.Path("added.pls");
  std::ofstream(doc) << "<lexicon version='1.0' alphabet='ipa' xml:lang='en'><lexeme><grapheme>Cat</grapheme>"
                        "<phoneme>ˈtaːk</phoneme></lexeme></lexicon>";
  ASSERT_EQ(QLTP_tpc_add_pls(s.ch, doc.c_str(), "user", 0), 1);
  EXPECT_EQ(Val(s.Run({{"cat"}})[0], "lex", "phonemes"), "t aa1 k");
  std::ofstream(doc) << "<lexicon version='1.0' alphabet='qrln' xml:lang='en'><lexeme><grapheme>cat</grapheme>"
                        "<phoneme>k a0</phoneme></lexeme></lexicon>";
  ASSERT_EQ(QLTP_tpc_add_pls(s.ch, doc.c_str(), "user", 0), 1);
  EXPECT_EQ(Val(s.Run({{"cat"}})[0], "lex", "phonemes"), "k a0");
  EXPECT_EQ(QLTP_strarray_sz(s.stage->lexicons->names), 2);
  EXPECT_EQ(QLTP_tpc_add_pls(s.ch, "/nonexistent.pls", "user", 0), 0);
  EXPECT_EQ(QLTP_tpc_add_pls(s.ch, doc.c_str(), nullptr, 0), 0);
}

// With the CMU dictionary as the lexicon every word's first pronunciation
// comes back through the stage.
TEST(PronounceTest, CmuDictionaryWordsComeBackThroughTheStage) {
  const std::vector<orvelle_test::CmuEntry> entries = orvelle_test::ReadCmuDict();
  ASSERT_EQ(entries.size(), 105901u);
  std::string lexicon = "main\n";
  std::map<std::string, std::string> first;
  std::vector<std::string> words;
  for (const auto& e : entries) {
    const std::string pron = orvelle_test::CmuToQrln(e, '_');
    lexicon += e.word + " " + pron + "\n";
    if (first.emplace(e.word, orvelle_test::CmuToQrln(e, ' ')).second) words.push_back(e.word);
  }
  Stage s("", lexicon);
  size_t wrong = 0;
  for (size_t at = 0; at < words.size(); at += 2000) {
    std::vector<TokenSpec> specs;
    for (size_t i = at; i < words.size() && i < at + 2000; ++i) specs.push_back({words[i]});
    const std::vector<toxtoken*> tokens = s.Run(specs);
    for (size_t i = 0; i < tokens.size(); ++i)
      if (Val(tokens[i], "lex", "phonemes") != first[words[at + i]] && ++wrong <= 10)
        ADD_FAILURE() << words[at + i] << ": " << Val(tokens[i], "lex", "phonemes");
  }
  EXPECT_EQ(wrong, 0u);
}

}  // namespace
