#include "linguistics/postagger.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <random>
#include <regex>
#include <string>
#include <vector>

#include "foundation/logger.h"
#include "foundation/serial.h"
#include "foundation/strmap.h"
#include "foundation/config.h"
#include "foundation/toxtoken.h"
#include "spurt_stage.h"
#include "test_db.h"
#include "textproc/channel.h"
#include "textproc/normalise.h"
#include "textproc/nrules.h"

namespace {

using orvelle_test::LoadedDb;
using orvelle_test::SpurtStage;
using orvelle_test::ScratchDir;
using orvelle_test::WriteTestDb;

const char kPos[] =
    "DEFAULT nn\n"
    "DEFAULT nnp\n"
    "# affix rules\n"
    "P un jj\n"
    "S ing vbg\n"
    "W the dt\n"
    "S x\n"
    "S &#95;x &#95;sfx\n"
    "\n"
    "not read\n"
    "# entries\n"
    "walk 1:vb|X 2:nn|dt_X 2:vbz|X_[nn] 3:vb|(to)_X_[dt]_ignored\n"
    "a&#95;b 2:sym|dt_X 1:nn|X\n"
    "unending 1:adj|X\n"
    "walk 1:vbp|X\n"
    "bad 0:nn|X -1:nn|X 1:nn|X_X 3:nn|X_y 1|X:nn nocolon 1:nn\n"
    "quoted 1:&quot;&lt;&#x41;&#66;&gt;&apos;&amp;|X\n"
    "\n"
    "never 1:nn|X\n";

struct Pos {
  pos* d;
  explicit Pos(pos* dictionary) : d(dictionary) {}
  ~Pos() { QLTP_pos_delete(d); }
};

// The mode-0 tag and the tag of «<previous>_<word>».
std::pair<std::string, std::string> Tags(const pos* d, const char* previous, const char* word) {
  const char* alone = nullptr;
  const char* with_left = QLTP_pos_getpos(nullptr, d, previous, word, &alone);
  return {alone, with_left};
}

std::string Image(void* object, const char* kind = "TPOBJ_POSTAGS:X") {
  return orvelle_test::KindImage(kind, object, false);
}

void ExpectPos(const pos* d) {
  ASSERT_NE(d, nullptr);
  EXPECT_STREQ(d->default_tag, "nnp");
  EXPECT_EQ(QLTP_dystrarray_sz(d->affix_patterns), 4);  // "S x" has no tag
  EXPECT_EQ(QLTP_dystrarray_sz(d->affix_tags), 4);
  EXPECT_EQ(QLTP_dict_size(d->keys), QLTP_strarray_sz(d->tags));
  struct Case {
    const char *previous, *word, *alone, *with_left;
  };
  const Case cases[] = {
      {"^", "zebra", "nnp", "nnp"},         // default tag
      {"^", "running", "vbg", "vbg"},       // suffix
      {"^", "undoing", "jj", "jj"},         // prefix and suffix: the rule written first
      {"^", "unending", "adj", "adj"},      // the entry beats the rules
      {"^", "ing", "nnp", "nnp"},           // a suffix must be shorter than the word
      {"^", "the", "dt", "dt"},             // whole word
      {"^", "walk", "vbp", "vbp"},          // a later entry replaces the earlier
      {"dt", "walk", "vbp", "nn"},          // «dt_walk»
      {"jj", "walk", "vbp", "vbp"},
      {"dt", "a_b", "nn", "sym"},           // '_' escaped in every key, the word's own too
      {"^", "a_b", "nn", "nn"},
      {"^", "a&#95;b", "nn", "nn"},         // the word as written first: the key itself
      {"^", "y&#95;x", "_sfx", "_sfx"},    // affixes are kept as written
      {"^", "quoted", "\"<AB>'&", "\"<AB>'&"},
      {"^", "bad", "nnp", "nnp"},
      {"^", "never", "nnp", "nnp"},         // sections after the entries are not read
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.previous) + " " + c.word);
    EXPECT_EQ(Tags(d, c.previous, c.word), std::make_pair(std::string(c.alone), std::string(c.with_left)));
  }
  auto tag_of = [d](const char* key) {
    int id = QLTP_dict_lookup_word(d->keys, key, -1);
    return id ? std::string(QLTP_strarray_idx(d->tags, id - 1)) : std::string("<none>");
  };
  EXPECT_EQ(tag_of("walk_[nn]"), "vbz");
  EXPECT_EQ(tag_of("(to)_walk_[dt]"), "vb");  // parts beyond N are ignored
  EXPECT_EQ(tag_of("dt_a&#95;b"), "sym");
  EXPECT_EQ(tag_of("bad"), "<none>");
  EXPECT_EQ(tag_of("bad_y"), "<none>");
}

