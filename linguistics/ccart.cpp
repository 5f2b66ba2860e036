#include "linguistics/ccart.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <new>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "foundation/dict.h"
#include "foundation/dystr.h"
#include "foundation/logger.h"
#include "foundation/serial.h"
#include "foundation/strarray.h"
#include "foundation/strutil.h"
#include "foundation/tpdb.h"
#include "foundation/utf8.h"
#include "linguistics/lexmgr.h"
#include "linguistics/ltstree.h"

namespace {

// A longer context would only pad words with more "#" than any question
// can reach; it bounds the padded word a run allocates.
constexpr int32_t kMaxContext = 1024;
constexpr int32_t kNoScore = -200000;
constexpr int64_t kFullWeight = 100000;
// Scoring recurses once per level of the stress tree.
constexpr int kMaxDepth = 4096;

bool ValidWidth(int32_t w) { return w == 1 || w == 2 || w == 4; }

int32_t WidthFor(int64_t v) { return v < 256 ? 1 : v < 65536 ? 2 : 4; }

struct Tree {
  int32_t offset, terminals, nonterminals;
};

Tree TreeAt(const ccart* c, int32_t i) { return {c->trees[3 * i], c->trees[3 * i + 1], c->trees[3 * i + 2]}; }

int64_t TreeBytes(const ccart* c, const Tree& t) {
  return static_cast<int64_t>(t.terminals) * c->h6 + static_cast<int64_t>(t.nonterminals) * c->record_width;
}

int32_t Root(const Tree& t) { return t.terminals == 1 ? 0 : t.terminals; }

// One node, read from the data (fields in host order).
struct Node {
  bool terminal;
  uint32_t output;  // terminal
  uint32_t question, value, yes, no;
};

// The node, or false when it lies outside the tree.
bool NodeAt(const ccart* c, const Tree& t, int64_t node, Node& n) {
  if (node < 0 || node >= static_cast<int64_t>(t.terminals) + t.nonterminals) return false;
  const char* base = c->data + t.offset;
  if (node < t.terminals) {
    n = {true, QLTP_read_bytes(base + node * c->h6, c->h6), 0, 0, 0, 0};
    return true;
  }
  const char* r = base + static_cast<int64_t>(t.terminals) * c->h6 + (node - t.terminals) * c->record_width;
  n.terminal = false;
  n.question = QLTP_read_bytes(r, c->h2);
  n.value = QLTP_read_bytes(r + c->h2, c->h3);
  n.yes = QLTP_read_bytes(r + c->h2 + c->h3, c->h4);
  n.no = QLTP_read_bytes(r + c->h2 + c->h3 + c->h4, c->h5);
  return true;
}

// Characters after the window that a question tests.
int32_t QuestionReach(const ccart* c, const Node& n) {
  if (QLTP_strarray_sz(c->questions) > 0) {
    int32_t left = 0, right = 0;
    QLTP_lts_question_steps(QLTP_strarray_idx(c->questions, static_cast<int>(n.question)), &left, &right);
    return c->h1 - left + right;
  }
  return static_cast<int32_t>(std::min<int64_t>(n.question, kMaxContext * 4));
}

// Every index inside its table and every node number inside its tree.
bool NodesAreSound(const ccart* c) {
  const auto outputs = static_cast<uint32_t>(QLTP_strarray_sz(c->outputs));
  const auto questions = static_cast<uint32_t>(QLTP_strarray_sz(c->questions));
  for (int32_t i = 0; i < c->n; ++i) {
    Tree t = TreeAt(c, i);
    const uint32_t nodes = static_cast<uint32_t>(t.terminals) + static_cast<uint32_t>(t.nonterminals);
    for (uint32_t k = 0; k < nodes; ++k) {
      Node n;
      NodeAt(c, t, k, n);
      if (n.terminal ? n.output >= outputs
                     : (questions > 0 && n.question >= questions) || n.yes >= nodes || n.no >= nodes)
        return false;
    }
  }
  return true;
}

// Trees inside the data; gives the node bytes of all trees.
bool TreesFit(const ccart* c, int64_t& node_bytes) {
  node_bytes = 0;
  for (int32_t i = 0; i < c->n; ++i) {
    Tree t = TreeAt(c, i);
    if (t.offset < 0 || t.terminals < 0 || t.nonterminals < 0) return false;
    int64_t bytes = TreeBytes(c, t);
    if (t.offset + bytes > c->size) return false;
    node_bytes += bytes;
  }
  return true;
}

void SwapScores(char* at, int32_t n) {
  for (int32_t i = 0; i < n; ++i) QLTP_swap_bytes(at + 4 * i, 4);
}

// Copies the score table from the end of the data when the data holds one.
bool TakeScores(ccart* c, int64_t node_bytes) {
  if (c->n == 0 || c->size != node_bytes + 4LL * c->n) return true;
  c->scores = static_cast<int32_t*>(QLTP_calloc(sizeof(int32_t), static_cast<size_t>(c->n)));
  if (!c->scores) return false;
  std::memcpy(c->scores, c->data + c->size - 4LL * c->n, 4 * static_cast<size_t>(c->n));
  return true;
}

ccart* NewModel() {
  auto* c = new (std::nothrow) ccart{};
  if (!c) return nullptr;
  c->padded = QLTP_dystr_new(nullptr, 0);
  c->result = QLTP_dystr_new(nullptr, 0);
  if (!c->padded || !c->result) {
    QLTP_ccart_delete(c);
    return nullptr;
  }
  return c;
}

// ---------------------------------------------------------------------------
// Building from text and from tree sets

struct TextNode {
  std::string question, value;
  int64_t yes, no;
};

struct TextTree {
  std::string letter;
  int64_t terminals, nonterminals;
  std::vector<std::string> outputs;
  std::vector<TextNode> nodes;
};

std::vector<std::string_view> Fields(std::string_view line) {
  std::vector<std::string_view> out;
  size_t i = 0;
  while (i < line.size()) {
    while (i < line.size() && std::strchr(QLTP_WSPACE, line[i]) && line[i]) ++i;
    size_t start = i;
    while (i < line.size() && !(std::strchr(QLTP_WSPACE, line[i]) && line[i])) ++i;
    if (i > start) out.push_back(line.substr(start, i - start));
  }
  return out;
}

bool Count(std::string_view field, int64_t& v) {
  if (field.empty() || field.size() > 10) return false;
  v = 0;
  for (char ch : field) {
    if (ch < '0' || ch > '9') return false;
    v = v * 10 + (ch - '0');
  }
  return v <= std::numeric_limits<int32_t>::max();
}

bool ParseText(std::string_view text, std::vector<TextTree>& trees) {
  const std::string_view eol = text.find("\r\n") != std::string_view::npos ? "\r\n" : "\n";
  int64_t declared = -1;
  size_t at = 0;
  while (at <= text.size()) {
    size_t stop = text.find(eol, at);
    if (stop == std::string_view::npos) stop = text.size();
    std::string_view line = text.substr(at, stop - at);
    at = stop + eol.size();
    if (line.empty() || line[0] == '#') continue;
    auto f = Fields(line);
    if (f.empty()) continue;  // blank: a trailing line end, or only white space
    constexpr std::string_view kTrees = "Number_Trees:";
    if (line.substr(0, kTrees.size()) == kTrees) {
      auto rest = Fields(line.substr(kTrees.size()));
      if (declared >= 0 || rest.empty() || !Count(rest[0], declared)) return false;
    } else if (f[0] == "Letter:") {
      TextTree t;
      if (declared < 0 || f.size() < 6 || !Count(f[3], t.terminals) || !Count(f[5], t.nonterminals)) return false;
      if (!trees.empty() && (static_cast<int64_t>(trees.back().outputs.size()) != trees.back().terminals ||
                             static_cast<int64_t>(trees.back().nodes.size()) != trees.back().nonterminals))
        return false;
      t.letter = f[1];
      trees.push_back(std::move(t));
      if (static_cast<int64_t>(trees.size()) > declared) return false;
    } else if (line[0] == 'T' && f[0] == "T" && f.size() == 2) {
      if (trees.empty() || !trees.back().nodes.empty() ||
          static_cast<int64_t>(trees.back().outputs.size()) >= trees.back().terminals)
        return false;
      trees.back().outputs.emplace_back(f[1]);
    } else if (line[0] == 'N' && f[0] == "N" && f.size() == 5) {
      TextNode n;
      if (trees.empty() || !Count(f[3], n.yes) || !Count(f[4], n.no)) return false;
      TextTree& t = trees.back();
      if (static_cast<int64_t>(t.outputs.size()) != t.terminals || static_cast<int64_t>(t.nodes.size()) >= t.nonterminals ||
          n.yes >= t.terminals + t.nonterminals || n.no >= t.terminals + t.nonterminals)
        return false;
      n.question = f[1];
      n.value = f[2];
      t.nodes.push_back(std::move(n));
    }
    // Any other line is none of the model's and is skipped, also one that
    // only begins with 'T' or 'N' ("Trained on ...", "Notes: ..."): a node
    // line left out this way still fails its tree's counts.
  }
  if (declared < 0 || static_cast<int64_t>(trees.size()) != declared) return false;
  if (!trees.empty() && (static_cast<int64_t>(trees.back().outputs.size()) != trees.back().terminals ||
                         static_cast<int64_t>(trees.back().nodes.size()) != trees.back().nonterminals))
    return false;
  return true;
}

// Numbering in order of first appearance.
struct Numbering {
  std::unordered_map<std::string, int32_t> ids;
  std::vector<std::string> order;
  int32_t Of(const std::string& s) {
    auto [it, added] = ids.emplace(s, static_cast<int32_t>(order.size()));
    if (added) order.push_back(s);
    return it->second;
  }
};

// Node fields before packing: terminals hold outputs, records the rest.
struct PlainTree {
  std::string letter;
  std::vector<uint32_t> outputs;
  std::vector<Node> records;
};

// Packs plain trees into a model: widths from the largest values, trees in
// order, then room for the score table when asked.
ccart* Pack(const std::vector<PlainTree>& trees, int32_t context, int32_t question_width, const Numbering& outputs,
            const std::vector<std::string>& questions, const Numbering& values, bool with_scores) {
  ccart* c = NewModel();
  if (!c) return nullptr;
  c->n = static_cast<int32_t>(trees.size());
  c->h1 = context;
  uint32_t yes = 0, no = 0;
  for (const auto& t : trees)
    for (const auto& r : t.records) yes = std::max(yes, r.yes), no = std::max(no, r.no);
  c->h2 = question_width;
  c->h3 = WidthFor(static_cast<int64_t>(values.order.size()));
  c->h4 = WidthFor(yes);
  c->h5 = WidthFor(no);
  c->h6 = WidthFor(static_cast<int64_t>(outputs.order.size()));
  c->record_width = c->h2 + c->h3 + c->h4 + c->h5;
  int64_t node_bytes = 0;
  for (const auto& t : trees)
    node_bytes += static_cast<int64_t>(t.outputs.size()) * c->h6 + static_cast<int64_t>(t.records.size()) * c->record_width;
  int64_t size = node_bytes + (with_scores ? 4LL * c->n : 0);
  if (size > std::numeric_limits<int32_t>::max() - 1) {
    QLTP_ccart_delete(c);
    return nullptr;
  }
  c->size = static_cast<int32_t>(size);
  c->trees = static_cast<int32_t*>(QLTP_calloc(sizeof(int32_t), 3 * trees.size() + 1));
  c->data = static_cast<char*>(QLTP_calloc(1, static_cast<size_t>(c->size) + 1));
  c->letters = QLTP_dict_new_empty(static_cast<int>(trees.size()) + 8);
  c->values = QLTP_dict_new_empty(static_cast<int>(values.order.size()) + 8);
  c->outputs = QLTP_strarray_new();
  c->questions = QLTP_strarray_new();
  bool ok = c->trees && c->data && c->letters && c->values && c->outputs && c->questions;
  for (const auto& s : outputs.order) ok = ok && QLTP_strarray_add(c->outputs, s.c_str(), -1);
  for (const auto& s : questions) ok = ok && QLTP_strarray_add(c->questions, s.c_str(), -1);
  for (const auto& s : values.order)
    ok = ok && QLTP_dict_add_entry(c->values, s.data(), static_cast<int>(s.size())) ==
                   QLTP_dict_size(c->values);
  char* p = c->data;
  for (size_t i = 0; ok && i < trees.size(); ++i) {
    const PlainTree& t = trees[i];
    c->trees[3 * i] = static_cast<int32_t>(p - c->data);
    c->trees[3 * i + 1] = static_cast<int32_t>(t.outputs.size());
    c->trees[3 * i + 2] = static_cast<int32_t>(t.records.size());
    for (uint32_t o : t.outputs) p = QLTP_write_bytes(p, o, c->h6);
    for (const auto& r : t.records) {
      p = QLTP_write_bytes(p, r.question, c->h2);
      p = QLTP_write_bytes(p, r.value, c->h3);
      p = QLTP_write_bytes(p, r.yes, c->h4);
      p = QLTP_write_bytes(p, r.no, c->h5);
    }
    // Tree ids index the tree table, so each letter has one tree.
    ok = !t.letter.empty() &&
         QLTP_dict_lookup_word(c->letters, t.letter.data(), static_cast<int>(t.letter.size())) == 0 &&
         QLTP_dict_add_entry(c->letters, t.letter.data(), static_cast<int>(t.letter.size())) ==
             static_cast<int>(i) + 1;
  }
  if (!ok) {
    QLTP_ccart_delete(c);
    return nullptr;
  }
  return c;
}

int32_t TreeOf(const ccart* c, std::string_view letter) {
  int id = QLTP_dict_lookup_word(c->letters, letter.data(), static_cast<int>(letter.size()));
  return id >= 1 && id <= c->n ? id - 1 : -1;
}

// The stress score of letter x: how strongly the stress tree's path to its
// "1" terminal depends on the current letter being x.
class Scorer {
 public:
  Scorer(const ccart* c, const Tree& stress, uint32_t one, int64_t x_value)
      : c_(c), t_(stress), one_(one), x_(x_value), values_(QLTP_dict_size(c->values)) {}

