#include "foundation/xmlscan.h"

#include <gtest/gtest.h>

#include "cpu_time.h"
#include "scratch_dir.h"

#include "small_stack.h"
#include <pthread.h>

#include <cstdio>
#include <cstring>
#include <functional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "foundation/regex.h"

namespace {

// Records every event as one line; adjacent character data can be merged so
// that feeds in different pieces compare equal.
struct Recorder {
  std::vector<std::string> events;
  bool merge_data = false;

  static Recorder& Of(void* u) { return *static_cast<Recorder*>(u); }
  static void Start(void* u, const char* name, const char** atts) {
    std::string e = std::string("S:") + name;
    for (const char** a = atts; *a; a += 2) e += std::string(" ") + a[0] + "=" + a[1];
    Of(u).events.push_back(e);
  }
  static void End(void* u, const char* name) { Of(u).events.push_back(std::string("E:") + name); }
  static void Data(void* u, const char* text, int len) {
    Recorder& r = Of(u);
    if (r.merge_data && !r.events.empty() && r.events.back().rfind("D:", 0) == 0)
      r.events.back().append(text, static_cast<size_t>(len));
    else
      r.events.push_back("D:" + std::string(text, static_cast<size_t>(len)));
  }
  static void Entity(void* u, const char* text, int len) {
    Of(u).events.push_back("N:" + std::string(text, static_cast<size_t>(len)));
  }
  static void CdataStart(void* u) { Of(u).events.push_back("C["); }
  static void CdataEnd(void* u) { Of(u).events.push_back("C]"); }
};

struct Scanner {
  QLTP_tpxml* x;
  Recorder rec;
  explicit Scanner(bool merge = false) : x(QLTP_tpxml_new()) {
    rec.merge_data = merge;
    QLTP_tpxml_set_userdata(x, &rec);
    QLTP_tpxml_set_element_handler(x, Recorder::Start, Recorder::End);
    QLTP_tpxml_set_character_data_handler(x, Recorder::Data);
    QLTP_tpxml_set_entity_handler(x, Recorder::Entity);
    QLTP_tpxml_set_cdata_section_handler(x, Recorder::CdataStart, Recorder::CdataEnd);
  }
  ~Scanner() { QLTP_tpxml_delete(x); }
  Scanner(const Scanner&) = delete;
  Scanner& operator=(const Scanner&) = delete;