TEST(PosTest, ReadsSectionsAffixesContextKeysAndReportsBadItems) {
  ScratchDir dir;
  testing::internal::CaptureStderr();
  Pos d(QLTP_deserialise_pos(kPos));
  std::string errors = testing::internal::GetCapturedStderr();
  ExpectPos(d.d);
  EXPECT_EQ(errors,
            "Invalid token encountered in POS: 0:nn|X\n"
            "Invalid token encountered in POS: -1:nn|X\n"
            "Invalid token encountered in POS: 1:nn|X_X\n"
            "Invalid token encountered in POS: 3:nn|X_y\n"
            "Invalid token encountered in POS: 1|X:nn\n");

  std::string path = dir.Path("pos.txt");
  orvelle_test::WriteFile(path, kPos);
  testing::internal::CaptureStderr();
  Pos from_file(QLTP_postags_readtxt(path.c_str()));
  testing::internal::GetCapturedStderr();
  EXPECT_EQ(Image(from_file.d), Image(d.d));
  std::remove(path.c_str());
  testing::internal::CaptureStdout();
  EXPECT_EQ(QLTP_postags_readtxt(path.c_str()), nullptr);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "Can't open file: " + path + "\n");
}

// Tags are unescaped; references that name no character are dropped like
// unknown names, and an '&' without a ';' after it ends the decoding.
TEST(PosTest, UnescapesTagsAndDropsReferencesToNoCharacter) {
  const std::pair<const char*, const char*> cases[] = {
      {"a&amp;b", "a&b"},
      {"&#x41;&#X42;&#67;", "ABC"},
      {"&#xe9;&#8364;", "\xc3\xa9\xe2\x82\xac"},
      {"&#x10FFFF;", "\xf4\x8f\xbf\xbf"},
      {"a&#0;b", "ab"},
      {"a&#xD800;b&#xdfff;c", "abc"},
      {"a&#x110000;b", "ab"},
      {"a&#99999999999999999999999;b", "ab"},
      {"a&#xFFFFFFFFFFFFFFFF41;b", "ab"},
      {"a&#;&#x;&#12z;b", "ab"},
      {"a&nbsp;b", "ab"},
      {"a&b", "a&b"},
      {"&lt;x&gt;&amp", "<x>&amp"},
      {"&#95;&#35;&#58;&#124;", "_#:|"},
  };
  for (auto [escaped, want] : cases) {
    SCOPED_TRACE(escaped);
    Pos d(QLTP_deserialise_pos((std::string("DEFAULT ") + escaped + "\n").c_str()));
    ASSERT_NE(d.d, nullptr);
    EXPECT_STREQ(d.d->default_tag, want);
  }
}

TEST(PosTest, OlderAffixMatcherTakesTheFirstPatternThatFits) {
  strarray* patterns = QLTP_strarray_new();
  strarray* tags = QLTP_strarray_new();
  intarray* kinds = QLTP_intarray_new();
  for (auto [p, k, t] : {std::tuple{"un", 0, "jj"}, {"ing", 1, "vbg"}, {"the", 2, "dt"}}) {
    QLTP_strarray_add(patterns, p, -1);
    QLTP_intarray_add(kinds, k);
    QLTP_strarray_add(tags, t, -1);
  }
  const std::pair<const char*, const char*> cases[] = {
      {"undoing", "jj"}, {"doing", "vbg"}, {"ing", ""}, {"the", "dt"}, {"then", ""}, {"", ""}};
  for (auto [word, want] : cases) EXPECT_STREQ(QLTP_regexpostagger_match(word, patterns, kinds, tags), want) << word;
  EXPECT_STREQ(QLTP_regexpostagger_match(nullptr, patterns, kinds, tags), "");
  QLTP_strarray_delete(patterns);
  QLTP_strarray_delete(tags);
  QLTP_intarray_delete(kinds);
}

