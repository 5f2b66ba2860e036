// The CMU pronouncing dictionary as Debian's festlex-cmu installs it, and an
// English IPA phone set over its phones, for tests on real data.
#pragma once

#include <fstream>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace orvelle_test {

inline constexpr char kCmuDictPath[] = "/usr/share/festival/dicts/cmu/cmudict-0.4.out";

struct CmuSyllable {
  std::vector<std::string> phones;
  char stress;
};

struct CmuEntry {
  std::string word;
  std::vector<CmuSyllable> syllables;
};

// Entries such as ("aback" nil (((ax) 0) ((b ae k) 1))), in file order;
// none when the file is missing (scripts/setup.sh installs it).
inline std::vector<CmuEntry> ReadCmuDict() {
  std::ifstream in(kCmuDictPath);
  std::vector<CmuEntry> entries;
  std::string line;
  while (std::getline(in, line)) {
    if (line.size() < 4 || line[0] != '(' || line[1] != '"') continue;
    CmuEntry e;
    const size_t close = line.find('"', 2);
    e.word = line.substr(2, close - 2);
    size_t at = line.find("((", close);
    while (at != std::string::npos) {
      while (line[at + 2] == '(') ++at;
      const size_t end = line.find(')', at);
      CmuSyllable s;
      std::string phones = line.substr(at + 2, end - at - 2);
      for (size_t p = 0; p < phones.size();) {
        size_t q = phones.find(' ', p);
        if (q == std::string::npos) q = phones.size();
        if (q > p) s.phones.push_back(phones.substr(p, q - p));
        p = q + 1;
      }
      s.stress = line[end + 2];
      e.syllables.push_back(s);
      at = line.find("((", end);
    }
    entries.push_back(e);
  }
  return entries;
}

inline const std::set<std::string>& CmuVowels() {
  static const std::set<std::string> vowels = {"aa", "ae", "ah", "ao", "aw", "ax", "ay", "eh",
                                               "er", "ey", "ih", "iy", "ow", "oy", "uh", "uw"};
  return vowels;
}

// The IPA symbol of each CMU phone.
inline const std::map<std::string, std::string>& CmuIpa() {
  static const std::map<std::string, std::string> ipa = {
      {"aa", "ɑ"},  {"ae", "æ"}, {"ah", "ʌ"}, {"ao", "ɔ"},  {"aw", "aʊ"}, {"ax", "ə"}, {"ay", "aɪ"},
      {"b", "b"},   {"ch", "tʃ"}, {"d", "d"},  {"dh", "ð"},  {"eh", "ɛ"},  {"er", "ɝ"}, {"ey", "eɪ"},
      {"f", "f"},   {"g", "ɡ"},  {"hh", "h"}, {"ih", "ɪ"},  {"iy", "i"},  {"jh", "dʒ"}, {"k", "k"},
      {"l", "l"},   {"m", "m"},  {"n", "n"},  {"ng", "ŋ"},  {"ow", "oʊ"}, {"oy", "ɔɪ"}, {"p", "p"},
      {"r", "ɹ"},   {"s", "s"},  {"sh", "ʃ"}, {"t", "t"},   {"th", "θ"},  {"uh", "ʊ"}, {"uw", "u"},
      {"v", "v"},   {"w", "w"},  {"y", "j"},  {"z", "z"},   {"zh", "ʒ"},
  };
  return ipa;
}

// An English IPA phone set (alphabet "ipa") whose qrln phones are the CMU
// phones. The first character of every two-character symbol is a base phone
// of its own (a, e and o without a qrln phone). Syllables are separated by
// "." and stressed ones begin with "ˈ".
inline std::string EnglishIpaPhoneSet() {
  std::string phones;
  int n = 0;
  auto add = [&](const std::string& symbol, const std::string& qrln, bool vowel) {
    phones += symbol + " - " + (vowel ? "C0" : "40") + std::string(22, '0') + " " + qrln + " 0 0\n";
    ++n;
  };
  for (const auto& [cmu, ipa] : CmuIpa()) add(ipa, cmu, CmuVowels().count(cmu) > 0);
  for (const char* lone : {"a", "e", "o"}) add(lone, "0", true);
  return "VERSION 1\nNR_FEATURE_BYTES 12\nNR_NAMES 1\nipa\n"
         "NR_FEATURES 6\nvowel\nbasephone\nbreaking symbol\nsyllable break\nstress marker\nprimary\n"
         "NR_PHONES " + std::to_string(n) + "\n" + phones +
         "NR_MODIFIERS 2\neˈ - 2C" + std::string(22, '0') + " 1\ne. - 30" + std::string(22, '0') + " 1\n"
         "NR_QUESTIONS 0\nNR_STRESSES 1\n04" + std::string(22, '0') + " " + std::string(24, '0') + " " +
         std::string(24, '0') + " " + std::string(24, '0') + " 1\n";
}

inline std::string CmuToIpa(const CmuEntry& e);

inline std::string XmlEscape(const std::string& s) {
  std::string out;
  for (char c : s) {
    if (c == '&') out += "&amp;";
    else if (c == '<') out += "&lt;";
    else if (c == '>') out += "&gt;";
    else out += c;
  }
  return out;
}

// One PLS document in IPA holding every entry, a lexeme each.
inline std::string CmuPlsDocument(const std::vector<CmuEntry>& entries) {
  std::string doc = "<?xml version=\"1.0\"?>\n<lexicon version=\"1.0\" alphabet=\"ipa\" xml:lang=\"en-US\">\n";
  for (const auto& e : entries)
    doc += "<lexeme><grapheme>" + XmlEscape(e.word) + "</grapheme><phoneme>" + CmuToIpa(e) + "</phoneme></lexeme>\n";
  return doc + "</lexicon>\n";
}

// The entry in IPA, and its qrln phones with the stress digit of each vowel.
inline std::string CmuToIpa(const CmuEntry& e) {
  std::string out;
  for (const CmuSyllable& s : e.syllables) {
    if (!out.empty()) out += '.';
    bool vowel = false;
    for (const auto& p : s.phones) vowel |= CmuVowels().count(p) > 0;
    // Stress lives on vowels; a syllable without one carries none.
    if (s.stress != '0' && vowel) out += "ˈ";
    for (const auto& p : s.phones) out += CmuIpa().at(p);
  }
  return out;
}

inline std::string CmuToQrln(const CmuEntry& e, char separator) {
  std::string out;
  for (const CmuSyllable& s : e.syllables)
    for (const auto& p : s.phones) {
      if (!out.empty()) out += separator;
      out += p;
      if (CmuVowels().count(p)) out += s.stress;
    }
  return out;
}

}  // namespace orvelle_test
