// Japanese segmentation with the IPA dictionary's costs and context matrix
// (mecab-ipadic), on the Japanese text of manpages-ja, compared with mecab
// on the same text.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <set>
#include <string>
#include <unordered_set>
#include <vector>

#include "foundation/utf8.h"
#include "linguistics/disambiguation.h"
#include "cpu_time.h"
#include "test_db.h"
#include "textproc/channel.h"
#include "textproc/nrules.h"

namespace {

constexpr char kIpadic[] = "/usr/share/mecab/dic/ipadic";
constexpr const char* kPages[] = {"ls", "cp", "mv", "rm", "cat", "chmod", "date", "df", "du", "find", "grep", "tar",
                                  "sort", "head", "tail", "cut", "wc", "ln", "mkdir", "touch"};

std::string Output(const std::string& command) {
  std::string out;
  FILE* p = popen(command.c_str(), "r");
  if (!p) return out;
  char buf[65536];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
  pclose(p);
  return out;
}

bool Japanese(uint32_t cp) {
  return (cp >= 0x3041 && cp <= 0x30FF) || (cp >= 0x4E00 && cp <= 0x9FFF) || (cp >= 0x3400 && cp <= 0x4DBF);
}

// Runs of Japanese characters (at most 160, so 480 bytes) from the pages.
std::vector<std::string> Runs() {
  std::vector<std::string> runs;
  for (const char* page : kPages) {
    std::string path = std::string("/usr/share/man/ja/man1/") + page + ".1.gz";
    std::string text = Output("zcat " + path + " 2>/dev/null");
    EXPECT_FALSE(text.empty()) << path;
    std::string run;
    int chars = 0;
    for (size_t i = 0; i < text.size();) {
      uint32_t cp = 0;
      int k = QLTP_utf82unicode(&cp, text.c_str() + i) ? QLTP_u8_seqlen(text.c_str() + i) : 1;
      if (k <= 0 || i + static_cast<size_t>(k) > text.size()) k = 1;
      if (Japanese(cp) && chars < 160) {
        run.append(text, i, static_cast<size_t>(k));
        ++chars;
      } else if (!run.empty()) {
        if (chars >= 2) runs.push_back(run);
        run.clear();
        chars = 0;
        if (Japanese(cp)) continue;
      }
      i += static_cast<size_t>(k);
    }
  }
  return runs;
}

// Word-boundary offsets (in characters) inside a segmented run.
std::set<int> Boundaries(const std::vector<int>& lengths) {
  std::set<int> b;
  int at = 0;
  for (size_t i = 0; i + 1 < lengths.size(); ++i) b.insert(at += lengths[i]);
  return b;
}

TEST(DisambiguationIpadicTest, SegmentsManualPagesLikeMecab) {
  std::vector<std::string> runs = Runs();
  ASSERT_GT(runs.size(), 200u);
  size_t total_chars = 0;
  std::unordered_set<std::string> substrings;
  for (const std::string& r : runs) {
    std::vector<size_t> at;
    for (size_t i = 0; i < r.size(); i += static_cast<size_t>(QLTP_u8_seqlen(r.c_str() + i))) at.push_back(i);
    at.push_back(r.size());
    total_chars += at.size() - 1;
    for (size_t i = 0; i + 1 < at.size(); ++i)
      for (size_t j = i + 1; j < at.size() && j - i <= 20; ++j) substrings.insert(r.substr(at[i], at[j] - at[i]));
  }
  // Entries: "surface,left id,right id,cost,..." in EUC-JP.
  std::string csv = Output(std::string("cat ") + kIpadic + "/*.csv | iconv -f EUC-JP -t UTF-8");
  ASSERT_GT(csv.size(), 10000000u) << "mecab-ipadic missing";
  std::string lexicon;
  size_t entries = 0;
  for (size_t pos = 0; pos < csv.size();) {
    size_t end = csv.find('\n', pos);
    if (end == std::string::npos) end = csv.size();
    std::string line = csv.substr(pos, end - pos);
    pos = end + 1;
    size_t c1 = line.find(','), c2 = line.find(',', c1 + 1), c3 = line.find(',', c2 + 1), c4 = line.find(',', c3 + 1);
    if (c4 == std::string::npos) continue;
    std::string surface = line.substr(0, c1);
    if (!substrings.count(surface)) continue;
    lexicon += surface + " p weight_" + line.substr(c3 + 1, c4 - c3 - 1) + " ctxt_" + line.substr(c1 + 1, c2 - c1 - 1) + "\n";
    ++entries;
  }
  ASSERT_GT(entries, 1000u);

  disamctxt* matrix = QLTP_disamctxt_readtxt((std::string(kIpadic) + "/matrix.def").c_str());
  ASSERT_NE(matrix, nullptr);
  EXPECT_EQ(matrix->n, 1317);
  EXPECT_EQ(QLTP_disamctxt_lookup(matrix, 0, 0), -434);
  ::testing::internal::CaptureStdout();
  nrules* rules = QLTP_deserialise_nrules(nullptr,
                                          "<rules><regex name='qltp_disambiguation_kanji'><![CDATA[^\\p{Han}+$]]></regex>"
                                          "<regex name='qltp_disambiguation_hiragana'><![CDATA[^\\p{Hiragana}+$]]></regex>"
                                          "<regex name='qltp_disambiguation_katakana'><![CDATA[^[\\p{Katakana}ー]+$]]></regex>"
                                          "</rules>");
  ::testing::internal::GetCapturedStdout();
  orvelle_test::ScratchDir dir;
  const std::string path = dir.Path("ipadic.tpdb");
  orvelle_test::WriteTestDb(path,
                            {{"TPOBJ_LEXMGR:DEFAULT", nullptr, orvelle_test::TextObject("main:0")},
                             {"TPOBJ_LEXHASH:MAIN", nullptr, orvelle_test::TextObject("main\n" + lexicon)},
                             {"TPOBJ_NRULES:DEFAULT", rules},
                             {"TPOBJ_DISAMCTXT:DEFAULT", matrix}},
                            false, {{"LANGUAGE", "ja"}});
  QLTP_nrules_delete(rules);
  QLTP_disamctxt_delete(matrix);
  orvelle_test::LoadedDb db(path);
  std::remove(path.c_str());
  channel* ch = QLTP_tpc_newtype(db.db, nullptr, 0, nullptr, QLTP_TPC_TK);
  disambiguation* stage = QLTP_disambiguation_new(ch);
  ASSERT_NE(stage, nullptr);

  // Ours: the best path's words from each position on, as the stage walks.
  auto segment = [&](const std::string& r) {
    std::vector<int> lengths;
    int left = 0;
    for (size_t at = 0; at < r.size();) {
      QLTP_disambiguation_word_disam_n(stage, r.c_str() + at, &left, -1, 1);
      if (stage->best_len == 0) {
        lengths.push_back(1);
        at += static_cast<size_t>(QLTP_u8_seqlen(r.c_str() + at));
        continue;
      }
      for (int k = 0; k < stage->best_len; ++k) {
        lengths.push_back(stage->best[k].chars);
        at += stage->best[k].bytes;
      }
      left = stage->best[stage->best_len - 1].klass;
    }
    return lengths;
  };
  std::vector<std::vector<int>> ours;
  const double started = orvelle_test::ThreadCpuSeconds();
  for (const std::string& r : runs) ours.push_back(segment(r));
  const double seconds = orvelle_test::ThreadCpuSeconds() - started;
  const std::string* longest = &runs.front();
  for (const std::string& r : runs)
    if (r.size() > longest->size()) longest = &r;
  const double longest_seconds = orvelle_test::BestCpuSeconds([&] { segment(*longest); });

  // mecab on the same runs, one per line.
  const std::string runs_path = dir.Path("ipadic_runs.txt");
  std::string all;
  for (const std::string& r : runs) all += r + "\n";
  orvelle_test::WriteFile(runs_path, all);
  const auto mecab_started = std::chrono::steady_clock::now();
  std::string wakati = Output("mecab -Owakati < " + runs_path);
  const double mecab_seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - mecab_started).count();
  std::remove(runs_path.c_str());
  std::vector<std::vector<int>> theirs;
  for (size_t pos = 0; pos < wakati.size();) {
    size_t end = wakati.find('\n', pos);
    if (end == std::string::npos) end = wakati.size();
    std::vector<int> lengths;
    std::string line = wakati.substr(pos, end - pos), word;
    for (size_t i = 0; i <= line.size(); ++i) {
      if (i == line.size() || line[i] == ' ') {
        if (!word.empty()) lengths.push_back(QLTP_u8_strlen(word.c_str()));
        word.clear();
      } else {
        word += line[i];
      }
    }
    theirs.push_back(lengths);
    pos = end + 1;
  }
  ASSERT_EQ(theirs.size(), ours.size());
  size_t agree = 0, mine = 0, mecab = 0;
  for (size_t i = 0; i < ours.size(); ++i) {
    std::set<int> a = Boundaries(ours[i]), b = Boundaries(theirs[i]);
    mine += a.size();
    mecab += b.size();
    for (int x : a) agree += b.count(x);
  }
  const double precision = static_cast<double>(agree) / static_cast<double>(mine);
  const double recall = static_cast<double>(agree) / static_cast<double>(mecab);
  std::printf("ipadic: %zu runs, %zu characters, %zu entries; boundary precision %.3f recall %.3f; "
              "%.0f chars/s of CPU time (mecab process %.0f chars/s, ratio %.3f); longest run %.1f ms\n",
              runs.size(), total_chars, entries, precision, recall, total_chars / seconds,
              total_chars / mecab_seconds, mecab_seconds / seconds, longest_seconds * 1000);
  EXPECT_GT(precision, 0.95);
  EXPECT_GT(recall, 0.95);
  // The search is linear in the run: the longest run costs per character
  // about what all runs cost on average (a search that re-scored expanded
  // positions would take minutes on it).
  const double longest_chars = static_cast<double>(QLTP_u8_strlen(longest->c_str()));
  const double per_char = seconds / static_cast<double>(total_chars);
  EXPECT_LT(longest_seconds / longest_chars, 8 * per_char)
      << "the longest run, " << longest_chars << " characters, took " << longest_seconds << " s of CPU time";
  QLTP_disambiguation_delete(stage);
  QLTP_tpc_delete(ch);
}

}  // namespace