// write -> database (both byte orders) -> load -> write gives the same bytes.
TEST(PosTest, DictionaryAndPosSetsRoundTripThroughDatabases) {
  ScratchDir dir;
  testing::internal::CaptureStderr();
  Pos d(QLTP_deserialise_pos(kPos));
  testing::internal::GetCapturedStderr();
  hashstrarray* sets = QLTP_deserialise_hashstrarray("nn 1\nvb 2\ndt 17\n");
  std::string image = Image(d.d), sets_image = Image(sets, "TPOBJ_POSSETS:X");
  ASSERT_FALSE(image.empty());
  ASSERT_FALSE(sets_image.empty());
  for (bool swapped : {false, true}) {
    SCOPED_TRACE(swapped);
    std::string path = dir.Path("pos.tpdb");
    WriteTestDb(path, {{"TPOBJ_POSTAGS:DEFAULT", d.d}, {"TPOBJ_POSSETS:DEFAULT", sets}}, swapped);
    LoadedDb db(path);
    ASSERT_TRUE(db.loaded());
    auto* loaded = db.Get<pos>("TPOBJ_POSTAGS:DEFAULT");
    auto* loaded_sets = db.Get<hashstrarray>("TPOBJ_POSSETS:DEFAULT");
    ExpectPos(loaded);
    ASSERT_NE(loaded_sets, nullptr);
    EXPECT_STREQ(QLTP_hashstrarray_lookup(loaded_sets, "dt", -1), "17");
    EXPECT_EQ(Image(loaded), image);
    EXPECT_EQ(Image(loaded_sets, "TPOBJ_POSSETS:X"), sets_image);
    std::remove(path.c_str());
  }
  QLTP_hashstrarray_delete(sets);

  std::string path = dir.Path("pos.bin");
  auto [written, file_image] = orvelle_test::WriterImage(d.d, QLTPPy_postags_write);
  ASSERT_EQ(written, 1);
  orvelle_test::WriteFile(path, file_image);
  Pos loaded(QLTPPy_pos_load(path.c_str()));
  ExpectPos(loaded.d);
  std::remove(path.c_str());
}

TEST(PosTest, CorruptStoredDictionariesAreRefusedWithCode13) {
  ScratchDir dir;
  testing::internal::CaptureStderr();
  Pos good(QLTP_deserialise_pos(kPos));
  Pos short_affix_tags(QLTP_deserialise_pos(kPos));
  Pos short_tags(QLTP_deserialise_pos(kPos));
  testing::internal::GetCapturedStderr();
  QLTP_dystrarray_remove(short_affix_tags.d->affix_tags, 0);
  QLTP_strarray_remove_item(short_tags.d->tags, 0);
  hashstrarray* sets = QLTP_deserialise_hashstrarray("nn 1\n");
  std::string image = Image(good.d), sets_image = Image(sets, "TPOBJ_POSSETS:X");
  QLTP_hashstrarray_delete(sets);

  std::string path = dir.Path("corrupt_pos.tpdb");
  WriteTestDb(path, {{"TPOBJ_POSTAGS:AFFIX", short_affix_tags.d},
                     {"TPOBJ_POSTAGS:TAGS", short_tags.d},
                     {"TPOBJ_POSTAGS:TRAILING", nullptr, image + "z"},
                     {"TPOBJ_POSTAGS:CUT", nullptr, image.substr(0, image.size() - 1)},
                     {"TPOBJ_POSSETS:CUT", nullptr, sets_image.substr(0, sets_image.size() - 1)},
                     {"TPOBJ_POSTAGS:DEFAULT", good.d}});
  LoadedDb db(path);
  ASSERT_TRUE(db.loaded());
  for (const char* name : {"TPOBJ_POSTAGS:AFFIX", "TPOBJ_POSTAGS:TAGS", "TPOBJ_POSTAGS:TRAILING",
                           "TPOBJ_POSTAGS:CUT", "TPOBJ_POSSETS:CUT"})
    EXPECT_EQ(db.Get<void>(name), nullptr) << name;
  EXPECT_TRUE(db.Reported(QLTP_ERROR_CORRUPT_FILE, "Corrupted object : TPOBJ_POSTAGS"));
  EXPECT_TRUE(db.Reported(QLTP_ERROR_CORRUPT_FILE, "Corrupted object : TPOBJ_POSSETS"));
  ExpectPos(db.Get<pos>("TPOBJ_POSTAGS:DEFAULT"));
  std::remove(path.c_str());

  // A default tag the length byte cannot hold has no stored form.
  Pos long_tag(QLTP_deserialise_pos(("DEFAULT " + std::string(256, 't') + "\n").c_str()));
  EXPECT_EQ(QLTP_tpobj_postags_write(long_tag.d, nullptr, 0), 0);
  EXPECT_EQ(QLTPPy_postags_write(long_tag.d, nullptr), 0);
  Pos longest_tag(QLTP_deserialise_pos(("DEFAULT " + std::string(255, 't') + "\n").c_str()));
  EXPECT_GT(QLTP_tpobj_postags_write(longest_tag.d, nullptr, 0), 255);
}