  // False when a path loops or the walk grows past any tree's size.
  bool Walk(int64_t& score) {
    score = Walk(Root(t_), kFullWeight, false, 0);
    return budget_ >= 0;
  }

 private:
  int64_t Walk(int64_t node, int64_t weight, bool flag, int depth) {
    int64_t total = 0;
    const int64_t nodes = static_cast<int64_t>(t_.terminals) + t_.nonterminals;
    for (; depth <= nodes; ++depth) {
      Node n;
      if (depth > kMaxDepth) budget_ = -1;
      if (--budget_ < 0 || !NodeAt(c_, t_, node, n)) return total;
      if (n.terminal) {
        if (flag) total += (node == one_ ? weight : -weight) * values_;
        return total;
      }
      bool yes_flag = flag;
      if (!flag && QuestionReach(c_, n) == c_->h1) yes_flag = x_ == static_cast<int64_t>(n.value);
      total += Walk(n.no, weight, flag, depth + 1);
      if (values_ > 0) weight /= values_;
      node = n.yes;
      flag = yes_flag;
    }
    budget_ = -1;  // a path longer than the tree: it loops
    return total;
  }

  const ccart* c_;
  Tree t_;
  int64_t one_;
  int64_t x_;
  int64_t values_;
  int64_t budget_ = 1 << 22;
};

// Fills the score table at the end of the data and prints each score.
bool ScoreLetters(ccart* c, int32_t stress_tree) {
  Tree stress = TreeAt(c, stress_tree);
  int64_t one = -1;
  for (int32_t k = 0; k < stress.terminals && one < 0; ++k) {
    Node n;
    NodeAt(c, stress, k, n);
    if (std::strcmp(QLTP_strarray_idx(c->outputs, static_cast<int>(n.output)), "1") == 0) one = k;
  }
  c->scores = static_cast<int32_t*>(QLTP_calloc(sizeof(int32_t), static_cast<size_t>(c->n)));
  if (!c->scores) return false;
  for (int32_t i = 0; i < c->n; ++i) {
    const char* letter = QLTP_dict_lookup_index(c->letters, i + 1);
    int64_t score = 0;
    if (one >= 0 && stress.terminals == 1) {
      score = kFullWeight;
    } else if (one >= 0) {
      int64_t x = QLTP_dict_lookup_word(c->values, letter, -1) - 1;
      if (!Scorer(c, stress, static_cast<uint32_t>(one), x).Walk(score)) return false;
    }
    score = std::clamp<int64_t>(score, std::numeric_limits<int32_t>::min(), std::numeric_limits<int32_t>::max());
    c->scores[i] = static_cast<int32_t>(score);
    std::printf("ctx: %s, score: %d\n", letter, c->scores[i]);
  }
  std::memcpy(c->data + c->size - 4LL * c->n, c->scores, 4 * static_cast<size_t>(c->n));
  return true;
}

// ---------------------------------------------------------------------------
// Running

// A word with its padding, split into characters, each with the value id
// (less one) that questions compare with.
struct PaddedWord {
  std::string text;
  std::vector<size_t> starts;  // byte start of each character
  std::vector<int64_t> ids;    // -1 for a character no question tests
  int64_t hash = -1;           // what lies beyond the padded word

