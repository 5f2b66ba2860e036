#include "linguistics/pls.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "foundation/dystr.h"
#include "foundation/strarray.h"
#include "linguistics/phoneset.h"
#include "cmudict.h"
#include "test_phoneset.h"

namespace {

struct Reader {
  pls* r = QLTP_pls_new();
  phoneset* ipa = QLTP_phoneset_new();
  Reader() {
    EXPECT_EQ(QLTP_phoneset_load_file(ipa, orvelle_test::kTestPhoneSet), 1);
    EXPECT_EQ(QLTP_pls_addphoneset(r, ipa, 0), 1);
  }
  ~Reader() {
    QLTP_pls_delete(r);
    QLTP_phoneset_delete(ipa);
  }
  std::vector<std::string> Lines() const {
    std::vector<std::string> out;
    for (int i = 0; i < QLTP_strarray_sz(r->lines); ++i) out.emplace_back(QLTP_strarray_idx(r->lines, i));
    return out;
  }
  std::string Errors() const { return QLTP_dystr_cstr(r->errors); }
};

std::string Pad(std::string s, size_t n) {
  if (s.size() < n) s.append(n - s.size(), ' ');
  return s;
}
std::string Line(const std::string& grapheme, const std::string& phoneme, const std::string& tail = "") {
  return Pad(grapheme, 15) + "    " + Pad(phoneme, 20) + tail;
}

const std::string kOpen =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
    "<lexicon version=\"1.0\" xmlns=\"http://www.w3.org/2005/01/pronunciation-lexicon\"\n"
    "    xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\" alphabet=\"ipa\" xml:lang=\"en-US\">\n";
const std::string kClose = "</lexicon>\n";

TEST(PlsTest, ReadsLexemesIntoLexiconLines) {
  struct Case {
    const char* what;
    std::string body;
    std::vector<std::string> lines;
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
       {"kata               k_aa1_t_a0          "},
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
      {"refused nested elements do nothing at their end",
       "<lexeme><grapheme>k<grapheme>x</grapheme>t</grapheme><phoneme>k<phoneme>t</phoneme>a</phoneme>"
       "<lexeme><grapheme>no</grapheme></lexeme><phoneme>ta</phoneme></lexeme>",
       {Line("kxt", "k_t_a0", "  default_1"), Line("kxt", "t_a0", "  default_0"),
        Line("no", "k_t_a0", "  default_1"), Line("no", "t_a0", "  default_0")},
       "ERROR: graphemes cannot be nested\nERROR: phonemes cannot be nested\nERROR: lexemes cannot be nested\n"},
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
    ASSERT_EQ(QLTP_pls_scan(reader.r, (kOpen + c.body + kClose).c_str(), -1), 1);
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
    std::vector<std::string> lines;
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
      {"no version, no language", "<lexicon alphabet='ipa'>", {Line("a", "t_a1")},
       "WARNING: no version found\nWARNING: no language found\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    Reader reader;
    ASSERT_EQ(QLTP_pls_scan(reader.r, (c.open + lexeme).c_str(), -1), 1);
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
  ASSERT_EQ(QLTP_pls_scan(reader.r, (kOpen + "<lexeme><grapheme>a</grapheme><!-- open").c_str(), -1), 1);
  ASSERT_EQ(QLTP_pls_scan(reader.r, (kOpen + "<lexeme><grapheme>b</grapheme><phoneme>ta</phoneme></lexeme>" +
                                     kClose).c_str(), -1),
            1);
  EXPECT_EQ(reader.Lines(), std::vector<std::string>{Line("b", "t_a0")});
  EXPECT_EQ(reader.Errors(), "");

  phoneset* owned = QLTP_phoneset_new();
  ASSERT_EQ(QLTP_phoneset_load_file(owned, orvelle_test::kTestPhoneSet), 1);
  ASSERT_EQ(QLTP_pls_addphoneset(reader.r, owned, 1), 1);
  EXPECT_EQ(reader.r->nr_phonesets, 2);
  QLTP_pls_clear(reader.r);  // deletes the owned one
  EXPECT_EQ(reader.r->nr_phonesets, 0);
  EXPECT_EQ(QLTP_phoneset_nr_phones(reader.ipa), 4);
  EXPECT_EQ(QLTP_strarray_sz(reader.r->lines), 0);
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
    ASSERT_EQ(QLTP_pls_scan(reader.r, doc.c_str(), static_cast<int>(doc.size())), 1);
    for (const std::string& line : reader.Lines()) {
      ASSERT_GE(line.size(), 39u) << line;
      ASSERT_NE(line[0], ' ') << line;
      const size_t gap = line.find("    ");
      ASSERT_NE(gap, std::string::npos);
      ASSERT_EQ(line.substr(0, gap).find_first_of(" \t\r\n"), std::string::npos) << line;
      ++lines;
    }
    const std::string errors = reader.Errors();
    ASSERT_TRUE(errors.empty() || errors.back() == '\n');
  }
  EXPECT_GT(lines, 3000u);
}

}  // namespace

namespace {

std::string XmlEscape(const std::string& s) {
  std::string out;
  for (char c : s) {
    if (c == '&') out += "&amp;";
    else if (c == '<') out += "&lt;";
    else if (c == '>') out += "&gt;";
    else out += c;
  }
  return out;
}

// Every entry of the CMU dictionary written in IPA comes back from one PLS
// document as its own phones and stress digits.
TEST(PlsTest, CmuDictionaryInIpaComesBackExactly) {
  const std::vector<orvelle_test::CmuEntry> entries = orvelle_test::ReadCmuDict();
  ASSERT_EQ(entries.size(), 105901u);
  std::string doc = "<?xml version=\"1.0\"?>\n<lexicon version=\"1.0\" alphabet=\"ipa\" xml:lang=\"en-US\">\n";
  std::vector<std::string> want;
  for (const auto& e : entries) {
    doc += "<lexeme><grapheme>" + XmlEscape(e.word) + "</grapheme><phoneme>" + orvelle_test::CmuToIpa(e) +
           "</phoneme></lexeme>\n";
    std::string word = e.word;
    for (char& c : word) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    want.push_back(Line(word, orvelle_test::CmuToQrln(e, '_')));
  }
  doc += "</lexicon>\n";
  pls* r = QLTP_pls_new();
  phoneset* ipa = QLTP_phoneset_new();
  ASSERT_EQ(QLTP_phoneset_load_file(ipa, orvelle_test::EnglishIpaPhoneSet().c_str()), 1);
  QLTP_pls_addphoneset(r, ipa, 1);
  ASSERT_EQ(QLTP_pls_scan(r, doc.c_str(), static_cast<int>(doc.size())), 1);
  EXPECT_STREQ(QLTP_dystr_cstr(r->errors), "");
  ASSERT_EQ(QLTP_strarray_sz(r->lines), static_cast<int>(want.size()));
  int wrong = 0;
  for (size_t i = 0; i < want.size(); ++i)
    if (want[i] != QLTP_strarray_idx(r->lines, static_cast<int>(i)) && ++wrong <= 10)
      ADD_FAILURE() << want[i] << " != " << QLTP_strarray_idx(r->lines, static_cast<int>(i));
  EXPECT_EQ(wrong, 0);
  QLTP_pls_delete(r);
}

}  // namespace