// Mutated images and random text: no crash, and whatever is accepted keeps
// its arrays paired.
TEST(PosTest, RandomImagesAndTextNeverBreakTheReaders) {
  testing::internal::CaptureStderr();
  Pos good(QLTP_deserialise_pos(kPos));
  std::string seed = Image(good.d);
  std::mt19937 rng(6121);
  int accepted = 0;
  for (int round = 0; round < 3000; ++round) {
    std::string bytes = seed;
    orvelle_test::MutateImage(bytes, rng);
    FILE* f = fmemopen(bytes.data(), bytes.size() ? bytes.size() : 1, "rb");
    ASSERT_NE(f, nullptr);
    Pos d(QLTP_pos_read(f, static_cast<int>(rng() % 2)));
    std::fclose(f);
    if (d.d) {
      ++accepted;
      ASSERT_EQ(QLTP_dict_size(d.d->keys), QLTP_strarray_sz(d.d->tags));
      ASSERT_EQ(QLTP_dystrarray_sz(d.d->affix_patterns), QLTP_dystrarray_sz(d.d->affix_tags));
      Tags(d.d, "dt", "walking");
    }

    std::string text;
    for (int i = 0, n = static_cast<int>(rng() % 120); i < n; ++i) text += "\n\n #:|_&;xX12-aPSW[]()"[rng() % 21];
    Pos t(QLTP_deserialise_pos(text.c_str()));
    ASSERT_NE(t.d, nullptr);
    ASSERT_EQ(QLTP_dict_size(t.d->keys), QLTP_strarray_sz(t.d->tags)) << text;
    ASSERT_EQ(QLTP_dystrarray_sz(t.d->affix_patterns), QLTP_dystrarray_sz(t.d->affix_tags)) << text;
    Tags(t.d, "X", "PX");
  }
  testing::internal::GetCapturedStderr();
  EXPECT_GT(accepted, 0);
}

