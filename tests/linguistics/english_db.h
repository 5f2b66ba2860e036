// An English database for the pipeline tests and benchmark, written by the
// library's own writer from the files in tests/data/en and the CMU
// dictionary of festlex-cmu: rules, abbreviations, breaks, a POS
// dictionary, LG maps, a configuration, a plain lexicon (the dictionary's
// entries, then the letters), letter-to-sound trees and syllabification
// data made from the dictionary's syllables.
#pragma once

#include <algorithm>
#include <cstdio>
#include <set>
#include <string>
#include <vector>

#include "cmudict.h"
#include "foundation/strmap.h"
#include "linguistics/ccart.h"
#include "linguistics/pbreak.h"
#include "linguistics/postagger.h"
#include "linguistics/syllabify.h"
#include "test_db.h"
#include "textproc/abbrev.h"
#include "textproc/nrules.h"

namespace orvelle_test {

inline std::string EnglishData(const std::string& name) {
  return ReadFile(std::string(ORVELLE_SOURCE_DIR) + "/tests/data/en/" + name);
}

// The dictionary as lexicon lines, headwords lower-cased and each
// syllable's stress on its vowel ("hello hh_ax0_l_ow1"), in file order.
inline std::string EnglishLexiconLines(const std::vector<CmuEntry>& entries) {
  std::string out;
  for (const CmuEntry& e : entries) {
    std::string word = e.word;
    for (char& c : word) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    out += word + " " + CmuToQrln(e, '_') + "\n";
  }
  return out;
}

// Syllabification data: every vowel at stress 0 and 1 is a nucleus, every
// consonant run that opens a dictionary syllable before its vowel an onset.
inline std::string EnglishSyllables(const std::vector<CmuEntry>& entries) {
  std::string out = "# nuclei\n";
  for (const std::string& v : CmuVowels()) out += "N_" + v + "0\nN_" + v + "1\n";
  std::set<std::string> onsets;
  for (const CmuEntry& e : entries)
    for (const CmuSyllable& s : e.syllables) {
      std::string onset;
      for (const std::string& p : s.phones) {
        if (CmuVowels().count(p)) {
          if (!onset.empty()) onsets.insert(onset);
          break;
        }
        onset += (onset.empty() ? "" : "_") + p;
      }
    }
  out += "# onsets\n";
  for (const std::string& o : onsets) out += o + "\n";
  return out;
}

// Writes the database to path; gives "" or what was missing. The rule
// reader's progress lines go to standard output.
inline std::string WriteEnglishDb(const std::string& path) {
  const std::vector<CmuEntry> entries = ReadCmuDict();
  if (entries.size() < 100000) return std::string("no CMU dictionary at ") + kCmuDictPath;
  const std::string rules_text = EnglishData("rules.xml"), abbrev_text = EnglishData("abbrev.txt"),
                    breaks_text = EnglishData("breaks.txt"), pos_text = EnglishData("pos.txt"),
                    phones_text = EnglishData("lgphones.txt"), tags_text = EnglishData("lgpos.txt"),
                    config = EnglishData("config.xml"), letters = EnglishData("letters.txt"),
                    cart_text = EnglishData("lts.cart");
  for (const std::string* s : {&rules_text, &abbrev_text, &breaks_text, &pos_text, &phones_text, &tags_text, &config,
                               &letters, &cart_text})
    if (s->empty()) return "missing file in tests/data/en";
  nrules* rules = QLTP_deserialise_nrules(nullptr, rules_text.c_str());
  abbdict* abbrev = QLTP_deserialise_abbrev(abbrev_text.c_str());
  pbreak* breaks = QLTP_deserialise_pbreak(breaks_text.c_str());
  pos* tags = QLTP_deserialise_pos(pos_text.c_str());
  hashstrarray* phone_map = QLTP_deserialise_hashstrarray(phones_text.c_str());
  hashstrarray* pos_map = QLTP_deserialise_hashstrarray(tags_text.c_str());
  ccart* cart = QLTP_deserialise_ccart(cart_text.c_str());
  maxonset* syllables = QLTP_deserialise_maxonset(EnglishSyllables(entries).c_str());
  // The trees' kind stores only what its own writer gives.
  std::string cart_image;
  if (cart) {
    cart_image.resize(static_cast<size_t>(std::max(QLTPPy_ccart_write(cart, nullptr), 0)));
    QLTP_fixedbuf buffer{static_cast<uint32_t>(cart_image.size()), cart_image.data()};
    if (QLTPPy_ccart_write(cart, &buffer) != 0) cart_image.clear();
  }
  std::string error;
  if (cart_image.empty() || !rules || !abbrev || !breaks || !tags || !phone_map || !pos_map || !cart || !syllables) {
    error = "a file in tests/data/en did not read";
  } else {
    WriteTestDb(path,
                {{"TPOBJ_CONFIG:DEFAULT", nullptr, TextObject(config)},
                 {"TPOBJ_NRULES:DEFAULT", rules},
                 {"TPOBJ_ABBREV:DEFAULT", abbrev},
                 {"TPOBJ_PBREAK:DEFAULT", breaks},
                 {"TPOBJ_POSTAGS:DEFAULT", tags},
                 {"TPOBJ_LGPHONEMAP:DEFAULT", phone_map},
                 {"TPOBJ_LGPOSMAP:DEFAULT", pos_map},
                 {"TPOBJ_LEXMGR:DEFAULT", nullptr, TextObject("main:0")},
                 {"TPOBJ_LEXHASH:MAIN", nullptr, TextObject("main\n" + EnglishLexiconLines(entries) + letters)},
                 {"TPOBJ_CCART:DEFAULT", nullptr, cart_image},
                 {"TPOBJ_SYLMAX:DEFAULT", syllables}},
                false, {{"LANGUAGE", "en"}});
  }
  QLTP_nrules_delete(rules);
  QLTP_abbdict_delete(abbrev);
  QLTP_pbreak_delete(breaks);
  QLTP_pos_delete(tags);
  QLTP_hashstrarray_delete(phone_map);
  QLTP_hashstrarray_delete(pos_map);
  QLTP_ccart_delete(cart);
  QLTP_maxonset_delete(syllables);
  return error;
}

}  // namespace orvelle_test