  PaddedWord(const ccart* c, std::string_view word) {
    const std::string pad(static_cast<size_t>(c->h1), '#');
    text = pad + std::string(word) + pad;
    auto id = [c](const char* p, size_t n) {
      return static_cast<int64_t>(QLTP_dict_lookup_word(c->values, p, static_cast<int>(n))) - 1;
    };
    hash = id(QLTP_HASH, 1);
    for (size_t at = 0; at < text.size();) {
      size_t n = static_cast<size_t>(QLTP_u8_seqlen(text.data() + at));
      if (n == 0 || at + n > text.size()) n = 1;
      starts.push_back(at);
      ids.push_back(n == 1 && text[at] == '#' ? hash : id(text.data() + at, n));
      at += n;
    }
  }
  // The character k after the window (at the window when k < 1).
  int64_t IdAt(size_t window, int64_t k) const {
    size_t at = k >= 1 ? window + static_cast<size_t>(k) : window;
    return at < ids.size() ? ids[at] : hash;
  }
};

// The output of a search from the tree's root, or NULL when the walk leaves
// the tree or runs longer than its node count.
const char* SearchTree(const ccart* c, int32_t tree, const PaddedWord& padded, size_t window, int verbose) {
  const Tree t = TreeAt(c, tree);
  const int64_t nodes = static_cast<int64_t>(t.terminals) + t.nonterminals;
  int64_t node = Root(t);
  for (int64_t steps = 0; steps <= nodes; ++steps) {
    Node n;
    if (!NodeAt(c, t, node, n)) return nullptr;
    if (n.terminal) {
      const char* out = QLTP_strarray_idx(c->outputs, static_cast<int>(n.output));
      if (verbose) std::printf("SELECTED: %lld %s\n", static_cast<long long>(node), out ? out : "");
      return out;
    }
    bool yes = padded.IdAt(window, QuestionReach(c, n)) == static_cast<int64_t>(n.value);
    int64_t next = yes ? n.yes : n.no;
    if (verbose) {
      ccartrecord r;
      QLTP_ccart_get_record(c, tree, static_cast<int32_t>(node), &r);
      std::printf("%s: %lld %lld %s %s %s\n", yes ? "YES" : "NO", static_cast<long long>(node),
                  static_cast<long long>(next), r.question, r.value, padded.text.c_str() + padded.starts[window]);
    }
    node = next;
  }
  return nullptr;
}

bool IsPrimary(char s) { return s == '1' || s == '3' || s == '4'; }

// Same length and equal, or differing only in a final stress digit.
bool RepeatsLast(std::string_view r, std::string_view last) {
  if (r.size() != last.size()) return false;
  if (r == last) return true;
  auto digit = [](char ch) { return ch >= '0' && ch <= '4'; };
  return !r.empty() && r.substr(0, r.size() - 1) == last.substr(0, last.size() - 1) && digit(r.back()) &&
         digit(last.back());
}

// Every "1" before the new primary's mark becomes secondary when far from
// it and unstressed when close.
void Demote(std::string& out, int64_t mark) {
  for (size_t i = 0; i < out.size(); ++i)
    if (out[i] == '1') out[i] = mark - static_cast<int64_t>(i) > 10 ? '2' : '0';
}

std::string Run(const ccart* c, std::string_view word, logger* log, int verbose, const PaddedWord& padded,
                lexmgr* lexicons, complkp_lkp* cursor, const char* language) {
  const int32_t stress_tree = TreeOf(c, "0");
  std::string out, last;
  int64_t best = kNoScore, mark = -1;
  bool primary = false;
  size_t window = 0;
  for (size_t at = 0; at < word.size();) {
    size_t len = static_cast<size_t>(QLTP_u8_seqlen(word.data() + at));
    if (len == 0 || at + len > word.size()) len = 1;
    const std::string_view letter = word.substr(at, len);
    const int32_t tree = TreeOf(c, letter);
    const size_t here = window++;
    at += len;
    if (tree < 0) {
      int pronunciation = 0;
      const char* entry = lexicons ? QLTP_lexmgr_lookup(lexicons, std::string(letter).c_str(), nullptr, nullptr,
                                                        cursor, &pronunciation)
                                   : nullptr;
      if (entry) {
        if (!out.empty()) out += ' ';
        out.append(entry, static_cast<size_t>(pronunciation));
      } else if (log) {
        QLTP_logger_set_error(log, QLTP_MESSAGE_INFO, "Bad LTS starting", letter.data());
      }
      continue;
    }
    const char* found = SearchTree(c, tree, padded, here, verbose);
    if (!found || found[0] == '0') continue;
    const std::string_view r(found);
    std::string s;
    bool with_stress = false;
    if (!r.empty() && r.back() == '0' && stress_tree >= 0) {
      if (const char* stress = SearchTree(c, stress_tree, padded, here, verbose)) {
        with_stress = true;
        s = stress;
        const int64_t b = c->scores ? c->scores[tree] : 0;
        const bool is_primary = !s.empty() && IsPrimary(s[0]);
        const int64_t grown = static_cast<int64_t>(out.size()) - mark;
        if (primary && is_primary) {
          if (b > best) {
            mark = static_cast<int64_t>(out.size());
            best = b;
            Demote(out, mark);
          } else {
            s = grown <= 10 ? "0" : "2";
          }
        } else if (!primary && is_primary) {
          if (b >= kNoScore + 1) {
            best = b;
            primary = true;
            mark = static_cast<int64_t>(out.size());
            Demote(out, mark);
          } else {
            s = grown <= 10 ? "0" : "2";
          }
        } else if (!primary && b > best) {
          mark = static_cast<int64_t>(out.size());
          best = b;
        }
      }
    }
    if (RepeatsLast(r, last) || r == QLTP_HASH) continue;
    if (!out.empty()) out += ' ';
    if (with_stress && !r.empty()) {
      out.append(r.substr(0, r.size() - 1));
      if (!s.empty()) out += s[0];
    } else {
      out.append(r);
    }
    last = r;
  }
  if (!primary && mark >= 0) {
    const bool nordic = language && (std::strcmp(language, "sv") == 0 || std::strcmp(language, "no") == 0);
    for (size_t i = static_cast<size_t>(std::min<int64_t>(mark, static_cast<int64_t>(out.size()))); i < out.size(); ++i)
      if (out[i] >= '0' && out[i] <= '9') {
        out[i] = nordic ? '4' : '1';
        break;
      }
  }
  std::replace(out.begin(), out.end(), '_', ' ');
  return out;
}

// ---------------------------------------------------------------------------
// The database kind

void* LoadKind(tpdb* db, int32_t offset) {
  int32_t size = QLTP_read_int(db, offset);
  if (size <= 0) return nullptr;
  ccart* c = nullptr;
  int32_t got = QLTP_ccart_read(db->file, &c, db->swap);
  if (c && got > size) {
    QLTP_ccart_delete(c);
    return nullptr;
  }
  return c;
}

void DeleteKind(void* object) { QLTP_ccart_delete(static_cast<ccart*>(object)); }
int32_t WriteNothing(void*, char*, int) { return 0; }

const int registered =
    QLTP_tpobj_register("TPOBJ_CCART", {.load = LoadKind, .del = DeleteKind, .write = WriteNothing});

}  // namespace

