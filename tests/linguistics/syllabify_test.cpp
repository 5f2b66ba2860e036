#include "linguistics/syllabify.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstdio>
#include <iostream>
#include <map>
#include <memory>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "cmudict.h"
#include "foundation/dict.h"
#include "foundation/dystr.h"
#include "foundation/serial.h"
#include "foundation/toxspurt.h"
#include "linguistics/phonearray.h"
#include "spurt_builder.h"
#include "test_db.h"

namespace {

using namespace orvelle_test;

struct MaxonsetDeleter {
  void operator()(maxonset* m) const { QLTP_maxonset_delete(m); }
};
using Maxonset = std::unique_ptr<maxonset, MaxonsetDeleter>;

// The stored form a writer gives, empty when it writes none.
std::string Image(maxonset* m, bool swap = false) { return KindImage("TPOBJ_SYLMAX:DEFAULT", m, swap); }

// A database holding the syllabification data built from `text` (none when
// text is null), with the accent in its header.
struct SylDb {
  std::unique_ptr<LoadedDb> loaded;
  explicit SylDb(const char* text, const std::string& accent = "ga", const std::string& config = "") {
    ScratchDir dir;
    const std::string path = dir.Path("sylmax.tpdb");
    Maxonset m(text ? QLTP_deserialise_maxonset(text) : nullptr);
    std::vector<DbObject> objects;
    if (m) objects.push_back({"TPOBJ_SYLMAX:DEFAULT", m.get()});
    if (!config.empty()) objects.push_back({"TPOBJ_CONFIG:DEFAULT", nullptr, TextObject(config)});
    WriteTestDb(path, objects);
    loaded = std::make_unique<LoadedDb>(path);
    std::remove(path.c_str());
    EXPECT_TRUE(loaded->loaded());
    QLTP_tpdb_header_setval(loaded->db, "ACCENT", -1, accent.c_str(), -1);
  }
};

// Runs the stage over one spurt of words with these phonemes (null: a "lex"
// tag without phonemes) and gives each token's spron.
std::vector<std::string> Sprons(const char* data, const std::vector<const char*>& phonemes) {
  SylDb db(data);
  BareChannel ch(db.loaded->db);
  syllabify* stage = QLTP_syllabify_new(ch.ch);
  SpurtBuilder b;
  std::vector<toxtoken*> tokens;
  for (const char* p : phonemes) tokens.push_back(b.Word("w", p));
  QLTP_syllabify_process(stage, b.stream(), 1);
  std::vector<std::string> out;
  for (toxtoken* t : tokens) out.push_back(TagVal(t, "lex", "spron"));
  QLTP_syllabify_delete(stage);
  return out;
}

TEST(SyllabifyTest, SplitsSpurtsByMaximumOnset) {
  const char* kat = "N_a1\nk\n";
  const char* estra = "N_e1\nN_a1\nt_r\n";
  const char* estra3 = "N_e1\nN_a1\nt_r\ns_t_r\n";
  const char* cross = "N_i1\nN_a1\nk\nt\nt_WB\n";
  const char* within = "N_i1\nN_a1\nk\nt\n";
  struct Case {
    const char* name;
    const char* data;
    std::vector<const char*> phonemes;
    std::vector<std::string> sprons;
  } cases[] = {
      {"onset nucleus coda", kat, {"k a1 t"}, {"k+a1+t|"}},
      {"longest legal onset", estra, {"e1 s t r a1"}, {"e1+s|t_r+a1|"}},
      {"three-phone onset", estra3, {"e1 s t r a1"}, {"e1|s_t_r+a1|"}},
      {"given break forbids the onset across it", estra3, {"e1 s . t r a1"}, {"e1+s|t_r+a1|"}},
      {"given break allowed by data", "N_e1\nN_a1\ns_t_r_SB\n", {"e1 s . t r a1"}, {"e1|s|t_r+a1|"}},
      {"onset across a word boundary", cross, {"i1 t", "a1 k"}, {"i1|t+", "a1+k|"}},
      {"codas stay in their word", within, {"i1 t", "a1 k"}, {"i1+t|", "a1+k|"}},
      {"joined pronunciations are one word", within, {"i1 t +", "a1 k"}, {"i1|t+", "a1+k|"}},
      {"no nucleus is one syllable", kat, {"s t r"}, {"s_t_r|"}},
      {"illegal cluster opening a spurt", "N_a0\nN_i1\nw\n", {"b l w i1 n"}, {"b_l_w+i1+n|"}},
      {"the same after a one-vowel word", "N_a0\nN_i1\nw\n", {"a0", "b l w i1 n"}, {"a0|", "b_l_w+i1+n|"}},
      {"no data", nullptr, {"k a1 t"}, {"k_a1_t"}},
      {"long names and stress-free data", "N_aa\nN_ow\nstr\n", {"aa1 str ow0"}, {"aa1|str+ow0|"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(Sprons(c.data, c.phonemes), c.sprons);
  }
}

TEST(SyllabifyTest, HugeStoredMaximaGiveTheSameSplit) {
  Maxonset m(QLTP_deserialise_maxonset("N_e1\nN_a1\nt_r\ns_t_r\n"));
  std::unique_ptr<phonearray, void (*)(phonearray*)> a(QLTP_phonearray_new(), QLTP_phonearray_delete);
  std::unique_ptr<dystr, void (*)(dystr*)> s(QLTP_dystr_new("", 0), QLTP_dystr_delete);
  for (int32_t huge : {0, 1 << 20, INT32_MAX}) {
    SCOPED_TRACE(huge);
    if (huge) m->max_onset = m->max_nucleus = huge;
    QLTP_phonearray_clear(a.get());
    QLTP_phone_add_pron(a.get(), "e1 s t r a1");
    ASSERT_EQ(QLTP_maxonset_syllabify(m.get(), s.get(), a.get()), 1);
    QLTP_phone_get_pron(a.get(), 0, s.get());
    EXPECT_STREQ(QLTP_dystr_cstr(s.get()), "e1|s_t_r+a1|");
  }
}

TEST(SyllabifyTest, EveryWordReadsItsOwnPhones) {
  // Tokens that add no phone (empty, ".", "+", no phonemes) or a phone that
  // is never read ("_") sit between words: no later word may shift.
  const std::vector<const char*> phonemes = {"k a1 t", "", ".", "_", "+", nullptr, "k a1", "t a1 k"};
  const std::vector<std::string> want = {"k+a1+t|", "<none>", "<none>", "<none>", "<none>",
                                         "<none>",  "k+a1|",  "t+a1+k|"};
  EXPECT_EQ(Sprons("N_a1\nk\nt\n", phonemes), want);
}

TEST(SyllabifyTest, PlaysTheChannelsSlangGameWithTheVoicesAccent) {
  for (const char* accent : {"ga", "rp"}) {
    SCOPED_TRACE(accent);
    SylDb db("N_a1\nk\n", accent, "<tpconfig><syllabify slang='piglatin'/></tpconfig>");
    BareChannel ch(db.loaded->db);
    syllabify* stage = QLTP_syllabify_new(ch.ch);
    SpurtBuilder b;
    toxtoken* t = b.Word("cat", "k a1 t");
    QLTP_syllabify_process(stage, b.stream(), 1);
    EXPECT_EQ(TagVal(t, "lex", "spron"), std::string("a1+t|k+") + (accent[0] == 'g' ? "ey1|" : "ei1|"));
    EXPECT_EQ(b.spurt(0)->syls, 2);
    QLTP_syllabify_delete(stage);
  }
}

TEST(SyllabifyTest, CountsWordsAndSyllablesPerSpurtAndUtterance) {
  SylDb db("N_a1\nN_i0\nk\nt\n");
  BareChannel ch(db.loaded->db);
  syllabify* stage = QLTP_syllabify_new(ch.ch);
  SpurtBuilder b;
  // Two utterances: a run of two spurts, then one whose phrase count runs
  // past the input and is cut at its end.
  b.Spurt()->phrases = 2;
  b.Word("kati", "k a1 t i0");
  b.Word("ta", "t a1");
  b.Token("silent");
  b.Spurt();
  b.Word("ka", "k a1");
  b.Spurt()->phrases = 7;
  b.Word("kitaki", "k i0 t a1 k i0");
  voidparray* out = QLTP_syllabify_process(stage, b.stream(), 1);
  ASSERT_EQ(QLTP_voidparray_sz(out), 3);
  struct Want {
    int words, syls, utt_words, utt_syls, pre_words, pre_syls, pst_words, pst_syls;
  } want[] = {{2, 3, 3, 4, 0, 0, 1, 1}, {1, 1, 3, 4, 2, 3, 0, 0}, {1, 3, 1, 3, 0, 0, 0, 0}};
  for (int i = 0; i < 3; ++i) {
    SCOPED_TRACE(i);
    const toxspurt* s = b.spurt(i);
    const Want& w = want[i];
    EXPECT_EQ(std::vector<int>({s->words, s->syls, s->utt_words, s->utt_syls, s->pre_words, s->pre_syls,
                                s->pst_words, s->pst_syls}),
              std::vector<int>({w.words, w.syls, w.utt_words, w.utt_syls, w.pre_words, w.pre_syls,
                                w.pst_words, w.pst_syls}));
  }
  QLTP_syllabify_delete(stage);
}

TEST(SyllabifyTest, ReadsTheTextForm) {
  testing::internal::CaptureStdout();
  Maxonset m(QLTP_deserialise_maxonset("# nuclei\n  N_a_b_c1 \n\nN_a1\nN_a_b\ns_t_r\nN_o\nk\nN_u\n"));
  const std::string out = testing::internal::GetCapturedStdout();
  ASSERT_TRUE(m);
  EXPECT_EQ(m->stress, 1);
  EXPECT_EQ(m->max_nucleus, 3);
  EXPECT_EQ(m->max_onset, 3);
  EXPECT_EQ(QLTP_dict_size(m->nuclei), 5);
  EXPECT_EQ(QLTP_dict_size(m->onsets), 2);
  EXPECT_NE(QLTP_dict_lookup_word(m->nuclei, "a_b_c1", -1), 0);
  EXPECT_NE(QLTP_dict_lookup_word(m->onsets, "s_t_r", -1), 0);
  const std::string line = "ERROR: Variation in nuclei stress marking\n";
  EXPECT_EQ(out, line + line + line);

  testing::internal::CaptureStdout();
  EXPECT_EQ(QLTP_maxonset_readtxt("/nonexistent/sylmax.txt"), nullptr);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "Can't open file: /nonexistent/sylmax.txt\n");
}

TEST(SyllabifyTest, StoredFormRoundTripsThroughDatabaseAndFile) {
  Maxonset m(QLTP_deserialise_maxonset("N_a1\nN_e1_i0\nk\nt_r\ns_t_r\n"));
  const std::string image = Image(m.get());
  ASSERT_EQ(image.size(), 12u + QLTP_dict_write_sz(m->onsets) + QLTP_dict_write_sz(m->nuclei));
  ScratchDir dir;
  for (bool swapped : {false, true}) {
    SCOPED_TRACE(swapped);
    const std::string path = dir.Path("sylmax_rt.tpdb");
    const std::string first = WriteTestDb(path, {{"TPOBJ_SYLMAX:DEFAULT", m.get()}}, swapped);
    LoadedDb db(path);
    ASSERT_TRUE(db.loaded());
    auto* back = db.Get<maxonset>("TPOBJ_SYLMAX:DEFAULT");
    ASSERT_NE(back, nullptr);
    EXPECT_EQ(Image(back), image);
    EXPECT_EQ(WriteTestDb(path, {{"TPOBJ_SYLMAX:DEFAULT", back}}, swapped), first);
    std::remove(path.c_str());
  }
  const std::string file = dir.Path("sylmax.bin");
  auto [written, file_image] = orvelle_test::WriterImage(m.get(), QLTPPy_maxonset_write);
  ASSERT_EQ(written, 1);
  WriteFile(file, file_image);
  Maxonset loaded(QLTPPy_maxonset_load(file.c_str()));
  ASSERT_TRUE(loaded);
  EXPECT_EQ(Image(loaded.get()), image);
  std::remove(file.c_str());
}

TEST(SyllabifyTest, MutatedStoredFormsAreRefusedOrUsable) {
  Maxonset m(QLTP_deserialise_maxonset("N_a1\nN_e1_i0\nk\nt_r\ns_t_r\n"));
  const std::string image = Image(m.get());
  std::mt19937 rng(20);
  std::unique_ptr<phonearray, void (*)(phonearray*)> phones(QLTP_phonearray_new(), QLTP_phonearray_delete);
  std::unique_ptr<dystr, void (*)(dystr*)> key(QLTP_dystr_new("", 0), QLTP_dystr_delete);
  int accepted = 0;
  for (int round = 0; round < 3000; ++round) {
    std::string bytes = image;
    for (int k = 1 + static_cast<int>(rng() % 4); k > 0; --k) bytes[rng() % bytes.size()] = static_cast<char>(rng());
    if (round % 7 == 0) bytes.resize(rng() % bytes.size());
    FILE* f = fmemopen(bytes.data(), bytes.size(), "rb");
    Maxonset back(bytes.empty() || !f ? nullptr : QLTP_maxonset_load(f, static_cast<int>(round & 1)));
    if (f) std::fclose(f);
    if (!back) continue;
    ++accepted;
    // Whatever was accepted must syllabify without reading out of bounds,
    // huge stored maxima included.
    QLTP_phonearray_clear(phones.get());
    QLTP_phone_add_pron(phones.get(), "e1 s t r a1 k");
    EXPECT_EQ(QLTP_maxonset_syllabify(back.get(), key.get(), phones.get()), 1);
  }
  EXPECT_GT(accepted, 0);
}

// Syllabifies words given as CMU entries, each word's spron in order.
std::vector<std::string> CmuSprons(const maxonset* data, phonearray* a, dystr* key, dystr* out,
                                   const std::vector<const orvelle_test::CmuEntry*>& words) {
  QLTP_phonearray_clear(a);
  std::vector<int> starts;
  for (const auto* e : words) {
    starts.push_back(QLTP_phonearray_sz(a));
    QLTP_phone_add_pron(a, CmuToQrln(*e, ' ').c_str());
  }
  QLTP_maxonset_syllabify(data, key, a);
  std::vector<std::string> sprons;
  for (int s : starts) {
    QLTP_phone_get_pron(a, s, out);
    sprons.push_back(QLTP_dystr_cstr(out));
  }
  return sprons;
}

TEST(SyllabifyTest, CmuDictionaryWordsSplitIntoOneVowelSyllablesWithLegalOnsets) {
  const auto entries = ReadCmuDict();
  ASSERT_EQ(entries.size(), 105901u);
  const auto& vowels = CmuVowels();
  std::string nuclei;
  for (const auto& v : vowels) nuclei += "N_" + v + "0\nN_" + v + "1\n";
  std::string text = nuclei;
  std::set<std::string> onsets;
  for (const auto& e : entries) {
    std::string cluster;
    for (const auto& s : e.syllables)
      for (const auto& p : s.phones) {
        if (vowels.count(p)) goto done;
        cluster += (cluster.empty() ? "" : "_") + p;
      }
  done:
    if (!cluster.empty()) onsets.insert(cluster);
  }
  for (const auto& o : onsets) text += o + "\n";
  Maxonset data(QLTP_deserialise_maxonset(text.c_str()));
  ASSERT_TRUE(data);
  const int max_onset = data->max_onset;

  std::unique_ptr<phonearray, void (*)(phonearray*)> a(QLTP_phonearray_new(), QLTP_phonearray_delete);
  std::unique_ptr<dystr, void (*)(dystr*)> key(QLTP_dystr_new("", 0), QLTP_dystr_delete);
  std::unique_ptr<dystr, void (*)(dystr*)> out(QLTP_dystr_new("", 0), QLTP_dystr_delete);

  // Checks one word's spron against its entry; gives its syllable count.
  auto check = [&](const CmuEntry& e, const std::string& spron) -> int {
    std::vector<std::string> phones;  // without stress
    std::vector<std::vector<std::string>> syllables(1);
    std::string cur;
    for (size_t i = 0; i <= spron.size(); ++i) {
      const char c = i < spron.size() ? spron[i] : '\0';
      if (c == '_' || c == '+' || c == '|' || c == '\0') {
        if (!cur.empty()) {
          if (cur.back() >= '0' && cur.back() <= '9') cur.pop_back();
          phones.push_back(cur);
          syllables.back().push_back(cur);
        }
        cur.clear();
        if (c == '|' && i + 1 < spron.size()) syllables.emplace_back();
      } else {
        cur += c;
      }
    }
    std::vector<std::string> want;
    for (const auto& s : e.syllables) want.insert(want.end(), s.phones.begin(), s.phones.end());
    EXPECT_EQ(phones, want) << e.word << " " << spron;
    int nvowels = 0;
    for (const auto& p : want) nvowels += vowels.count(p) > 0;
    EXPECT_EQ(static_cast<int>(syllables.size()), std::max(nvowels, 1)) << e.word << " " << spron;
    for (size_t s = 0; s < syllables.size(); ++s) {
      int v = 0;
      size_t first_vowel = syllables[s].size();
      for (size_t i = 0; i < syllables[s].size(); ++i)
        if (vowels.count(syllables[s][i])) {
          ++v;
          first_vowel = std::min(first_vowel, i);
        }
      EXPECT_EQ(v, nvowels ? 1 : 0) << e.word << " " << spron;
      if (s == 0 || v != 1) continue;
      // The onset is the longest legal cluster ending the consonant run.
      std::vector<std::string> run(syllables[s].begin(), syllables[s].begin() + static_cast<long>(first_vowel));
      const auto& prev = syllables[s - 1];
      for (auto it = prev.rbegin(); it != prev.rend() && !vowels.count(*it); ++it) run.insert(run.begin(), *it);
      size_t legal = 0;
      for (size_t k = 1; k <= run.size() && k <= static_cast<size_t>(max_onset); ++k) {
        std::string cluster;
        for (size_t j = run.size() - k; j < run.size(); ++j) cluster += (cluster.empty() ? "" : "_") + run[j];
        if (onsets.count(cluster)) legal = k;
      }
      EXPECT_EQ(first_vowel, legal) << e.word << " " << spron;
    }
    return static_cast<int>(syllables.size());
  };

  // After the one-vowel word "a" every word splits as it does alone, also
  // with data that makes its opening clusters illegal onsets.
  std::string single = nuclei;
  for (const auto& o : onsets)
    if (o.find('_') == std::string::npos) single += o + "\n";
  Maxonset single_onsets(QLTP_deserialise_maxonset(single.c_str()));
  ASSERT_TRUE(single_onsets);
  ASSERT_EQ(single_onsets->max_onset, 1);
  const CmuEntry* article = nullptr;
  for (const auto& e : entries)
    if (e.word == "a" && e.syllables.size() == 1 && e.syllables[0].phones.size() == 1) article = &e;
  ASSERT_NE(article, nullptr);
  int same_count = 0;
  for (const auto& e : entries) {
    const std::string alone = CmuSprons(data.get(), a.get(), key.get(), out.get(), {&e})[0];
    const int n = check(e, alone);
    same_count += n == static_cast<int>(e.syllables.size());
    ASSERT_EQ(CmuSprons(data.get(), a.get(), key.get(), out.get(), {article, &e})[1], alone) << e.word;
    ASSERT_EQ(CmuSprons(single_onsets.get(), a.get(), key.get(), out.get(), {article, &e})[1],
              CmuSprons(single_onsets.get(), a.get(), key.get(), out.get(), {&e})[0])
        << e.word;
    if (HasFailure()) return;
  }
  std::mt19937 rng(143);
  for (size_t i = 0; i < entries.size();) {
    std::vector<const CmuEntry*> words;
    for (int k = 2 + static_cast<int>(rng() % 5); k > 0 && i < entries.size(); --k)
      words.push_back(&entries[rng() % entries.size()]), ++i;
    const auto sprons = CmuSprons(data.get(), a.get(), key.get(), out.get(), words);
    for (size_t w = 0; w < words.size(); ++w) check(*words[w], sprons[w]);
    if (HasFailure()) return;
  }
  std::cout << "syllable count equals the dictionary's for " << same_count << " of " << entries.size()
            << " entries\n";
  RecordProperty("same_syllable_count", same_count);
}

TEST(SyllabifyTest, RandomPhonemesStayInsideTheirWords) {
  SylDb db("N_a1\nN_i0\nN_a1_i0\nk\nt\nt_WB\ns_t\nk_SB\n");
  BareChannel ch(db.loaded->db);
  syllabify* stage = QLTP_syllabify_new(ch.ch);
  std::mt19937 rng(7);
  const char* pieces[] = {"a1", "i0", "k", "t", "s", " ", ".", "+", "_", "abcdef", "Y2", ""};
  for (int round = 0; round < 2000; ++round) {
    SpurtBuilder b;
    std::vector<std::pair<toxtoken*, std::string>> words;
    for (int w = 1 + static_cast<int>(rng() % 5); w > 0; --w) {
      std::string p;
      for (int k = static_cast<int>(rng() % 6); k > 0; --k) p += std::string(pieces[rng() % 12]) + " ";
      toxtoken* t = b.Word("w", p.c_str());
      // Some words play a slang game on their spron.
      const char* games[] = {"piglatin", "ubbidubbi", "gibberish"};
      if (rng() % 4 == 0) b.Tag(t, "voice", {{"slang", games[rng() % 3]}});
      else words.push_back({t, p});
    }
    QLTP_syllabify_process(stage, b.stream(), round & 1);
    for (const auto& [t, p] : words) {
      const std::string spron = TagVal(t, "lex", "spron");
      if (spron == "<none>") continue;
      // The spron holds this word's own phone characters in order.
      std::string mine, got;
      for (char c : p)
        if (c != ' ' && c != '.' && c != '+' && c != '_') mine += c;
      for (char c : spron)
        if (c != '_' && c != '+' && c != '|') got += c;
      EXPECT_EQ(got, mine) << p;
    }
    if (HasFailure()) break;
  }
  QLTP_syllabify_delete(stage);
}

}  // namespace