// A dictionary made from a real tagged lexicon (each word's most probable
// tag) tags every word of the lexicon with its own tag, after a trip through
// a database.
TEST(PosTest, RealLexiconTagsEveryWordWithItsMostProbableTag) {
  ScratchDir dir;
  const std::string lexicon = "/usr/share/festival/dicts/wsj.wp39.poslexR";
  std::ifstream in(lexicon);
  ASSERT_TRUE(in) << lexicon << " is missing: run scripts/setup.sh";
  std::string text_path = dir.Path("poslex.txt");
  std::string command = std::string(ORVELLE_PYTHON) + " " + ORVELLE_SOURCE_DIR +
                        "/tests/linguistics/poslex_to_pos.py " + lexicon + " " + text_path;
  ASSERT_EQ(std::system(command.c_str()), 0) << command;
  Pos text(QLTP_postags_readtxt(text_path.c_str()));
  ASSERT_NE(text.d, nullptr);
  std::string db_path = dir.Path("poslex.tpdb");
  WriteTestDb(db_path, {{"TPOBJ_POSTAGS:DEFAULT", text.d}});
  LoadedDb db(db_path);
  const pos* d = db.Get<pos>("TPOBJ_POSTAGS:DEFAULT");
  ASSERT_NE(d, nullptr);

  // The expected tags, read here independently of the converter.
  const std::regex entry(R"re(^\("([^"]+)" \(((?:\(\S+ \S+\) )+)\))re");
  const std::regex pair(R"re(\((\S+) (\S+)\))re");
  std::string line;
  std::map<std::string, std::string> expected;
  int words = 0, escaped = 0;
  while (std::getline(in, line)) {
    std::smatch m;
    if (!std::regex_search(line, m, entry)) continue;
    ++words;
    std::string word = m[1], pairs = m[2], best;
    double best_p = -1e300;
    for (std::sregex_iterator it(pairs.begin(), pairs.end(), pair), end; it != end; ++it) {
      double p = std::strtod((*it)[2].str().c_str(), nullptr);
      if (p > best_p) best_p = p, best = (*it)[1];
    }
    // Keys are stored escaped; words holding the escaped bytes are found too.
    escaped += word.find_first_of("#&:_|") != std::string::npos;
    expected[word] = best;
    ASSERT_EQ(Tags(d, "^", word.c_str()).first, best) << word;
  }
  EXPECT_GT(words, 30000);
  EXPECT_GE(escaped, 20);
  EXPECT_EQ(QLTP_dict_size(d->keys), words);
  EXPECT_EQ(Tags(d, "^", "zzzzing").first, "vbg");

  // English text through the stage, one pass: every word the lexicon knows
  // gets its own tag.
  std::ifstream licence("/usr/share/common-licenses/GPL-3");
  ASSERT_TRUE(licence) << "/usr/share/common-licenses/GPL-3 is missing";
  channel* ch = QLTP_tpc_newtype(db.db, nullptr, 0, "JOB", QLTP_TPC_TK);
  config* cfg = QLTP_config_new("tpconfig", 8);
  ASSERT_TRUE(QLTP_config_loads(cfg, std::vector<const char*>{"<tpconfig><postagger iterations='0'/></tpconfig>", ""}.data()));
  QLTP_configsettings_delete(ch->settings);
  ch->settings = QLTP_configsettings_new(cfg, nullptr);
  toxpool* pool = QLTP_toxpool_new(1, 1024, 16);
  postagger* tagger = QLTP_postagger_new(ch);
  voidparray* stream = QLTP_voidparray_new();
  std::string word;
  while (licence >> word) {
    size_t b = word.find_first_not_of("(\"',.;:"), e = word.find_last_not_of(")\"',.;:");
    if (b == std::string::npos) continue;
    word = word.substr(b, e - b + 1);
    toxtoken* t = QLTP_toxpool_token(pool);
    QLTP_toxtoken_setparent(t, stream);
    QLTP_toxtoken_set(t, word.c_str(), -1);
    QLTP_toxtoken_set_norm(t, word.c_str(), -1);
    QLTP_voidparray_add(stream, t);
  }
  voidparray* out = QLTP_postagger_process(tagger, stream, 1);
  ASSERT_EQ(QLTP_voidparray_sz(out), QLTP_voidparray_sz(stream));
  int known = 0;
  for (int i = 0; i < QLTP_voidparray_sz(out); ++i) {
    const toxtoken* t = QLTP_toxtoken_cast(QLTP_voidparray_idx(out, i));
    auto it = expected.find(QLTP_toxtoken_getnorm(t));
    if (it == expected.end()) continue;
    ++known;
    ASSERT_EQ(std::string(QLTP_toxtoken_getpos(t)), it->second + "_3") << it->first;
  }
  EXPECT_GT(known, 4000);
  QLTP_postagger_delete(tagger);
  QLTP_voidparray_delete(stream);
  QLTP_toxpool_delete(pool);
  QLTP_tpc_delete(ch);
  std::remove(text_path.c_str());
  std::remove(db_path.c_str());
}

// Each mode on a zero-filled context with only the word set: the missing
// neighbours and tag read as "". Mode 0 tries the word as written before
// its escaped form.
TEST(PosTest, ContextModesReadMissingNeighboursAsEmpty) {
  Pos d(QLTP_deserialise_pos("D nn\n#\n#\n-\n#\n"
                             "w 2:e1|_X 2:e2|X_[] 2:e3|()_X 2:e4|X_() 3:e5|_X_[]\n"
                             "x_y 1:plain|X\nx&#95;y 1:escaped|X\nu&#95;v 1:only-escaped|X\n"));
  const struct {
    const char* word;
    int mode;
    const char* want;
  } cases[] = {
      {"w", 0, "nn"}, {"w", 1, "e1"}, {"w", 2, "e2"}, {"w", 3, "e3"}, {"w", 4, "e4"}, {"w", 5, "e5"},
      {"w", 6, ""},   {"z", 1, ""},   {"x_y", 0, "plain"}, {"u_v", 0, "only-escaped"}, {"x&#95;y", 0, "escaped"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.word) + " mode " + std::to_string(c.mode));
    pos_ctxt context{};
    context.word = c.word;
    EXPECT_STREQ(QLTP_pos_getpos_ctxt(nullptr, nullptr, d.d, &context, c.mode), c.want);
    EXPECT_STREQ(context.tag, c.want);
  }
}

// ---------------------------------------------------------------------------
// The stage

// Each mode has its own answer for a lone "w", so the tag tells how many
// passes ran; "dog" after "the" shows the left neighbour's tag of this pass.
const char kModes[] =
    "DEFAULT nn\n"
    "# affixes\n"
    "# not read\n"
    "-\n"
    "# entries\n"
    "w 1:t0|X 2:t1|^_X 2:t2|X_[$] 2:t3|(^)_X 2:t4|X_($) 3:t5|^_X_[$]\n"
    "the 1:dt|X\n"
    "dog 1:vb|X 2:nn|dt_X\n";

struct Tagger {
  pos* dictionary;
  hashstrarray* sets = QLTP_deserialise_hashstrarray("t2 7\ndt 1\nnn 2\n");
  SpurtStage stage;
  postagger* tagger = nullptr;
  std::vector<voidparray*> streams;

  // iterations: the setting's text, or NULL for none.
  explicit Tagger(const char* iterations, const char* text = kModes)
      : dictionary(QLTP_deserialise_pos(text)),
        stage({{"TPOBJ_POSTAGS:DEFAULT", dictionary}, {"TPOBJ_POSSETS:DEFAULT", sets}}) {
    config* cfg = QLTP_config_new("tpconfig", 8);
    std::string doc = "<tpconfig>";
    if (iterations) doc += std::string("<postagger iterations='") + iterations + "'/>";
    doc += "</tpconfig>";
    EXPECT_TRUE(QLTP_config_load(cfg, doc.c_str(), static_cast<int>(doc.size())));
    QLTP_configsettings_delete(stage.ch->settings);
    stage.ch->settings = QLTP_configsettings_new(cfg, nullptr);
    tagger = QLTP_postagger_new(stage.ch);
    stage.ch->pos_tagger = tagger;
  }
  ~Tagger() {
    stage.ch->pos_tagger = nullptr;
    QLTP_postagger_delete(tagger);
    for (voidparray* s : streams) QLTP_voidparray_delete(s);
    QLTP_pos_delete(dictionary);
    QLTP_hashstrarray_delete(sets);
  }
  // A stream of tokens whose text and normalised text are the words.
  voidparray* Stream(const std::vector<std::string>& words) {
    voidparray* stream = QLTP_voidparray_new();
    streams.push_back(stream);
    for (const auto& w : words) {
      toxtoken* t = QLTP_toxpool_token(stage.pool);
      QLTP_toxtoken_setparent(t, stream);
      QLTP_toxtoken_set(t, w.c_str(), -1);
      QLTP_toxtoken_set_norm(t, w.c_str(), -1);
      QLTP_voidparray_add(stream, t);
    }
    return stream;
  }
  static std::string Pos(const voidparray* tokens) {
    std::string out;
    for (int i = 0; i < QLTP_voidparray_sz(tokens); ++i) {
      const char* p = QLTP_toxtoken_getpos(QLTP_toxtoken_cast(QLTP_voidparray_idx(tokens, i)));
      out += (i ? " " : "") + std::string(p && *p ? p : "-");
    }
    return out;
  }
};

TEST(PosTaggerTest, IterationsSetHowManyPassesRun) {
  const std::pair<const char*, const char*> cases[] = {
      {nullptr, "t2_7"}, {"-1", "-"}, {"0", "t0_3"}, {"1", "t1_3"}, {"4", "t4_3"}, {"6", "t5_3"},
  };
  for (auto [iterations, want] : cases) {
    SCOPED_TRACE(iterations ? iterations : "absent");
    Tagger t(iterations);
    voidparray* out = QLTP_postagger_process(t.tagger, t.Stream({"w"}), 1);
    EXPECT_EQ(Tagger::Pos(out), want);
  }
  Tagger t("1");
  EXPECT_EQ(Tagger::Pos(QLTP_postagger_process(t.tagger, t.Stream({"the", "dog", "w", "x"}), 1)),
            "dt_1 nn_2 t0_3 nn_2");
  EXPECT_EQ(QLTP_tpc_posset(t.stage.ch, "t2"), 7);
  EXPECT_EQ(QLTP_tpc_posset(t.stage.ch, "t0"), 0);
  EXPECT_STREQ(QLTP_postagger_posset(t.tagger, "dt"), "1");
  EXPECT_STREQ(QLTP_postagger_posset(t.tagger, "zz"), "");
}

TEST(PosTaggerTest, GivenTagsStayAndHeldTokensMeetTheirRightContext) {
  Tagger t("2");
  voidparray* stream = t.Stream({"the", "dog"});
  toxtoken* dog = QLTP_toxtoken_cast(QLTP_voidparray_idx(stream, 1));
  toxtag* lex = QLTP_toxpool_tag(t.stage.pool);
  QLTP_toxtag_init(lex, dog, "lex", 3, QLTP_TAG_STARTEND);
  QLTP_toxtag_set_attrib(lex, "pos", -1, "given", -1);
  QLTP_toxtoken_addtag(dog, lex);
  EXPECT_EQ(Tagger::Pos(QLTP_postagger_process(t.tagger, stream, 1)), "dt_1 given_3");

  // A call that is not final holds its last token back and tags it again
  // with its right context; an empty final call hands it on.
  Tagger pieces("2");
  EXPECT_EQ(QLTP_voidparray_sz(QLTP_postagger_process(pieces.tagger, pieces.Stream({"the"}), 0)), 0);
  EXPECT_EQ(Tagger::Pos(QLTP_postagger_process(pieces.tagger, pieces.Stream({"dog", "w"}), 0)), "dt_1 nn_2");
  voidparray* last = QLTP_postagger_process(pieces.tagger, pieces.Stream({}), 1);
  EXPECT_EQ(Tagger::Pos(last), "t2_7");  // alone now: "w_[$]"

  // A reset after a call that was not final reports the lost token.
  QLTP_postagger_process(pieces.tagger, pieces.Stream({"w"}), 0);
  QLTP_postagger_reset(pieces.tagger);
  EXPECT_TRUE(pieces.stage.Reported(QLTP_ERROR_RESET_DATA_LOSS, "Postagger context lost"));
  EXPECT_EQ(QLTP_voidparray_sz(QLTP_postagger_process(pieces.tagger, pieces.Stream({}), 1)), 0);
}

TEST(PosTaggerTest, WithoutDictionaryTokensPassWithoutPos) {
  SpurtStage stage({});
  postagger* tagger = QLTP_postagger_new(stage.ch);
  voidparray* stream = QLTP_voidparray_new();
  toxtoken* t = QLTP_toxpool_token(stage.pool);
  QLTP_toxtoken_setparent(t, stream);
  QLTP_toxtoken_set_norm(t, "w", -1);
  QLTP_voidparray_add(stream, t);
  voidparray* out = QLTP_postagger_process(tagger, stream, 1);
  ASSERT_EQ(QLTP_voidparray_sz(out), 1);
  EXPECT_STREQ(QLTP_toxtoken_getpos(t), "");
  EXPECT_EQ(tagger->iterations, 6);  // the built-in setting
  QLTP_postagger_delete(tagger);
  QLTP_postagger_delete(nullptr);
  QLTP_voidparray_delete(stream);
}

// The pre-normalisation mapping: characters through "utfpunc2ascii", then
// group 2 of "punc_strip"; a match without group 2 leaves the word alone.
TEST(PosTaggerTest, PrenormWordsAreMappedAndStripped) {
  const char rules_text[] = R"(<?xml version='1.0'?>
<rules>
<lookup name='utfpunc2ascii'><![CDATA[{'“':'"', '”':'"'}]]></lookup>
<regex name='punc_strip'><![CDATA[^(")?([a-z]+)?([!"]*)$]]></regex>
</rules>
)";
  nrules* rules = QLTP_deserialise_nrules(nullptr, rules_text);
  ASSERT_NE(rules, nullptr);
  ASSERT_STREQ(QLTP_nrules_lkp(rules, "utfpunc2ascii", -1, "\xe2\x80\x9c", 3), "\"");
  Pos d(QLTP_deserialise_pos("D nn\n#\n#\n-\n#\ncat 1:animal|X\n!! 1:punc|X\n\"cat\" 1:quoted|X\n"));
  const std::pair<const char*, const char*> cases[] = {
      {"\xe2\x80\x9c" "cat" "\xe2\x80\x9d", "animal"},  // mapped, then stripped
      {"\"cat\"", "animal"},
      {"!!", "punc"},                                     // group 2 unset: the word as it was
      {"Cat", "nn"},                                      // no match: unmapped
  };
  normalise normaliser{};
  normaliser.rules = rules;
  for (auto [word, want] : cases) {
    pos_ctxt c;
    QLTP_pos_init_ctxt(&c);
    c.word = word;
    EXPECT_STREQ(QLTP_pos_getpos_ctxt(nullptr, &normaliser, d.d, &c, 0), want) << word;
    EXPECT_STREQ(c.tag, want);
  }

  // The pre-normalisation pass reads the token text with the PRENORM objects;
  // the main pass falls back to them when the database has no DEFAULT ones.
  hashstrarray* sets = QLTP_deserialise_hashstrarray("animal 5\n");
  SpurtStage stage({{"TPOBJ_POSTAGS:PRENORM", d.d}, {"TPOBJ_POSSETS:PRENORM", sets}});
  postagger* tagger = QLTP_postagger_new(stage.ch);
  voidparray* stream = QLTP_voidparray_new();
  for (const char* text : {"\xe2\x80\x9c" "cat" "\xe2\x80\x9d", "!!"}) {
    toxtoken* t = QLTP_toxpool_token(stage.pool);
    QLTP_toxtoken_setparent(t, stream);
    QLTP_toxtoken_set(t, text, -1);
    QLTP_toxtoken_set_norm(t, "cat", -1);
    QLTP_voidparray_add(stream, t);
  }
  voidparray* out = QLTP_postagger_process_prenorm(tagger, &normaliser, stream, 1);
  ASSERT_EQ(QLTP_voidparray_sz(out), 2);
  EXPECT_STREQ(QLTP_toxtoken_getpos(QLTP_toxtoken_cast(QLTP_voidparray_idx(out, 0))), "animal_5");
  EXPECT_STREQ(QLTP_toxtoken_getpos(QLTP_toxtoken_cast(QLTP_voidparray_idx(out, 1))), "punc_3");
  out = QLTP_postagger_process(tagger, stream, 1);
  EXPECT_STREQ(QLTP_toxtoken_getpos(QLTP_toxtoken_cast(QLTP_voidparray_idx(out, 1))), "animal_5");
  QLTP_postagger_delete(tagger);
  QLTP_voidparray_delete(stream);
  QLTP_hashstrarray_delete(sets);
  pos_ctxt c;
  QLTP_pos_init_ctxt(&c);
  c.word = "\"cat\"";
  EXPECT_STREQ(QLTP_pos_getpos_ctxt(nullptr, nullptr, d.d, &c, 0), "quoted");  // the main pass maps nothing
  c.tag = "kept";
  EXPECT_STREQ(QLTP_pos_getpos_ctxt(nullptr, nullptr, d.d, &c, 7), "kept");
  QLTP_nrules_delete(rules);
}

}  // namespace
