// Writes the seed corpora of the fuzz targets with the library's own
// writers: fuzz_seeds <folder> makes <folder>/<target>/<seed> for every
// target. Each seed carries the option bytes its target reads in front.
#include <sys/stat.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "client/orvelle.h"
#include "client/packet.h"
#include "complkp_encoder.h"
#include "foundation/bpcomp.h"
#include "foundation/config.h"
#include "foundation/dict.h"
#include "foundation/doublematrix.h"
#include "foundation/serial.h"
#include "foundation/strmap.h"
#include "foundation/tpdb.h"
#include "fuzz/frontend_readers.h"
#include "fuzz/fuzz.h"
#include "linguistics/ccart.h"
#include "linguistics/disambiguation.h"
#include "linguistics/lexmgr.h"
#include "linguistics/lts_data.h"
#include "linguistics/ltsmgr.h"
#include "linguistics/paramdb.h"
#include "linguistics/pbreak.h"
#include "linguistics/phoneset.h"
#include "linguistics/postagger.h"
#include "linguistics/syllabify.h"
#include "linguistics/test_phoneset.h"
#include "test_db.h"
#include "textproc/abbrev.h"
#include "textproc/nrules.h"

using namespace orvelle_fuzz;

namespace {

std::string root;

void Seed(const std::string& target, const std::string& name, const std::string& bytes) {
  ::mkdir((root + "/" + target).c_str(), 0755);
  WriteFile(root + "/" + target + "/" + name, bytes);
}

std::string Options(int a, int b) { return {static_cast<char>(a), static_cast<char>(b)}; }

// ---- the database loader ----

std::string Database(const std::vector<std::pair<std::string, std::string>>& objects) {
  const std::string path = TempPath("seed.tpdb");
  tpdb* db = QLTP_tpdb_new(nullptr);
  QLTP_tpdb_header_setval(db, "MAJOR_VERSION", -1, "5", -1);
  QLTP_tpdb_header_setval(db, "LANGUAGE", -1, "en", -1);
  for (const auto& [name, data] : objects) {
    QLTP_fixedbuf* image = QLTP_fixedbuf_frombytes(data.data(), static_cast<uint32_t>(data.size()));
    if (!QLTP_tpobj_serialisequeue(db, image, name.c_str())) QLTP_fixedbuf_delete(image);
  }
  QLTP_tpdb_write_serial(db, path.c_str());
  QLTP_tpdb_delete(db);
  std::string bytes = ReadFile(path);
  std::remove(path.c_str());
  return bytes;
}

void DatabaseSeeds() {
  Seed("tpdb_fuzz", "empty", Database({}));
  Seed("tpdb_fuzz", "config", Database({{"TPOBJ_CONFIG:DEFAULT", std::string("<dbconfig><general a='1'/></dbconfig>", 38)},
                                        {"TPOBJ_CONFIG:B", std::string("b\0", 2)},
                                        {"TPOBJ_PBREAK:X", "xyz"}}));
}

// ---- the string-map and dictionary files ----

dict* Words(const std::vector<std::string>& words) {
  dict* d = QLTP_dict_new_empty(static_cast<int>(words.size()));
  for (const std::string& w : words) QLTP_dict_add_entry(d, w.data(), static_cast<int>(w.size()));
  return d;
}

const std::vector<std::string> kWords = {"alpha", "b\xC3\xA9ta", "gamma", "d", "epsilon-zeta", "\xE6\x97\xA5\xE6\x9C\xAC"};

void ReaderSeeds() {
  // The first byte selects the reader (and bit 2 the byte order).
  for (int swap : {0, 1}) {
    const std::string order = swap ? "_swapped" : "";
    dict* d = Words(kWords);
    cdict* cd = QLTP_cdict_new(d);
    std::string image(static_cast<size_t>(QLTP_cdict_write_sz(cd)), '\0');
    QLTP_cdict_write(cd, image.data(), swap);
    Seed("readers_fuzz", "cdict" + order, std::string(1, static_cast<char>(0 | swap << 2)) + image);
    Seed("readers_fuzz", "dict" + order, std::string(1, static_cast<char>(1 | swap << 2)) + image);
    QLTP_cdict_delete(cd);
    QLTP_dict_delete(d);

    hashstrarray* m = QLTP_hashstrarray_new(8);
    for (size_t i = 0; i < kWords.size(); ++i) QLTP_hashstrarray_add(m, kWords[i].c_str(), -1, kWords[(i + 1) % kWords.size()].c_str(), -1);
    std::string map(QLTP_hashstrarray_write_sz(m), '\0');
    QLTP_hashstrarray_write(m, map.data(), swap);
    Seed("readers_fuzz", "hashstrarray" + order, std::string(1, static_cast<char>(2 | swap << 2)) + map);
    QLTP_hashstrarray_delete(m);
  }
  Seed("readers_fuzz", "text_map", "\x03# words\nalpha one\nb\xC3\xA9ta two words\n\n  gamma\tthree\n");
}

// ---- markup: the scanner and the configuration loader ----

void MarkupSeeds() {
  std::string defaults;
  for (const char* const* l = TPDB_DEFAULT_CONFIG; *l && **l; ++l) defaults += std::string(*l) + "\n";
  Seed("markup_fuzz", "dbconfig", Options(7, 1) + defaults);
  Seed("markup_fuzz", "tpconfig",
       Options(1, 0) + "<?xml version='1.0'?>\n<tpconfig>\n  <tokenise processing_mode=\"lax\" context_size='8'/>\n"
                       "  <log a='1'/><log a=\"2\" b='TRUE'/>\n  <!-- note --><x><y z='3'/></x>\n</tpconfig>\n");
  // A second tokenise and a section named tokenise1 share the keys tokenise1|A.
  Seed("markup_fuzz", "sections",
       Options(1, 0) + "<tpconfig><tokenise a='1'/><tokenise a='2'/><tokenise1 b='3'/><log/></tpconfig>");
  Seed("markup_fuzz", "text", Options(3, 0) + "<p>a &amp; b<![CDATA[x<y]]> &#233; </p><b/ ><c d='&1;'>\xC3\xA9\xFF</c>");
}

// ---- the front end's file readers and the pipeline ----

std::string EnglishFile(const std::string& name) {
  return orvelle_test::ReadFile(std::string(ORVELLE_SOURCE_DIR) + "/tests/data/en/" + name);
}

// Byte 0 picks the reader (bit 7 the other byte order), byte 1 the stored
// kind or the slang transform.
void Reader(const std::string& name, int reader, const std::string& bytes, int swap = 0, int option = 0) {
  Seed("frontend_readers_fuzz", name, Options(reader | swap << 7, option) + bytes);
}

template <typename T, typename Size, typename Write>
std::string Written(const T* object, int swap, Size size, Write write) {
  std::string image(static_cast<size_t>(size(object)), '\0');
  write(object, image.data(), swap);
  return image;
}

int StoredKind(const std::string& kind) {
  for (int k = 0; k < kStoredKindCount; ++k)
    if (kind == kStoredKinds[k]) return k;
  return 0;
}

// A text-read object as the database stores it, in both byte orders.
template <typename T, typename Free>
void StoredSeeds(const std::string& name, const std::string& kind, T* object, Free free) {
  for (int swap : {0, 1}) {
    const std::string image = orvelle_test::KindImage(kind + ":DEFAULT", object, swap);
    if (!image.empty()) Reader(name + (swap ? "_swapped" : ""), kStored, image, swap, StoredKind(kind));
  }
  free(object);
}

void FrontendReaderSeeds() {
  const std::string rules = EnglishFile("rules.xml"), abbrev = EnglishFile("abbrev.txt"),
                    breaks = EnglishFile("breaks.txt"), tags = EnglishFile("pos.txt"),
                    phone_map = EnglishFile("lgphones.txt"), cart_text = EnglishFile("lts.cart");
  const std::string lexicon = "hello hh_ax0_l_ow1\nworld w_er1_l_d\nread r_iy1_d  vb\nread r_eh1_d  vbd\n";
  const std::string pls = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<lexicon version=\"1.0\" "
                          "xmlns=\"http://www.w3.org/2005/01/pronunciation-lexicon\" alphabet=\"ipa\" xml:lang=\"en\">\n"
                          "<lexeme><grapheme>cat</grapheme><phoneme>\xCB\x88kat</phoneme></lexeme>\n"
                          "<lexeme><grapheme>tat</grapheme><phoneme alphabet='qrln'>t a1 t</phoneme></lexeme>\n</lexicon>\n";
  const std::string syllables = "# nuclei\nN_aa1\nN_ax0\nN_iy1\n# onsets\nk\nt\ns_t\ns_t_r\n";
  const std::string pairs = "# pairs\nnn_vb 0.75\ndt_nn 1\n";
  const std::string disam = "2\na b -3\na b -4\nb a 2\nb b 0\n";
  const std::string map = "MAPPING_NAME lg\nVERSION 1\nVAL_TYPES int\nNR_PHONES 3\naa x 1\nb x 2\nsil x -1\n";
  Reader("rules", kRulesText, rules);
  Reader("abbrev", kAbbrevText, abbrev);
  Reader("abbrev_file", kAbbrevFile, abbrev);
  Reader("lexicon", kLexiconText, "main\n" + lexicon);
  Reader("lexicon_file", kLexiconFile, lexicon);
  Reader("pls", kPls, pls);
  Reader("cart_text", kCartText, cart_text);
  Reader("phone_set", kPhoneSet, orvelle_test::kTestPhoneSet);
  Reader("phone_set_map", kPhoneSetMap, map);
  Reader("syllables", kSyllablesText, syllables);
  Reader("pos", kPosText, tags);
  Reader("breaks", kBreaksText, breaks);
  Reader("pairs", kPairsText, pairs);
  Reader("disam", kDisamText, disam);
  Reader("matrix_text", kMatrixText, "1 2.5 -3\n4 5e3 6\n");
  Reader("lexmgr", kLexMgrText, "main:0 extra:1");
  Reader("ltsmgr", kLtsMgrText, "main:1 extra:1 rules:0");
  Reader("slang", kSlang, "gak+a1+t|", 0, 0);
  Reader("slang_gibberish", kSlang, "itk+a1|t_aa1|", 0, 2);
  Reader("pls_lexemes", kPlsLexemes, std::string("\x00\x81\x30\x50\x40\x60\x92\xB3\x75\x20", 10));
  Reader("phone_set_map_phones", kPhoneSetMapPhones, "aa b sil k\t@@ #x ng");
  Reader("archiphone", kArchiphone, "|?a?a|\nm\nN a a1 k");
  Reader("archiphone_next", kArchiphone, "N+(next)\nn_g\ni N");

  ccart* cart = QLTP_deserialise_ccart(cart_text.c_str());
  doublematrix* m = QLTP_doublematrix_new(2, 3);
  for (int i = 0; i < 6; ++i) QLTP_doublematrix_set(m, i / 3, i % 3, 0.5 * i - 1);
  paramdbmgr* mgr = QLTP_paramdbmgr_new();
  paramdbset* set = QLTP_paramdbset_new(16000, 80);
  QLTP_paramdbset_add(set, "mean", QLTP_doublematrix_new(1, 3));
  QLTP_paramdbmgr_add(mgr, "DEFAULT", -1, set);
  paramdbset* one = QLTP_paramdbset_new(8000, 40);
  QLTP_paramdbset_add(one, "var", QLTP_doublematrix_new(2, 2));
  voidparray* strings = nullptr;
  for (const char* w : {"hello", "help", "yellow", "hollow"}) strings = QLTP_bpcomp_load_strings(strings, w);
  bpcomp* pairs_table = QLTP_bpcomp_create_table(strings);
  complkp* table = orvelle_test::EncodeTable(
      orvelle_test::TableOrder({{"hello", "hh ax0 l ow1"}, {"help", "hh eh1 l p"}, {"world", "w er1 l d"}}, 2), 2);
  for (int swap : {0, 1}) {
    const std::string order = swap ? "_swapped" : "";
    Reader("lts_trees" + order, kLtsTrees, orvelle_test::TreeSetBytes(orvelle_test::SmallTrees(), swap), swap);
    // Trees that ask nothing of the neighbouring letters.
    const std::vector<orvelle_test::TreeSpec> plain = {{"a", {"ae1"}, {}}, {"b", {"b"}, {}}, {"x", {"k_s", "z"}, {{"name", "x", 0, 1}}}};
    Reader("lts_plain" + order, kLtsTrees, orvelle_test::TreeSetBytes(plain, swap), swap);
    if (cart) Reader("cart" + order, kCart, Written(cart, swap, QLTP_ccart_write_sz, QLTP_ccart_write), swap);
    Reader("matrix" + order, kMatrix, Written(m, swap, QLTP_doublematrix_write_sz, QLTP_doublematrix_write), swap);
    Reader("paramdbs" + order, kParamDbs, Written(mgr, swap, QLTP_paramdbmgr_write_sz, QLTP_paramdbmgr_write), swap);
    Reader("paramdb" + order, kParamDb, Written(one, swap, QLTP_paramdbset_write_sz, QLTP_paramdbset_write), swap);
    if (pairs_table) {
      Reader("byte_pairs" + order, kBytePairs, Written(pairs_table, swap, QLTP_bpcomp_write_sz, QLTP_bpcomp_write), swap);
      // The same table claiming the largest maximum length.
      const int32_t longest = pairs_table->maxlen;
      pairs_table->maxlen = INT32_MAX - 1;
      Reader("byte_pairs_longest" + order, kBytePairs,
             Written(pairs_table, swap, QLTP_bpcomp_write_sz, QLTP_bpcomp_write), swap);
      pairs_table->maxlen = longest;
    }
    if (table) {
      std::string image(static_cast<size_t>(QLTP_tpobj_complkp_write(table, nullptr, swap)), '\0');
      QLTP_tpobj_complkp_write(table, image.data(), swap);
      Reader("compressed" + order, kCompressed, image, swap);
    }
  }
  QLTP_ccart_delete(cart);
  QLTP_doublematrix_delete(m);
  QLTP_paramdbmgr_delete(mgr);
  QLTP_paramdbset_delete(one);
  QLTP_bpcomp_strings_delete(strings);
  QLTP_bpcomp_delete(pairs_table);
  QLTP_complkp_delete(table);

  // Database objects of the kinds, as their writers store them (a rule set
  // is large: the rule text reaches its stored form).
  StoredSeeds("stored_abbrev", "TPOBJ_ABBREV", QLTP_deserialise_abbrev(abbrev.c_str()), QLTP_abbdict_delete);
  StoredSeeds("stored_breaks", "TPOBJ_PBREAK", QLTP_deserialise_pbreak(breaks.c_str()), QLTP_pbreak_delete);
  StoredSeeds("stored_pairs", "TPOBJ_PRULES", QLTP_deserialise_prules(pairs.c_str()), QLTP_prules_delete);
  StoredSeeds("stored_pos", "TPOBJ_POSTAGS", QLTP_deserialise_pos(tags.c_str()), QLTP_pos_delete);
  StoredSeeds("stored_syllables", "TPOBJ_SYLMAX", QLTP_deserialise_maxonset(syllables.c_str()), QLTP_maxonset_delete);
  StoredSeeds("stored_disam", "TPOBJ_DISAMCTXT", QLTP_deserialise_disamctxt(disam.c_str()), QLTP_disamctxt_delete);
  // The string-map kinds: reduction, homograph, archiphone, accent and POS-set data.
  for (const char* kind : {"TPOBJ_RRULES", "TPOBJ_HOMTAGS", "TPOBJ_ARCHIS", "TPOBJ_LGPHONEMAP"}) {
    std::string name = std::string("stored_") + (kind + 6);
    for (char& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    StoredSeeds(name, kind, QLTP_deserialise_hashstrarray(phone_map.c_str()), QLTP_hashstrarray_delete);
  }
}

void PipelineSeeds() {
  // Byte 0: the type (bits 0-2: full, sentence, server, norm, spurt, abook,
  // build), plain text (bit 3), one-shot normalisation (bit 4) and
  // abbreviation lines in front (bit 5); byte 1 cuts the pieces.
  const std::string paragraph = EnglishFile("paragraph.txt");
  const std::string texts[] = {
      paragraph.substr(0, 300),
      "<speak>Dr. Smith paid $45.50 at 10:30 on 12/3/2001.<break time='300ms'/> <voice name='x'/>Bye now.</speak>",
      "<p>I <emphasis>read</emphasis> the record; &amp; 3 &lt; 4.</p><s>caf\xC3\xA9 NATO etc. \xFF</s>",
  };
  for (int type = 0; type < 7; ++type)
    Seed("pipeline_fuzz", "type" + std::to_string(type), Options(type, 5 + type) + texts[type % 3]);
  Seed("pipeline_fuzz", "plain", Options(0x08, 3) + paragraph.substr(300, 200));
  // The elements the stages themselves read and write, words without a
  // pronunciation inside them, and text left open at the end.
  const std::string own[] = {
      "<speak><lex><b>, hello</b></lex> <lex><emphasis>- yes</emphasis></lex> <mark name='m'/>"
      "<say-as interpret-as='characters'>abc</say-as><break time='5ms' strength='weak'/> Note <!-- open",
      "<lex><b>/r</b></lex> <say-as interpret-as='date' format='mdy'>12/3/2001</say-as> <![CDATA[ x <",
      "<lex><b>hello <lex><b>world again</b></lex></b></lex> <break time='5ms'>in a break</break>",
  };
  Seed("pipeline_fuzz", "own_elements", Options(0x14, 9) + own[0]);
  Seed("pipeline_fuzz", "own_elements_build", Options(0x16, 4) + own[1]);
  Seed("pipeline_fuzz", "nested_lex", Options(0x04, 2) + own[2]);
  // Expansion rules on long lines of one character and of a few.
  Seed("pipeline_fuzz", "long_line", Options(0x40, 0) + "=");
  Seed("pipeline_fuzz", "long_words", Options(0x41, 0) + "ab1 ");
  Seed("pipeline_fuzz", "abbreviations",
       Options(0x34, 6) + "zork\t<say-as interpret-as='characters'>abc\nqux\t<break time='5ms'/>b:entry c\n"
                          "Dr.\t<b x='1'>doctor\n\nWe saw zork and qux with Dr. Who.");
}

// ---- the tokeniser channel: mode, markup input, pieces ----

void TokeniserSeeds() {
  const char* texts[] = {
      "Hello <b>world</b> &amp; more. <voice name='b'>other</voice> end",
      "<speak><p>AT&1; <a b='1'\f>x</a> <i j='&-y;'>t</i></p><metadata>m</metadata><audio src='s'/></speak>",
      "caf\xC3\xA9 cafe\xCC\x81 <![CDATA[x<y]]> <!-- c --> &#xD800; \xFF",
  };
  int n = 0;
  for (const char* t : texts) {
    for (int options : {0x06, 0x0D, 0x14}) Seed("tokeniser_fuzz", "text" + std::to_string(n++), Options(options, 7) + t);
  }
  Seed("tokeniser_fuzz", "utf16le", Options(0x02, 3) + std::string("\xFF\xFE<\0a\0>\0H\0i\0<\0/\0a\0>\0", 20));
  Seed("tokeniser_fuzz", "latin1", Options(0x0B, 5) + "<p>caf\xE9 na\xEFve</p>");
  // Long tags after runs that cross a 4,096-byte piece boundary, fed in such
  // pieces (0x2E) and in small ones (0x0E).
  std::string words, japanese;
  while (words.size() < 1500) words += "word ";
  while (japanese.size() < 3000) japanese += "\xE6\x97\xA5\xE6\x9C\xAC\xE8\xAA\x9E";
  const std::string audio = "<audio src='data:audio/wav;base64," + std::string(2450, 'A') + "'/>";
  const std::string voice = "<voice name='" + std::string(7000, 'v') + "'>";
  const std::string long_texts[] = {
      "<p>" + words + japanese + audio + "after</p>",
      "<p>" + words + std::string(3000, 'w') + "<q title='" + std::string(3000, 't') + "'>z</q></p>",
      words + japanese + voice + "spoken</voice>" + japanese,
  };
  for (const std::string& t : long_texts) {
    for (int options : {0x2E, 0x0E}) Seed("tokeniser_fuzz", "long" + std::to_string(n++), Options(options, 9) + t);
  }
  // Blank-free runs of 1 to 4 KB with a "<" and section ends every 100
  // bytes, in small pieces;
  // markup nested 300 deep; an application tag whose attribute holds a line
  // break; application tags with text between them inside elements never
  // closed.
  std::string runs;
  for (size_t length : {1000, 2500, 4000}) {
    for (size_t at = 0; at < length; at += 100) runs += std::string(93, 'r') + "]]>-->" + "<";
    runs += ' ';
  }
  std::string deep, metadata;
  for (int i = 0; i < 300; ++i) deep += "<a>";
  while (metadata.size() < 8192) metadata += "<metadata>x";
  Seed("tokeniser_fuzz", "runs", Options(0x0E, 9) + runs);
  Seed("tokeniser_fuzz", "deep", Options(0x06, 0) + deep + "x");
  Seed("tokeniser_fuzz", "tagline", Options(0x06, 0) + "<voice name='a\nb'>x</voice>");
  Seed("tokeniser_fuzz", "apptext", Options(0x06, 0) + metadata);
}

// ---- normalisation and encoding conversion ----

void UnicodeSeeds() {
  Seed("unicode_fuzz", "composed", Options(0, 1) + "cafe\xCC\x81 \xE1\x84\x80\xE1\x85\xA1 \xE2\x84\xAB a\xCC\xA3\xCC\x87");
  Seed("unicode_fuzz", "compat", Options(1, 2) + "\xEF\xAC\x81 \xE2\x91\xA0 \xEF\xBD\xB6\xEF\xBE\x9E x\xC2\xB2");
  Seed("unicode_fuzz", "utf16", Options(0, 3) + std::string("\xFE\xFF\0H\0\xE9\xD8\x3D\xDE\x00", 10));
  Seed("unicode_fuzz", "latin1", Options(2, 4) + "na\xEFve caf\xE9 \x80\xFF");
}

// ---- the client's receive path: a server's reply ----

void ReceiveSeeds() {
  unsigned char ph[] = "ah", next[] = "b";
  PhonemePacketData phoneme(320, ph, next, 16000, 2, 3, 1, 4, 5, 6);
  const std::string payload(reinterpret_cast<const char*>(phoneme.Data()), phoneme.size);
  const std::string end = WireFrame(PACKET_END, "");
  // Byte 0: the event at which the application refuses (0: none), and a
  // server that stays silent after a reply without END (0x80).
  const std::string events = WireFrame(PACKET_WORD, std::string("w\0", 2)) + WireFrame(PACKET_BOOKMARK, "bm") +
                             WireFrame(PACKET_PHONEME, payload) + WireFrame(PACKET_SPURT, "s") + WireFrame(PACKET_XML, "<x/>") +
                             WireFrame(PACKET_AUDIO, "ab") + WireFrame(77, "?") + end;
  Seed("receive_fuzz", "audio", std::string(1, '\0') + WireFrame(PACKET_AUDIO, "\x01\x02\x03\x04") + end);
  Seed("receive_fuzz", "events", std::string(1, '\0') + events);
  Seed("receive_fuzz", "events_refused", "\x02" + events);
  Seed("receive_fuzz", "no_end", std::string(1, '\0') + WireFrame(PACKET_AUDIO, "abc"));
  Seed("receive_fuzz", "no_end_silent", "\x80" + WireFrame(PACKET_AUDIO, "abc") + WireFrame(PACKET_WORD, "cut off").substr(0, 9));
  Seed("receive_fuzz", "bad_trailer", std::string(1, '\0') + WireFrame(PACKET_AUDIO, "abc", 4) + end);
  Seed("receive_fuzz", "close", std::string(1, '\0') + WireFrame(PACKET_AUDIO, "a") + WireFrame(PACKET_CLOSE, ""));
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s <folder>\n", argv[0]);
    return 2;
  }
  root = argv[1];
  ::mkdir(root.c_str(), 0755);
  DatabaseSeeds();
  ReaderSeeds();
  MarkupSeeds();
  TokeniserSeeds();
  UnicodeSeeds();
  ReceiveSeeds();
  FrontendReaderSeeds();
  PipelineSeeds();
  return 0;
}
