// Real letter-to-sound data for tests and benchmarks: the CMU letter trees
// of festlex-cmu, turned into the compact CART text form, and the CMU
// pronouncing dictionary of pocketsphinx-en-us.
//
// The trees are s-expressions "(letter TREE)", TREE being either
// "((question) YES NO)" with a question like "(p.p.name is h)", or a leaf
// "(((phone prob) ... phone))" whose last atom is the chosen phone.
// "_epsilon_" becomes "#" and "-" inside a phone becomes "_"; the root is
// the tree's first non-terminal.
#pragma once

#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

namespace orvelle_test {

inline constexpr char kCmuLtsRules[] = "/usr/share/festival/dicts/cmu/cmu_lts_rules.scm";
inline constexpr char kCmuDict[] = "/usr/share/pocketsphinx/model/en-us/cmudict-en-us.dict";

struct Sexp {
  std::string atom;
  std::vector<std::unique_ptr<Sexp>> items;
  bool IsAtom() const { return !atom.empty(); }
};

inline std::unique_ptr<Sexp> ParseSexp(const std::string& s, size_t& at) {
  while (at < s.size() && std::isspace(static_cast<unsigned char>(s[at]))) ++at;
  auto node = std::make_unique<Sexp>();
  if (at >= s.size()) return node;
  if (s[at] == '(') {
    ++at;
    for (;;) {
      while (at < s.size() && std::isspace(static_cast<unsigned char>(s[at]))) ++at;
      if (at >= s.size() || s[at] == ')') break;
      node->items.push_back(ParseSexp(s, at));
    }
    ++at;
    return node;
  }
  size_t start = at;
  while (at < s.size() && !std::isspace(static_cast<unsigned char>(s[at])) && s[at] != '(' && s[at] != ')') ++at;
  node->atom = s.substr(start, at - start);
  return node;
}

class CmuTreeWriter {
 public:
  // The CART text of one letter's tree.
  std::string Tree(const std::string& letter, const Sexp& tree) {
    terminals_.clear();
    nonterminals_.clear();
    Number(tree);
    std::string out = "Letter: " + letter + " Terminals: " + std::to_string(terminals_.size()) +
                      " NonTerminals: " + std::to_string(nonterminals_.size()) + "\n";
    for (const auto& t : terminals_) out += "T " + t + "\n";
    for (const auto& n : nonterminals_) out += n.text + "\n";
    return out;
  }

 private:
  struct Pending {
    std::string text;
  };

  static bool IsLeaf(const Sexp& t) { return t.items.size() == 1; }

  static std::string Phone(const Sexp& leaf) {
    const Sexp& dist = *leaf.items[0];
    std::string p = dist.items.back()->atom;
    if (p == "_epsilon_") return "#";
    for (char& c : p)
      if (c == '-') c = '_';
    return p;
  }

  // Gives the node number of the subtree; non-terminals are numbered after
  // all terminals, so their numbers are fixed up at the end.
  int Number(const Sexp& t) {
    std::vector<const Sexp*> nodes;
    Collect(t, nodes);
    int leaves = 0;
    for (const Sexp* n : nodes) leaves += IsLeaf(*n) ? 1 : 0;
    std::map<const Sexp*, int> id;
    int next_leaf = 0, next_node = leaves;
    for (const Sexp* n : nodes) id[n] = IsLeaf(*n) ? next_leaf++ : next_node++;
    for (const Sexp* n : nodes) {
      if (IsLeaf(*n)) {
        terminals_.push_back(Phone(*n));
        continue;
      }
      const Sexp& q = *n->items[0];
      nonterminals_.push_back({"N " + q.items[0]->atom + " " + q.items[2]->atom + " " +
                               std::to_string(id[n->items[1].get()]) + " " + std::to_string(id[n->items[2].get()])});
    }
    return id[&t];
  }

  static void Collect(const Sexp& t, std::vector<const Sexp*>& out) {
    out.push_back(&t);
    if (IsLeaf(t)) return;
    Collect(*t.items[1], out);
    Collect(*t.items[2], out);
  }

  std::vector<std::string> terminals_;
  std::vector<Pending> nonterminals_;
};

// The whole rule file as CART text; empty when the file is missing.
inline std::string CmuCartText() {
  std::ifstream in(kCmuLtsRules);
  if (!in) return "";
  std::stringstream buf;
  buf << in.rdbuf();
  std::string scm = buf.str();
  size_t at = scm.find("(set! cmu_lts_rules '(");
  if (at == std::string::npos) return "";
  at += std::string("(set! cmu_lts_rules '").size();
  auto rules = ParseSexp(scm, at);
  CmuTreeWriter writer;
  std::string body;
  for (const auto& rule : rules->items) body += writer.Tree(rule->items[0]->atom, *rule->items[1]);
  return "Number_Trees: " + std::to_string(rules->items.size()) + "\n" + body;
}

struct CmuWord {
  std::string word;
  std::vector<std::string> pronunciations;  // upper-case phones, blank-separated
};

// Headwords in file order with their variants ("word(2)") in order.
inline std::vector<CmuWord> CmuDictionary() {
  std::vector<CmuWord> out;
  std::map<std::string, size_t> index;
  std::ifstream in(kCmuDict);
  for (std::string line; std::getline(in, line);) {
    size_t sp = line.find(' ');
    if (sp == std::string::npos) continue;
    std::string word = line.substr(0, sp);
    if (size_t paren = word.find('('); paren != std::string::npos) word.resize(paren);
    auto [it, added] = index.emplace(word, out.size());
    if (added) out.push_back({word, {}});
    out[it->second].pronunciations.push_back(line.substr(sp + 1));
  }
  return out;
}

}  // namespace orvelle_test