// ---------------------------------------------------------------------------
// Binary form

int32_t QLTP_ccart_read(FILE* file, ccart** out, int swap) {
  if (!out) return 0;
  *out = nullptr;
  if (!file) return 0;
  try {
    const long start = std::ftell(file);
    int32_t head[8];
    if (QLTP_int_read(file, head, 8, swap) != 8) return 0;
    const int32_t n = head[0], d = head[7];
    if (n < 0 || head[1] < 0 || head[1] > kMaxContext || d < 0) return 0;
    for (int i = 2; i <= 6; ++i)
      if (!ValidWidth(head[i])) return 0;
    if (!QLTP_file_may_hold(file, 12ULL * static_cast<uint64_t>(n) + static_cast<uint64_t>(d))) return 0;
    ccart* c = NewModel();
    if (!c) return 0;
    c->n = n;
    c->h1 = head[1];
    c->h2 = head[2], c->h3 = head[3], c->h4 = head[4], c->h5 = head[5], c->h6 = head[6];
    c->record_width = c->h2 + c->h3 + c->h4 + c->h5;
    c->size = d;
    c->trees = static_cast<int32_t*>(QLTP_calloc(sizeof(int32_t), 3 * static_cast<size_t>(n) + 1));
    c->data = static_cast<char*>(QLTP_malloc(static_cast<size_t>(d) + 1));
    int64_t node_bytes = 0;
    bool ok = c->trees && c->data && QLTP_int_read(file, c->trees, 3 * n, swap) == 3 * n &&
              QLTP_dict_read(file, &c->letters, swap) && QLTP_dict_read(file, &c->values, swap) &&
              QLTP_strarray_read(file, &c->outputs, swap) && QLTP_strarray_read(file, &c->questions, swap) &&
              QLTP_file_may_hold(file, static_cast<uint64_t>(d)) &&
              QLTP_fread(c->data, 1, static_cast<size_t>(d), file) == static_cast<size_t>(d) &&
              QLTP_dict_size(c->letters) <= n && TreesFit(c, node_bytes);
    if (ok && swap) {
      QLTP_ccart_byteswap_data(c, c->data);
      if (c->n > 0 && c->size == node_bytes + 4LL * c->n) SwapScores(c->data + c->size - 4LL * c->n, c->n);
    }
    ok = ok && NodesAreSound(c) && TakeScores(c, node_bytes);
    const long end = std::ftell(file);
    if (!ok || start < 0 || end < start) {
      QLTP_ccart_delete(c);
      return 0;
    }
    *out = c;
    return static_cast<int32_t>(end - start);
  } catch (...) {
    return 0;
  }
}