  std::vector<std::string> Run(const std::string& text) {
    EXPECT_EQ(QLTP_tpxml_parse(x, text.data(), static_cast<int>(text.size()), 1), 1);
    return rec.events;
  }
  std::vector<std::string> RunInPieces(const std::string& text, size_t piece) {
    for (size_t at = 0; at < text.size(); at += piece)
      EXPECT_EQ(QLTP_tpxml_parse(x, text.data() + at,
                                 static_cast<int>(std::min(piece, text.size() - at)), 0),
                1);
    EXPECT_EQ(QLTP_tpxml_parse(x, "", 0, 1), 1);
    return rec.events;
  }
};

using Events = std::vector<std::string>;

TEST(TpxmlTest, ReportsTagsAttributesTextAndEntities) {
  Scanner s;
  EXPECT_EQ(s.Run("<a x='1' y=\"2\">t &amp; u</a>"),
            (Events{"S:a x=1 y=2", "D:t", "D: ", "N:&amp;", "D: ", "D:u", "E:a"}));
}

TEST(TpxmlTest, EmptyElementReportsStartAndEnd) {
  Scanner s;
  EXPECT_EQ(s.Run("<br/><p a = 'v' />"), (Events{"S:br", "E:br", "S:p a=v", "E:p"}));
}

TEST(TpxmlTest, CdataIsOneDataEventBetweenItsBoundaries) {
  Scanner s;
  EXPECT_EQ(s.Run("<![CDATA[a<b]]>"), (Events{"C[", "D:a<b", "C]"}));
}

TEST(TpxmlTest, CommentsHeadersDoctypesAndHtmlTagsAreSkipped) {
  Scanner s;
  EXPECT_EQ(s.Run("<?xml version=\"1.0\"?><!DOCTYPE a SYSTEM \"a.dtd\"><!-- x <b> -->y"
                  "<font size=3>z"),
            (Events{"D:y", "D:z"}));
}

TEST(TpxmlTest, StrayMarkupCharactersAreCharacterData) {
  Scanner s;
  EXPECT_EQ(s.Run("a < b --> c ]]> d"),
            (Events{"D:a", "D: ", "D:<", "D: ", "D:b", "D: ", "D:-->", "D: ", "D:c", "D: ",
                    "D:]]>", "D: ", "D:d"}));
}

TEST(TpxmlTest, UnterminatedTagAtTheEndComesOutAsCharacterData) {
  Scanner s(true);
  EXPECT_EQ(s.Run("<a>x<b y='1"), (Events{"S:a", "D:x<b y='1"}));
}

TEST(TpxmlTest, NamesAndValuesAreCutOnCharacterBoundaries) {
  std::string name40(40, 'n');
  std::string name31e = std::string(31, 'm') + "\xC3\xA9";  // 33 bytes, é straddles byte 32
  std::string value = std::string(2047, 'v') + "\xE2\x82\xAC";  // € straddles byte 2048
  Scanner s;
  Events got = s.Run("<" + name40 + "/><" + name31e + " " + name31e + "='" + value + "'>");
  ASSERT_EQ(got.size(), 3u);
  EXPECT_EQ(got[0], "S:" + name40.substr(0, 32));
  EXPECT_EQ(got[2], "S:" + std::string(31, 'm') + " " + std::string(31, 'm') + "=" +
                        std::string(2047, 'v'));
  std::string short_name = std::string(30, 'k') + "\xC3\xA9";  // exactly 32 bytes: kept whole
  Scanner t;
  EXPECT_EQ(t.Run("<" + short_name + "/>")[0], "S:" + short_name);
}

TEST(TpxmlTest, ManyLongAttributesKeepValidPointers) {
  std::string tag = "<many";
  std::string expect = "S:many";
  for (int i = 0; i < 300; ++i) {
    std::string v = std::to_string(i) + std::string(900, static_cast<char>('a' + i % 26));
    tag += " k" + std::to_string(i) + "=\"" + v + "\"";
    expect += " k" + std::to_string(i) + "=" + v;
  }
  tag += ">";
  Scanner s;
  EXPECT_EQ(s.Run(tag), (Events{expect}));
}

TEST(TpxmlTest, PiecesGiveTheSameEventsAsOneCall) {
  std::string doc =
      "<?xml version='1.0'?><root a='1'>Hello w\xC3\xB6rld &amp; more<!-- note --> <b>x</b>"
      "<![CDATA[raw <data>]]><e k=\"v\"/>\xE2\x82\xAC tail</root>";
  Scanner whole(true);
  Events expect = whole.Run(doc);
  // With a look-ahead longer than any token every split gives the same events.
  for (size_t piece = 1; piece < 40; ++piece) {
    Scanner s(true);
    QLTP_tpxml_set_lookahead(s.x, 48);
    EXPECT_EQ(s.RunInPieces(doc, piece), expect) << piece;
  }
}

TEST(TpxmlTest, NonFinalCallsKeepTheLookAheadBack) {
  Scanner s;
  std::string text(10000, 'a');
  for (size_t i = 100; i < text.size(); i += 100) text[i] = ' ';
  ASSERT_EQ(QLTP_tpxml_parse(s.x, text.data(), 5000, 0), 1);
  EXPECT_TRUE(s.rec.events.empty());  // below the 8192-byte look-ahead: nothing scanned
  ASSERT_EQ(QLTP_tpxml_parse(s.x, text.data() + 5000, 5000, 0), 1);
  int64_t scanned = QLTP_tpxml_byte_total(s.x);
  EXPECT_GE(scanned, 10000 - 8192);
  EXPECT_LT(scanned, 10000 - 8192 + 100);
  ASSERT_EQ(QLTP_tpxml_parse(s.x, nullptr, 0, 1), 1);
  EXPECT_EQ(QLTP_tpxml_byte_total(s.x), 10000);
}

TEST(TpxmlTest, TotalsCountBytesAndCharacters) {
  Scanner s;
  s.Run("<a>\xC3\xA9t\xC3\xA9</a>");
  EXPECT_EQ(QLTP_tpxml_byte_total(s.x), 12);
  EXPECT_EQ(QLTP_tpxml_char_total(s.x), 10);
  QLTP_tpxml_reset(s.x);
  EXPECT_EQ(QLTP_tpxml_byte_total(s.x), 0);
  EXPECT_EQ(QLTP_tpxml_char_total(s.x), 0);
}

TEST(TpxmlTest, ResetEndsAnUnterminatedCommentOrCdata) {
  Scanner s;
  s.Run("<!-- never closed");
  QLTP_tpxml_reset(s.x);
  s.Run("<a>kept</a>");
  EXPECT_EQ(s.rec.events, (Events{"S:a", "D:kept", "E:a"}));
  Scanner t;
  t.Run("<![CDATA[open");
  QLTP_tpxml_reset(t.x);
  t.rec.events.clear();
  t.Run("<b/>");
  EXPECT_EQ(t.rec.events, (Events{"S:b", "E:b"}));
}

TEST(TpxmlTest, InvalidUtf8BecomesReplacementCharacters) {
  Scanner s(true);
  EXPECT_EQ(s.Run("<a k='\xFF'>x\xC3(\x80y\xED\xA0\x80</a>"),
            (Events{"S:a k=\xEF\xBF\xBD",
                    "D:x\xEF\xBF\xBD(\xEF\xBF\xBDy\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD", "E:a"}));
}

TEST(TpxmlTest, CharacterSplitBetweenPiecesSurvives) {
  Scanner s(true);
  QLTP_tpxml_set_lookahead(s.x, 1);
  const std::string text = "ab\xE2\x82\xAC" "cd";
  EXPECT_EQ(s.RunInPieces(text, 1), (Events{"D:" + text}));
  Scanner t(true);
  EXPECT_EQ(t.Run("ab\xE2\x82"), (Events{"D:ab\xEF\xBF\xBD\xEF\xBF\xBD"}));  // cut at the end
}

TEST(TpxmlTest, KeyvalReadsOneQuotedAttribute) {
  const char* name;
  const char* value;
  int nl, vl;
  const char* text = "  x = 'v 1' y=\"2\"";
  const char* next = QLTP_get_keyval(text, static_cast<int>(std::strlen(text)), &name, &nl, &value, &vl);
  ASSERT_NE(next, nullptr);
  EXPECT_EQ(std::string(name, static_cast<size_t>(nl)), "x");
  EXPECT_EQ(std::string(value, static_cast<size_t>(vl)), "v 1");
  EXPECT_EQ(std::string(next), " y=\"2\"");
  // Form feed and vertical tab are blanks in a tag, as in its patterns.
  ASSERT_NE(QLTP_get_keyval("\v x\f=\f'1'", 9, &name, &nl, &value, &vl), nullptr);
  EXPECT_EQ(std::string(name, static_cast<size_t>(nl)) + "=" + std::string(value, static_cast<size_t>(vl)), "x=1");
  EXPECT_EQ(QLTP_get_keyval("x=1", 3, &name, &nl, &value, &vl), nullptr);  // unquoted
  EXPECT_EQ(QLTP_get_keyval("x='1", 4, &name, &nl, &value, &vl), nullptr);  // unclosed
  EXPECT_EQ(QLTP_get_keyval("x'1'", 4, &name, &nl, &value, &vl), nullptr);  // no '='
  EXPECT_EQ(QLTP_get_keyval("x='1\"", 5, &name, &nl, &value, &vl), nullptr);  // other quote
  EXPECT_EQ(QLTP_get_keyval(nullptr, 4, &name, &nl, &value, &vl), nullptr);
}

TEST(TpxmlTest, PatternTableAndImages) {
  // The doctype pattern takes either case and an optional identifier.
  const int expected_lengths[][2] = {{5, 726}, {6, 1314}, {7, 423}, {8, 1318}, {9, 193}};
  for (auto [slot, len] : expected_lengths)
    EXPECT_EQ(std::strlen(QLTP_XMLTOKEN_PATTERNS[slot]), static_cast<size_t>(len)) << slot;
  EXPECT_STREQ(QLTP_XMLTOKEN_NAMES[13], "XMLChar");

  Scanner s;
  EXPECT_EQ(QLTP_tpxml_get_no_compiled_regexs(s.x), 17);
  EXPECT_EQ(QLTP_tpxml_get_no_compiled_regexs(nullptr), 0);
  EXPECT_EQ(QLTP_tpxml_get_compiled_regex_sz(s.x, 17), 0);
  EXPECT_EQ(QLTP_tpxml_get_compiled_regex_sz(s.x, -1), 0);
  int32_t size = QLTP_tpxml_get_compiled_regex_sz(s.x, 16);
  ASSERT_GT(size, 0);
  std::vector<char> image(static_cast<size_t>(size));
  EXPECT_EQ(QLTP_tpxml_get_compiled_regex(s.x, 16, image.data(), size - 1), 0);
  ASSERT_EQ(QLTP_tpxml_get_compiled_regex(s.x, 16, image.data(), size), size);
  QLTP_regex* sep = QLTP_regex_from_image(image.data(), size);
  ASSERT_NE(sep, nullptr);
  int ov[QLTP_REGEX_OVECSIZE];
  EXPECT_EQ(QLTP_regex_exec(sep, "--x", -1, 0, ov), 2);
  EXPECT_EQ(ov[1], 1);  // one separator character, not a run
  QLTP_regex_free(sep);
}

TEST(TpxmlTest, SharedTableIsCompiledOnceForAllThreads) {
  std::vector<QLTP_regex* const*> seen(8);
  std::vector<std::thread> threads;
  for (int i = 0; i < 8; ++i) threads.emplace_back([&seen, i] { seen[i] = QLTP_TPXML_REGEXES(); });
  for (auto& t : threads) t.join();
  for (auto* table : seen) EXPECT_EQ(table, seen[0]);
  for (int i = 0; i < 17; ++i) EXPECT_NE(seen[0][i], nullptr) << i;
  EXPECT_EQ(seen[0][17], nullptr);
  int ov[QLTP_REGEX_OVECSIZE];
  EXPECT_EQ(QLTP_regex_exec(seen[0][QLTP_WHITESPACE], " \t\nx", -1, 0, ov), 2);
  EXPECT_EQ(ov[1], 3);
}

TEST(TpxmlTest, PatternsPutInOneScannerStayWithItAndStayTheCallers) {
  // Scanners share the compiled patterns, but each has its own table: a
  // pattern a caller puts in one scanner changes that scanner only, and the
  // scanner never frees it.
  QLTP_regex* letter = QLTP_regex_compile("^([a-z])", -1, 0);
  ASSERT_NE(letter, nullptr);
  const std::string text = "<p>abc</p>";
  {
    Scanner changed, other;
    QLTP_regex** table = QLTP_tpxml_get_regexs(changed.x);
    ASSERT_NE(table, nullptr);
    EXPECT_NE(table, const_cast<QLTP_regex**>(QLTP_TPXML_REGEXES()));
    table[QLTP_TEXT] = letter;
    EXPECT_EQ(changed.Run(text), (Events{"S:p", "D:a", "D:b", "D:c", "E:p"}));
    EXPECT_EQ(other.Run(text), (Events{"S:p", "D:abc", "E:p"}));
    Scanner later;
    EXPECT_EQ(later.Run(text), (Events{"S:p", "D:abc", "E:p"}));
    EXPECT_NE(QLTP_TPXML_REGEXES()[QLTP_TEXT], letter);
  }
  EXPECT_EQ(QLTP_regex_exec(letter, "x", -1, 0, nullptr), 2);
  QLTP_regex_free(letter);
}

TEST(TpxmlTest, NullScannerAndMissingHandlersAreHarmless) {
  EXPECT_EQ(QLTP_tpxml_parse(nullptr, "<a/>", 4, 1), 0);
  QLTP_tpxml_delete(nullptr);
  QLTP_tpxml_reset(nullptr);
  EXPECT_EQ(QLTP_tpxml_set_userdata(nullptr, nullptr), nullptr);
  QLTP_tpxml* x = QLTP_tpxml_new();
  EXPECT_EQ(QLTP_tpxml_parse(x, "<a k='v'>t &amp;<![CDATA[c]]></a>", -1, 1), 1);
  EXPECT_EQ(QLTP_tpxml_byte_total(x), 33);
  QLTP_tpxml_delete(x);
}

// A handler may not feed the scanner it is called from.
TEST(TpxmlTest, ReentrantParseFromAHandlerIsRefused) {
  struct Ctx {
    QLTP_tpxml* x;
    int inner = -1;
  } ctx;
  ctx.x = QLTP_tpxml_new();
  QLTP_tpxml_set_userdata(ctx.x, &ctx);
  QLTP_tpxml_set_character_data_handler(ctx.x, [](void* u, const char*, int) {
    auto* c = static_cast<Ctx*>(u);
    c->inner = QLTP_tpxml_parse(c->x, "more", 4, 1);
  });
  EXPECT_EQ(QLTP_tpxml_parse(ctx.x, "t", 1, 1), 1);
  EXPECT_EQ(ctx.inner, 0);
  QLTP_tpxml_delete(ctx.x);
}

TEST(TpxmlTest, DiagnosticDriverPrintsEvents) {
  orvelle_test::ScratchDir dir;
  std::string path = dir.Path("tpxml_driver.xml");
  FILE* f = std::fopen(path.c_str(), "wb");
  ASSERT_NE(f, nullptr);
  std::fputs("<a k='v'>hi</a>", f);
  std::fclose(f);
  ::testing::internal::CaptureStdout();
  EXPECT_EQ(QLTP_tpxml_test(path.c_str(), 5), 1);
  EXPECT_EQ(::testing::internal::GetCapturedStdout(),
            "TAGOPEN:a\nKEY:k\nVAL:'v'\nDATA[hi]\nTAGCLOSE:a\n");
  ::testing::internal::CaptureStdout();
  EXPECT_EQ(QLTP_tpxml_test("/nonexistent/x.xml", 5), 0);
  EXPECT_EQ(::testing::internal::GetCapturedStdout(),
            "Can't find input file exiting : /nonexistent/x.xml\n");
}

// Crafted markup that makes the tag patterns backtrack heavily: every input
// is scanned completely on a 1 MB stack, and four times the input takes at
// most about four times the time.
TEST(TpxmlTest, HostileMarkupIsScannedInLinearTimeOnA1MBStack) {
  auto inputs = [](size_t size) {
    std::vector<std::string> out;
    std::string decl = "<?";
    while (decl.size() < size) decl += "a?";
    out.push_back(decl);
    out.push_back(decl + "a>");
    std::string html = "<a";
    while (html.size() < size) html += "  b";
    out.push_back(html + "  \"x");
    std::string many;
    while (many.size() < size) many += "<a  b  c  d  e  f  g  h  i  j  k  l  m  n ";
    out.push_back(many);
    std::string doctype = "<!DOCTYPE a [";
    while (doctype.size() < size) doctype += "<!x \"y\" <?p ?> %e; ";
    out.push_back(doctype);
    std::string attrs = "<a";
    while (attrs.size() < size) attrs += " b = \"c\" d='e'";
    out.push_back(attrs);
    out.push_back("<!--" + std::string(size, '-'));
    out.push_back(std::string(size, '<'));
    return out;
  };
  const std::vector<std::string> small = inputs(10000), large = inputs(40000);
  RunOnSmallStack([&] {
    for (size_t i = 0; i < small.size(); ++i) {
      SCOPED_TRACE(small[i].substr(0, 20));
      for (const std::string* in : {&small[i], &large[i]}) {
        Scanner s;
        s.Run(*in);
        EXPECT_EQ(QLTP_tpxml_byte_total(s.x), static_cast<int64_t>(in->size()));
      }
      const double ratio = orvelle_test::CpuTimeRatio([&] { Scanner().Run(small[i]); }, [&] { Scanner().Run(large[i]); });
      EXPECT_LT(ratio, 12.0) << "four times the input took " << ratio << " times the CPU time";
    }
  });
}

// Random markup-like input in random pieces: no crash, every byte scanned,
// and the character data never holds invalid UTF-8.
TEST(TpxmlTest, RandomMarkupIsScannedCompletely) {
  static const char* const parts[] = {
      "<", ">", "/", "a", "bc", "=", "'", "\"", " ", "\n", "<!--", "-->", "<![CDATA[", "]]>",
      "&amp;", "&", ";", "<?", "?>", "<!DOCTYPE ", "[", "]", "-", "\xC3\xA9", "\xE2\x82\xAC",
      "\xFF", "\xC3", "\x80", "<a x='1'>", "</a>", "<b/>", "%e;", "\t", "\xF0\x9F\x98\x80"};
  std::mt19937 rng(20240607);
  QLTP_regex* any = QLTP_regex_compile("", 0, 0);  // matches any valid UTF-8, checked
  for (int round = 0; round < 300; ++round) {
    std::string in;
    int n = static_cast<int>(rng() % 200);
    for (int i = 0; i < n; ++i) in += parts[rng() % (sizeof parts / sizeof *parts)];
    bool valid = in.find('\xFF') == std::string::npos;
    Scanner s;
    QLTP_tpxml_set_lookahead(s.x, 1 + static_cast<int>(rng() % 64));
    size_t piece = 1 + rng() % 40;
    s.RunInPieces(in, piece);
    int64_t total = QLTP_tpxml_byte_total(s.x);
    if (valid && in.find('\xC3') == std::string::npos && in.find('\x80') == std::string::npos)
      EXPECT_EQ(total, static_cast<int64_t>(in.size())) << round;
    else
      EXPECT_GE(total, static_cast<int64_t>(in.size()) / 2) << round;
    for (const std::string& e : s.rec.events)
      EXPECT_GT(QLTP_regex_exec(any, e.data(), static_cast<int>(e.size()), 0, nullptr), 0)
          << "invalid UTF-8 in event, round " << round;
  }
  QLTP_regex_free(any);
}

}  // namespace
