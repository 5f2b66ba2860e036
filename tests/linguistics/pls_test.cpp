#include "linguistics/pls.h"

#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "foundation/dystr.h"
#include "foundation/dict.h"
#include "foundation/dystrarray.h"
#include "foundation/voidparray.h"
#include "linguistics/lexicon.h"
#include "linguistics/phoneset.h"
#include "cmudict.h"
#include "scratch_dir.h"
#include "test_phoneset.h"

namespace {

// Headword and entry of every line of a lexicon, headwords in order of first
// appearance.
using Entries = std::vector<std::pair<std::string, std::string>>;
Entries LexiconEntries(const lexhash* lex) {
  Entries out;
  for (int id = 1; lex && id <= QLTP_dict_size(lex->headwords); ++id) {
    auto* entries = static_cast<const dystrarray*>(QLTP_voidparray_idx(lex->entries, id - 1));
    for (int i = 0; i < QLTP_dystrarray_sz(entries); ++i)
      out.emplace_back(QLTP_dict_lookup_index(lex->headwords, id), QLTP_dystrarray_idx(entries, i));
  }
  return out;
}

struct Reader {
  pls* r = QLTP_pls_new();
  lexhash* lex = nullptr;
  phoneset* ipa = QLTP_phoneset_new();
  Reader() {
    EXPECT_EQ(QLTP_phoneset_load_file(ipa, orvelle_test::kTestPhoneSet), 1);
    EXPECT_EQ(QLTP_pls_addphoneset(r, ipa, 0), 1);
  }
  ~Reader() {
    QLTP_lexhash_delete(lex);
    QLTP_pls_delete(r);
    QLTP_phoneset_delete(ipa);
  }
  // Loads a document; false when the load gave no lexicon.
  bool Load(const std::string& doc) {
    QLTP_lexhash_delete(lex);
    lex = QLTP_pls_load_pls(r, doc.c_str());
    return lex != nullptr;
  }
  Entries Lines() const { return LexiconEntries(lex); }
  std::string Errors() const { return QLTP_dystr_cstr(r->errors); }
};

std::string Pad(std::string s, size_t n) {
  if (s.size() < n) s.append(n - s.size(), ' ');
  return s;
}
// A lexicon line "%-15s    %-20s" and its marks, as headword and entry.
std::pair<std::string, std::string> Line(const std::string& grapheme, const std::string& phoneme,
                                         const std::string& tail = "") {
  return {grapheme, Pad(phoneme, 20) + tail};
}

const std::string kOpen =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
    "<lexicon version=\"1.0\" xmlns=\"http://www.w3.org/2005/01/pronunciation-lexicon\"\n"
    "    xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\" alphabet=\"ipa\" xml:lang=\"en-US\">\n";
const std::string kClose = "</lexicon>\n";

TEST(PlsTest, ReadsLexemesIntoLexiconLines) {
  const std::string kLater =
      "<lexeme><grapheme>ta</grapheme><phoneme>ta</phoneme></lexeme>"
      "<lexeme><grapheme>kat</grapheme><phoneme>kat</phoneme></lexeme>";
  struct Case {
    const char* what;
    std::string body;
    Entries lines;
    std::string errors;
  };
  const Case cases[] = {
      {"graphemes times phonemes",
       "<lexeme><grapheme>Tomato</grapheme><grapheme>tomato</grapheme>"
       "<phoneme alphabet='qrln'>t a0 m ei1 t ou0</phoneme><phoneme alphabet='qrln'>t a0 m aa1 t ou0</phoneme>"
       "</lexeme>",
       {Line("tomato", "t_a0_m_ei1_t_ou0", "  default_1"), Line("tomato", "t_a0_m_aa1_t_ou0", "  default_0"),
        Line("tomato", "t_a0_m_ei1_t_ou0", "  default_1"), Line("tomato", "t_a0_m_aa1_t_ou0", "  default_0")},
       ""},
      {"prefer on the second phoneme",
       "<lexeme><grapheme>cat</grapheme><phoneme>ka</phoneme><phoneme prefer=\"TRUE\">kɑ</phoneme>"
       "<phoneme prefer='true'>ta</phoneme></lexeme>",
       {Line("cat", "k_aa0", "  default_1"), Line("cat", "k_a0", "  default_0"), Line("cat", "t_a0", "  default_0")},
       ""},
      {"one phoneme, IPA converted, syllable marks dropped",
       "<lexeme><grapheme>kata</grapheme><phoneme>ˈkaː.ta</phoneme></lexeme>",
       {{"kata", "k_aa1_t_a0          "}},
       ""},
      {"roles",
       "<lexeme role='qrln:noun claws:NN1 qrln:verb qrln: qrlnx'><grapheme>tat</grapheme><phoneme>tat</phoneme>"
       "</lexeme>",
       {Line("tat", "t_a0_t", "  noun verb")},
       "WARN: role is empty\nWARN: role is empty\n"},
      {"alias-only lexeme, metadata and example",
       "<metadata><rdf:RDF><rdf:Description dc:title='Test'/></rdf:RDF><lexeme><grapheme>m</grapheme>"
       "<phoneme>ka</phoneme></lexeme></metadata>"
       "<lexeme><grapheme>W3C</grapheme><alias>World Wide Web Consortium</alias></lexeme>"
       "<meta name='x'/><lexeme><grapheme>ta</grapheme><phoneme>ta</phoneme><example>ta ta</example></lexeme>",
       {Line("ta", "t_a0")},
       ""},
      {"qrln text in an unknown alphabet is kept",
       "<lexeme><grapheme>b</grapheme><phoneme alphabet='x-sampa'>{ b\t.\r\n k</phoneme></lexeme>",
       {Line("b", "{_b_k")},
       "WARN: unknown alphabet x-sampa\n"},
      {"entities",
       "<lexeme><grapheme>&#x41;T&amp;t&#116;&foo;</grapheme><grapheme>&#0;&#xD800;q&#x110000;&#99999999999;r"
       "</grapheme><phoneme>t&#x61;</phoneme></lexeme>",
       {Line("at&tt", "t_a0")},
       "Unknown entity: foo\nUnknown entity: #0\nUnknown entity: #xD800\nUnknown entity: #x110000\n"
       "Unknown entity: #99999999999\nWARN: grapheme or phoneme skipped: q  r\n"},
      {"references above U+007F give their whole UTF-8 sequence",
       "<lexeme><grapheme>caf&#xE9;&#128512;</grapheme><phoneme>&#x2C8;k&#x251;</phoneme></lexeme>",
       {Line("caf\xC3\xA9\xF0\x9F\x98\x80", "k_aa1")},
       ""},
      {"refused nested elements do nothing at their end; a lexeme start ends the open lexeme",
       "<lexeme><grapheme>k<grapheme>x</grapheme>t</grapheme><phoneme>k<phoneme>t</phoneme>a</phoneme>"
       "<lexeme><grapheme>no</grapheme><phoneme>ta</phoneme></lexeme><phoneme>ta</phoneme></lexeme>",
       {Line("kxt", "k_t_a0"), Line("no", "t_a0")},
       "ERROR: graphemes cannot be nested\nERROR: phonemes cannot be nested\nERROR: lexemes cannot be nested\n"
       "ERROR: phoneme not in lexeme tag\n"},
      {"a missing lexeme end tag",
       "<lexeme><grapheme>ka</grapheme><phoneme>ka</phoneme>" + kLater,
       {Line("ka", "k_a0"), Line("ta", "t_a0"), Line("kat", "k_a0_t")},
       "ERROR: lexemes cannot be nested\n"},
      {"a missing grapheme end tag loses only its lexeme",
       "<lexeme><grapheme>ka<phoneme>ka</phoneme></lexeme>" + kLater,
       {Line("ta", "t_a0"), Line("kat", "k_a0_t")},
       "ERROR: grapheme not closed\n"},
      {"a missing phoneme end tag loses only its lexeme",
       "<lexeme><grapheme>ka</grapheme><phoneme>ka<phoneme>k</phoneme></lexeme>" + kLater,
       {Line("ta", "t_a0"), Line("kat", "k_a0_t")},
       "ERROR: phonemes cannot be nested\nERROR: phoneme not closed\n"},
      {"a missing metadata end tag loses no lexeme after it",
       "<metadata><dc:title>t</dc:title>" + kLater,
       {Line("ta", "t_a0"), Line("kat", "k_a0_t")},
       "ERROR: metadata not closed\n"},
      {"a metadata left open in a lexeme ends with it",
       "<lexeme><grapheme>ka</grapheme><phoneme>ka</phoneme><metadata><x></lexeme>"
       "<lexeme><grapheme>ta</grapheme><phoneme>ta</phoneme></lexeme></metadata>"
       "<lexeme><grapheme>kat</grapheme><phoneme>kat</phoneme></lexeme>",
       {Line("ka", "k_a0"), Line("ta", "t_a0"), Line("kat", "k_a0_t")},
       "ERROR: metadata not closed\n"},
      {"references in attribute values",
       "<lexeme role='qrln&#58;noun'><grapheme>cat</grapheme><phoneme>ka</phoneme>"
       "<phoneme prefer='&#x74;rue' alphabet='q&#x72;ln'>k a0 t</phoneme></lexeme>",
       {Line("cat", "k_a0_t", "  default_1  noun"), Line("cat", "k_a0", "  default_0  noun")},
       ""},
      {"a lexeme open at the lexicon's end",
       kLater + "<lexeme><grapheme>ka</grapheme><phoneme>ka</phoneme>",
       {Line("ta", "t_a0"), Line("kat", "k_a0_t"), Line("ka", "k_a0")},
       "ERROR: lexeme not closed\n"},
      {"blank graphemes and empty phonemes are skipped",
       "<lexeme><grapheme> new york </grapheme><grapheme>  </grapheme><grapheme>\tny\n</grapheme>"
       "<phoneme> . </phoneme><phoneme>xyz</phoneme><phoneme alphabet='qrln'>\tk  a </phoneme></lexeme>",
       {Line("ny", "k_a")},
       "WARN: grapheme or phoneme skipped: new york\nWARN: grapheme or phoneme skipped: \n"
       "WARN: grapheme or phoneme skipped: \nWARN: grapheme or phoneme skipped: \n"},
      {"misplaced elements",
       "<grapheme>g</grapheme><phoneme>ta</phoneme><foo/><lexeme><grapheme>ok</grapheme><phoneme>ta</phoneme>"
       "</lexeme>",
       {Line("ok", "t_a0")},
       "ERROR: grapheme not in lexeme tag\nERROR: phoneme not in lexeme tag\nWARNING: unknown tag foo\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Reader reader;
    ASSERT_TRUE(reader.Load((kOpen + c.body + kClose).c_str()));
    EXPECT_EQ(reader.Lines(), c.lines);
    EXPECT_EQ(reader.Errors(), c.errors);
    EXPECT_STREQ(reader.r->language, "en-US");
  }
}

TEST(PlsTest, LexiconAttributesAndAlphabets) {
  const std::string lexeme = "<lexeme><grapheme>a</grapheme><phoneme>ˈta</phoneme></lexeme></lexicon>";
  const struct {
    const char* what;
    std::string open;
    Entries lines;
    std::string errors;
  } cases[] = {
      {"no alphabet refuses every lexeme", "<lexicon version='1.0' xml:lang='en'>", {},
       "ERROR: lexicon alphabet must be defined, using Quorlane phoneset\nERROR: lexeme not in lexicon tag\n"
       "ERROR: grapheme not in lexeme tag\nERROR: phoneme not in lexeme tag\n"},
      {"an alphabet the voice lacks", "<lexicon version='1.0' xml:lang='en' alphabet='x-sampa'>",
       {Line("a", "ˈta")}, "WARN: unknown alphabet x-sampa\nERROR: unknown lexicon alphabet, using Quorlane phoneset\n"},
      {"the voice's own alphabet", "<lexicon version='1.0' xml:lang='en' alphabet='Quorlane'>",
       {Line("a", "ˈta")}, ""},
      {"another name of the phone set", "<lexicon version='1.0' xml:lang='en' alphabet='X-TEST'>",
       {Line("a", "t_a1")}, ""},
      {"references in attribute values", "<lexicon version='1.0' xml:lang='en' alphabet='X-&#x54;E&#83;T'>",
       {Line("a", "t_a1")}, ""},
      {"a reference to an unknown alphabet", "<lexicon version='1.0' xml:lang='en' alphabet='x-&#x71;rln'>",
       {Line("a", "ˈta")}, "WARN: unknown alphabet x-qrln\nERROR: unknown lexicon alphabet, using Quorlane phoneset\n"},
      {"no version, no language", "<lexicon alphabet='ipa'>", {Line("a", "t_a1")},
       "WARNING: no version found\nWARNING: no language found\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    Reader reader;
    ASSERT_TRUE(reader.Load((c.open + lexeme).c_str()));
    EXPECT_EQ(reader.Lines(), c.lines);
    EXPECT_EQ(reader.Errors(), c.errors);
  }

  Reader reader;
  EXPECT_EQ(QLTP_pls_setalphabet(reader.r, 1, "IPA"), 1);
  EXPECT_EQ(reader.r->phoneme_alphabet, reader.ipa);
  EXPECT_EQ(QLTP_pls_setalphabet(reader.r, 0, "vendor"), 1);
  EXPECT_EQ(reader.r->lexicon_alphabet, nullptr);
  EXPECT_EQ(QLTP_pls_setalphabet(reader.r, 2, "ipa"), 0);
  EXPECT_EQ(QLTP_pls_setalphabet(reader.r, 0, "sampa"), 0);
  EXPECT_EQ(reader.Errors(), "ERROR: bad alphabet level enumeration\nWARN: unknown alphabet sampa\n");
  EXPECT_EQ(QLTP_pls_addphoneset(reader.r, nullptr, 1), 0);
  EXPECT_EQ(QLTP_pls_addphoneset(nullptr, reader.ipa, 0), 0);
}

TEST(PlsTest, EachDocumentStartsAfreshAndClearKeepsBorrowedPhoneSets) {
  Reader reader;
  ASSERT_TRUE(reader.Load((kOpen + "<lexeme><grapheme>a</grapheme><!-- open").c_str()));
  ASSERT_TRUE(reader.Load(kOpen + "<lexeme><grapheme>b</grapheme><phoneme>ta</phoneme></lexeme>" + kClose));
  EXPECT_EQ(reader.Lines(), Entries{Line("b", "t_a0")});
  EXPECT_EQ(reader.Errors(), "");

  phoneset* owned = QLTP_phoneset_new();
  ASSERT_EQ(QLTP_phoneset_load_file(owned, orvelle_test::kTestPhoneSet), 1);
  ASSERT_EQ(QLTP_pls_addphoneset(reader.r, owned, 1), 1);
  EXPECT_EQ(reader.r->nr_phonesets, 2);
  QLTP_pls_clear(reader.r);  // deletes the owned one
  EXPECT_EQ(reader.r->nr_phonesets, 0);
  EXPECT_EQ(QLTP_phoneset_nr_phones(reader.ipa), 4);
}

TEST(PlsTest, ToolEntryPrintsTheMessagesOfADocument) {
  orvelle_test::ScratchDir dir;
  const std::string set_path = dir.Path("set.txt");
  const std::string doc_path = dir.Path("doc.pls");
  std::ofstream(set_path) << orvelle_test::kTestPhoneSet;
  std::ofstream(doc_path) << "<lexicon alphabet='ipa'><lexeme><grapheme>a</grapheme></lexeme><x/>";
  const std::string bad_set = dir.Path("bad.txt");
  std::ofstream(bad_set) << "VERSION 1\n";
  const struct {
    std::string set, doc;
    int result;
    std::string printed;
  } cases[] = {
      {set_path, doc_path, 1,
       "errors:\nWARNING: no version found\nWARNING: no language found\nWARNING: unknown tag x\n\n"},
      {"/nonexistent/set", doc_path, 0, "could not open phone set file\n"},
      {bad_set, doc_path, 0, "failed to parse phoneset file\n"},
      {set_path, "/nonexistent/doc", 0, "could not open pls file\n"},
  };
  for (const auto& c : cases) {
    testing::internal::CaptureStdout();
    EXPECT_EQ(QLTP_pls_convert_and_display(c.set.c_str(), c.doc.c_str()), c.result);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), c.printed);
  }
}

// Mutated documents never stop the scan, and every line still pairs a
// grapheme without blanks with a pronunciation.
TEST(PlsTest, RandomMutationsKeepLinesWellFormed) {
  const std::string good =
      kOpen +
      "<lexeme role='qrln:noun'><grapheme>Tomato</grapheme><grapheme>t&#x41;</grapheme>"
      "<phoneme prefer='true'>ˈkaː.ta</phoneme><phoneme alphabet='qrln'>k a1</phoneme></lexeme>"
      "<metadata><x/></metadata><!-- c --><lexeme><grapheme>a&amp;b</grapheme><phoneme>ta</phoneme></lexeme>" +
      kClose;
  const std::string alphabet = "<>/&#;='\" \tlexmgraphoneicx.ˈː";
  std::mt19937 rng(142);
  Reader reader;
  size_t lines = 0;
  for (int round = 0; round < 3000; ++round) {
    std::string doc = good;
    for (int n = 1 + rng() % 4; n > 0; --n) {
      const size_t at = rng() % doc.size();
      switch (rng() % 4) {
        case 0: doc[at] = alphabet[rng() % alphabet.size()]; break;
        case 1: doc.erase(at, 1 + rng() % 10); break;
        case 2: doc.insert(at, 1, static_cast<char>(rng() % 256)); break;
        default: doc.insert(at, doc.substr(rng() % doc.size(), rng() % 60)); break;
      }
      if (doc.empty()) doc = "<";
    }
    ASSERT_TRUE(reader.Load(doc));
    for (const auto& [headword, entry] : reader.Lines()) {
      ASSERT_FALSE(headword.empty());
      ASSERT_EQ(headword.find_first_of(" \t\r\n"), std::string::npos) << headword;
      ASSERT_GE(entry.size(), 20u) << entry;
      ASSERT_NE(entry[0], ' ') << entry;
      ++lines;
    }
    const std::string errors = reader.Errors();
    ASSERT_TRUE(errors.empty() || errors.back() == '\n');
  }
  EXPECT_GT(lines, 3000u);
}

// Every entry of the CMU dictionary written in IPA comes back from one PLS
// document as its own phones and stress digits.
TEST(PlsTest, CmuDictionaryInIpaComesBackExactly) {
  const std::vector<orvelle_test::CmuEntry> entries = orvelle_test::ReadCmuDict();
  ASSERT_EQ(entries.size(), 105901u);
  const std::string doc = orvelle_test::CmuPlsDocument(entries);
  // Headwords in order of first appearance, each with its lines in order.
  std::vector<std::string> order;
  std::map<std::string, std::vector<std::string>> lines;
  for (const auto& e : entries) {
    std::string word = e.word;
    for (char& c : word) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (!lines.count(word)) order.push_back(word);
    lines[word].push_back(Line(word, orvelle_test::CmuToQrln(e, '_')).second);
  }
  Entries want;
  for (const auto& word : order)
    for (const auto& entry : lines[word]) want.emplace_back(word, entry);
  Reader reader;
  QLTP_pls_clear(reader.r);
  phoneset* ipa = QLTP_phoneset_new();
  ASSERT_EQ(QLTP_phoneset_load_file(ipa, orvelle_test::EnglishIpaPhoneSet().c_str()), 1);
  QLTP_pls_addphoneset(reader.r, ipa, 1);
  ASSERT_TRUE(reader.Load(doc));
  EXPECT_EQ(reader.Errors(), "");
  const Entries got = reader.Lines();
  ASSERT_EQ(got.size(), want.size());
  int wrong = 0;
  for (size_t i = 0; i < want.size(); ++i)
    if (want[i] != got[i] && ++wrong <= 10)
      ADD_FAILURE() << want[i].first << " " << want[i].second << " != " << got[i].first << " " << got[i].second;
  EXPECT_EQ(wrong, 0);
}

}  // namespace