ccart* QLTPPy_ccart_load(const char* path) {
  if (!path) return nullptr;
  FILE* file = std::fopen(path, "rb");
  if (!file) return nullptr;
  ccart* c = nullptr;
  QLTP_ccart_read(file, &c, 0);
  std::fclose(file);
  return c;
}

int32_t QLTP_ccart_write_sz(const ccart* c) {
  if (!c) return 0;
  int64_t letters = QLTP_dict_write_sz(c->letters), values = QLTP_dict_write_sz(c->values);
  if (letters <= 0 || values <= 0) return 0;
  int64_t sz = 32 + 12LL * c->n + letters + values + QLTP_strarray_write_sz(c->outputs) +
               QLTP_strarray_write_sz(c->questions) + c->size;
  return sz > std::numeric_limits<int32_t>::max() ? 0 : static_cast<int32_t>(sz);
}

char* QLTP_ccart_write(const ccart* c, char* buffer, int swap) {
  if (!c || !buffer || QLTP_ccart_write_sz(c) == 0) return nullptr;
  const int32_t head[8] = {c->n, c->h1, c->h2, c->h3, c->h4, c->h5, c->h6, c->size};
  char* p = QLTP_int_write(head, buffer, 8, swap);
  p = QLTP_int_write(c->trees, p, 3 * c->n, swap);
  p = QLTP_dict_write(c->letters, p, swap);
  if (p) p = QLTP_dict_write(c->values, p, swap);
  if (p) p = QLTP_strarray_write(c->outputs, p, swap);
  if (p) p = QLTP_strarray_write(c->questions, p, swap);
  if (!p) return nullptr;
  std::memcpy(p, c->data, static_cast<size_t>(c->size));
  if (swap) {
    QLTP_ccart_byteswap_data(c, p);
    if (c->scores) SwapScores(p + c->size - 4LL * c->n, c->n);
  }
  return p + c->size;
}

