// Writes the seed corpora of the fuzz targets with the library's own
// writers: fuzz_seeds <folder> makes <folder>/<target>/<seed> for every
// target. Each seed carries the option bytes its target reads in front.
#include <sys/stat.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "client/orvelle.h"
#include "client/packet.h"
#include "foundation/config.h"
#include "foundation/dict.h"
#include "foundation/serial.h"
#include "foundation/strmap.h"
#include "foundation/tpdb.h"
#include "fuzz/fuzz.h"

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
  Seed("markup_fuzz", "text", Options(3, 0) + "<p>a &amp; b<![CDATA[x<y]]> &#233; </p><b/ ><c d='&1;'>\xC3\xA9\xFF</c>");
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
  return 0;
}
