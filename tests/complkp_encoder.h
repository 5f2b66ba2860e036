// A small building tool for compressed lookup tables, as the outside tools
// that make them would be: Huffman codes over single bytes (no byte pairs),
// buckets by key prefix, entries sorted by bucket, key length and key bytes
// (a stable sort, so repeated keys keep their values in the given order).
// Also the CMU pronouncing dictionary as (headword, entry) pairs.
#pragma once

#include <algorithm>
#include <cstdint>
#include <fstream>
#include <map>
#include <queue>
#include <string>
#include <utility>
#include <vector>

#include "foundation/complkp.h"
#include "foundation/strutil.h"

namespace orvelle_test {

using KeyValues = std::vector<std::pair<std::string, std::string>>;

inline constexpr char kCmuDict[] = "/usr/share/pocketsphinx/model/en-us/cmudict-en-us.dict";

// "word(2) AH0 B" -> {"word", "AH0_B"}, in file order; empty when missing.
inline KeyValues CmuEntries() {
  KeyValues out;
  std::ifstream in(kCmuDict);
  for (std::string line; std::getline(in, line);) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    size_t sp = line.find(' ');
    if (sp == std::string::npos || sp == 0) continue;
    std::string word = line.substr(0, sp);
    if (size_t paren = word.find('('); paren != std::string::npos && paren > 0) word.resize(paren);
    std::string pron = line.substr(sp + 1);
    std::replace(pron.begin(), pron.end(), ' ', '_');
    out.emplace_back(std::move(word), std::move(pron));
  }
  return out;
}

// Huffman code over the bytes of one side; node 0 is the root.
struct HuffmanSide {
  std::vector<complkp_node> nodes;
  std::vector<std::string> codes = std::vector<std::string>(256);  // byte -> "0101"
  std::vector<unsigned char> symbol_of = std::vector<unsigned char>(256);
  std::vector<unsigned char> bytes;                                 // symbol -> byte

  explicit HuffmanSide(const std::vector<uint64_t>& freq) {
    for (int b = 0; b < 256; ++b)
      if (freq[b]) {
        symbol_of[b] = static_cast<unsigned char>(bytes.size());
        bytes.push_back(static_cast<unsigned char>(b));
      }
    struct Tmp {
      int c0 = -1, c1 = -1, sym = -1;
    };
    std::vector<Tmp> tmp;
    using Item = std::pair<uint64_t, int>;
    std::priority_queue<Item, std::vector<Item>, std::greater<>> queue;
    for (size_t s = 0; s < bytes.size(); ++s) {
      tmp.push_back({-1, -1, static_cast<int>(s)});
      queue.push({freq[bytes[s]], static_cast<int>(s)});
    }
    while (queue.size() > 1) {
      auto [fa, a] = queue.top();
      queue.pop();
      auto [fb, b] = queue.top();
      queue.pop();
      tmp.push_back({a, b, -1});
      queue.push({fa + fb, static_cast<int>(tmp.size() - 1)});
    }
    if (tmp.empty()) return;
    // Renumber breadth first so that the root is node 0.
    std::vector<std::pair<int, std::string>> order{{queue.top().second, ""}};
    for (size_t i = 0; i < order.size(); ++i) {
      const Tmp& t = tmp[order[i].first];
      if (t.sym >= 0) {
        nodes.push_back({0, 0, static_cast<uint32_t>(t.sym)});
        codes[bytes[t.sym]] = order[i].second;
        continue;
      }
      uint32_t c0 = static_cast<uint32_t>(order.size());
      order.push_back({t.c0, order[i].second + "0"});
      order.push_back({t.c1, order[i].second + "1"});
      nodes.push_back({c0, c0 + 1, 0});
    }
  }
};

inline std::string BucketKey(const std::string& key, int prefix) {
  return key.substr(0, std::min<size_t>(key.size(), static_cast<size_t>(prefix)));
}

// Sorts the entries as the table stores them.
inline KeyValues TableOrder(KeyValues entries, int prefix) {
  std::stable_sort(entries.begin(), entries.end(), [prefix](const auto& a, const auto& b) {
    std::string ba = BucketKey(a.first, prefix), bb = BucketKey(b.first, prefix);
    if (ba != bb) return ba < bb;
    if (a.first.size() != b.first.size()) return a.first.size() < b.first.size();
    return a.first < b.first;
  });
  return entries;
}

// Builds a table; entries whose key or coded form exceed one byte's count
// are left out. The entries must be in TableOrder.
inline complkp* EncodeTable(const KeyValues& entries, int prefix) {
  std::vector<uint64_t> kf(256), vf(256);
  size_t max_key = 0, max_value = 0;
  for (const auto& [k, v] : entries) {
    for (unsigned char ch : k) ++kf[ch];
    for (unsigned char ch : v) ++vf[ch];
    ++vf[0];
    max_key = std::max(max_key, k.size());
    max_value = std::max(max_value, v.size());
  }
  HuffmanSide ks(kf), vs(vf);
  std::vector<unsigned char> data;
  std::vector<std::pair<std::string, int32_t>> buckets;
  for (const auto& [k, v] : entries) {
    std::string bits;
    for (unsigned char ch : k) bits += ks.codes[ch];
    for (unsigned char ch : v) bits += vs.codes[ch];
    bits += vs.codes[0];
    size_t nbytes = (bits.size() + 7) / 8;
    if (k.empty() || k.size() > 255 || nbytes + 1 > 255) continue;
    std::string bucket = BucketKey(k, prefix);
    if (buckets.empty() || buckets.back().first != bucket)
      buckets.emplace_back(bucket, static_cast<int32_t>(data.size()));
    data.push_back(static_cast<unsigned char>(nbytes + 1));
    data.push_back(static_cast<unsigned char>(k.size()));
    for (size_t i = 0; i < nbytes; ++i) {
      unsigned char byte = 0;
      for (size_t b = 0; b < 8; ++b)
        if (i * 8 + b < bits.size() && bits[i * 8 + b] == '1') byte |= static_cast<unsigned char>(0x80 >> b);
      data.push_back(byte);
    }
  }
  complkp* t = QLTP_complkp_new();
  QLTP_complkp_init(t, data.data(), static_cast<int32_t>(data.size()), static_cast<int32_t>(ks.bytes.size()),
                    static_cast<int32_t>(vs.bytes.size()), static_cast<int32_t>(ks.nodes.size()),
                    static_cast<int32_t>(vs.nodes.size()), static_cast<int32_t>(max_key),
                    static_cast<int32_t>(max_value), static_cast<int32_t>(buckets.size()), 1);
  for (size_t s = 0; s < ks.bytes.size(); ++s) QLTP_complkp_setbpdeck(t, static_cast<int>(s), ks.bytes[s], 0);
  for (size_t s = 0; s < vs.bytes.size(); ++s) QLTP_complkp_setbpdecv(t, static_cast<int>(s), vs.bytes[s], 0);
  for (size_t n = 0; n < ks.nodes.size(); ++n)
    QLTP_complkp_sethdeck(t, static_cast<int>(n), ks.nodes[n].child0, ks.nodes[n].child1, ks.nodes[n].leaf);
  for (size_t n = 0; n < vs.nodes.size(); ++n)
    QLTP_complkp_sethdecv(t, static_cast<int>(n), vs.nodes[n].child0, vs.nodes[n].child1, vs.nodes[n].leaf);
  for (const auto& [bucket, offset] : buckets)
    QLTP_complkp_setidx(t, bucket.data(), static_cast<int>(bucket.size()), offset);
  return t;
}

}  // namespace orvelle_test