int32_t QLTPPy_ccart_write(const ccart* c, QLTP_fixedbuf* buffer) {
  int32_t sz = QLTP_ccart_write_sz(c);
  if (!buffer) return sz;
  if (sz == 0 || buffer->size < static_cast<uint32_t>(sz) || !buffer->data) return -1;
  return QLTP_ccart_write(c, buffer->data, 0) ? 0 : -1;
}

char* QLTP_ccart_byteswap_data(const ccart* c, char* data) {
  if (!c || !data) return nullptr;
  int64_t end = 0;
  for (int32_t i = 0; i < c->n; ++i) {
    const Tree t = TreeAt(c, i);
    char* p = data + t.offset;
    for (int32_t k = 0; k < t.terminals; ++k) p = QLTP_swap_bytes(p, c->h6);
    for (int32_t k = 0; k < t.nonterminals; ++k) {
      p = QLTP_swap_bytes(p, c->h2);
      p = QLTP_swap_bytes(p, c->h3);
      p = QLTP_swap_bytes(p, c->h4);
      p = QLTP_swap_bytes(p, c->h5);
    }
    end = std::max<int64_t>(end, p - data);
  }
  return data + end;
}

// ---------------------------------------------------------------------------
// Building

ccart* QLTP_deserialise_ccart(const char* text) {
  if (!text) return nullptr;
  try {
    std::vector<TextTree> parsed;
    if (!ParseText(text, parsed)) return nullptr;
    int32_t context = 0;
    uint32_t widest_question = 0;
    for (const auto& t : parsed)
      for (const auto& n : t.nodes) {
        int32_t left = 0, right = 0;
        QLTP_lts_question_steps(n.question.c_str(), &left, &right);
        context = std::max(context, left + right);
      }
    if (context > kMaxContext) return nullptr;
    Numbering outputs, values;
    std::vector<PlainTree> trees;
    bool with_scores = false;
    for (const auto& t : parsed) {
      PlainTree p{t.letter, {}, {}};
      with_scores = with_scores || t.letter == "0";
      for (const auto& o : t.outputs) p.outputs.push_back(static_cast<uint32_t>(outputs.Of(o)));
      for (const auto& n : t.nodes) {
        int32_t left = 0, right = 0;
        QLTP_lts_question_steps(n.question.c_str(), &left, &right);
        auto q = static_cast<uint32_t>(context + right - left);
        widest_question = std::max(widest_question, q);
        p.records.push_back({false, 0, q, static_cast<uint32_t>(values.Of(n.value)), static_cast<uint32_t>(n.yes),
                             static_cast<uint32_t>(n.no)});
      }
      trees.push_back(std::move(p));
    }
    ccart* c = Pack(trees, context, WidthFor(widest_question), outputs, {}, values, with_scores);
    if (c && with_scores && !ScoreLetters(c, TreeOf(c, "0"))) {
      QLTP_ccart_delete(c);
      return nullptr;
    }
    return c;
  } catch (...) {
    return nullptr;
  }
}

ccart* QLTP_ccart_readtxt(const char* path) {
  std::string text;
  if (!path || !QLTP_read_text_file(path, text)) return nullptr;
  return QLTP_deserialise_ccart(text.c_str());
}

ccart* QLTP_ccart_new(const lts* set) {
  if (!set) return nullptr;
  try {
    Numbering outputs, questions, values;
    std::vector<PlainTree> trees;
    for (int i = 0; i < QLTP_voidparray_sz(set->trees); ++i) {
      auto* tree = static_cast<const ltstree*>(QLTP_voidparray_idx(set->trees, i));
      PlainTree p{tree->letter ? tree->letter : "", {}, {}};
      ltsrecord r;
      for (int32_t k = 0; k < tree->terminal_count; ++k) {
        if (!QLTP_ltstree_get_record(tree, k, &r)) return nullptr;
        p.outputs.push_back(static_cast<uint32_t>(outputs.Of(r.output)));
      }
      for (int32_t k = 0; k < tree->nonterminal_count; ++k) {
        if (!QLTP_ltstree_get_record(tree, tree->terminal_count + k, &r)) return nullptr;
        p.records.push_back({false, 0, static_cast<uint32_t>(questions.Of(r.question)),
                             static_cast<uint32_t>(values.Of(r.value)), static_cast<uint32_t>(r.yes),
                             static_cast<uint32_t>(r.no)});
      }
      trees.push_back(std::move(p));
    }
    if (set->context < 0 || set->context > kMaxContext) return nullptr;
    return Pack(trees, set->context, WidthFor(static_cast<int64_t>(questions.order.size())), outputs,
                questions.order, values, false);
  } catch (...) {
    return nullptr;
  }
}

void QLTP_ccart_delete(ccart* c) {
  if (!c) return;
  QLTP_free(c->trees);
  QLTP_free(c->data);
  QLTP_dict_delete(c->letters);
  QLTP_dict_delete(c->values);
  QLTP_strarray_delete(c->outputs);
  QLTP_strarray_delete(c->questions);
  QLTP_dystr_delete(c->padded);
  QLTP_dystr_delete(c->result);
  QLTP_free(c->scores);
  delete c;
}

// ---------------------------------------------------------------------------
// Running

const char* QLTP_ccart_get_record(const ccart* c, int32_t tree, int32_t node, ccartrecord* record) {
  if (!c || tree < 0 || tree >= c->n || !record) return nullptr;
  Node n;
  if (!NodeAt(c, TreeAt(c, tree), node, n)) return nullptr;
  if (n.terminal) return QLTP_strarray_idx(c->outputs, static_cast<int>(n.output));
  std::string name;
  if (QLTP_strarray_sz(c->questions) > 0) {
    name = QLTP_strarray_idx(c->questions, static_cast<int>(n.question));
  } else {
    int64_t reach = static_cast<int64_t>(n.question) - c->h1;
    for (int64_t i = 0; i < std::min<int64_t>(std::abs(reach), 20); ++i) name += reach < 0 ? "p." : "n.";
    name += "name";
  }
  std::snprintf(record->question, sizeof record->question, "%s", name.c_str());
  const char* value = QLTP_dict_lookup_index(c->values, static_cast<int>(n.value) + 1);
  record->value = value ? value : "";
  record->yes = static_cast<int32_t>(n.yes);
  record->no = static_cast<int32_t>(n.no);
  record->output = "";
  return "";
}

const char* QLTP_runccart(ccart* c, const char* word, logger* log, int verbose, dystr* padded, dystr* out,
                          lexmgr* lexicons, complkp_lkp* cursor, const char* language) {
  if (!c || !word || !padded || !out) return nullptr;
  try {
    const PaddedWord padded_word(c, word);
    std::string phones = Run(c, word, log, verbose, padded_word, lexicons, cursor, language);
    QLTP_dystr_clear(padded);
    QLTP_dystr_clear(out);
    QLTP_dystr_append(padded, padded_word.text.data(), static_cast<int>(padded_word.text.size()));
    QLTP_dystr_append(out, phones.data(), static_cast<int>(phones.size()));
    return QLTP_dystr_cstr(out);
  } catch (...) {
    return nullptr;
  }
}

const char* QLTP_ccart_internal_test(ccart* c, const char* word, int verbose) {
  if (!c) return nullptr;
  std::printf("WARNING: this function does not run ccart in the same way as pronunce!\n");
  return QLTP_runccart(c, word, nullptr, verbose, c->padded, c->result, nullptr, nullptr, "");
}

const char* QLTP_ccart_test(tpdb* db, const char* word, int verbose) {
  auto* c = static_cast<ccart*>(QLTP_tpdb_get_tpdata(db, "TPOBJ_CCART:DEFAULT"));
  if (!c) return nullptr;
  lexmgr* lexicons = QLTP_lexmgr_clone(QLTP_lexmgr_getlmgr(db));
  complkp_lkp* cursor = lexicons ? QLTP_lexmgr_cursor(lexicons) : nullptr;
  const char* r = QLTP_runccart(c, word, nullptr, verbose, c->padded, c->result, lexicons, cursor, "");
  QLTP_complkp_lkp_delete(cursor);
  QLTP_lexmgr_delete(lexicons);
  return r;
}
