// Spurts of annotated tokens for the tests of the stages that read and write
// token tags, and a channel without stages over a test database.
#pragma once

#include <gtest/gtest.h>

#include <initializer_list>
#include <string>
#include <utility>
#include <vector>

#include "foundation/toxspurt.h"
#include "foundation/toxtoken.h"
#include "foundation/voidparray.h"
#include "textproc/channel.h"

namespace orvelle_test {

using Attribs = std::vector<std::pair<std::string, std::string>>;

// Owns a token pool and the spurt stream handed to a stage.
class SpurtBuilder {
 public:
  SpurtBuilder() : pool_(QLTP_toxpool_new(4, 64, 256)), stream_(QLTP_voidparray_new()) {}
  ~SpurtBuilder() {
    QLTP_voidparray_delete(stream_);
    QLTP_toxpool_delete(pool_);
  }
  SpurtBuilder(const SpurtBuilder&) = delete;
  SpurtBuilder& operator=(const SpurtBuilder&) = delete;

  toxspurt* Spurt() {
    toxspurt* s = QLTP_toxpool_spurt(pool_);
    QLTP_toxspurt_setparent(s, pool_);
    QLTP_voidparray_add(stream_, s);
    return s;
  }
  // A token with a norm, added to the last spurt.
  toxtoken* Token(const std::string& norm) {
    toxspurt* s = static_cast<toxspurt*>(QLTP_voidparray_end(stream_));
    if (!s) s = Spurt();
    toxtoken* t = QLTP_toxpool_token(pool_);
    QLTP_toxtoken_setparent(t, s);
    QLTP_toxtoken_set(t, norm.c_str(), -1);
    QLTP_toxtoken_set_norm(t, norm.c_str(), -1);
    QLTP_toxspurt_add(s, t);
    return t;
  }
  // A token with a "lex" tag holding the phonemes (none when null).
  toxtoken* Word(const std::string& norm, const char* phonemes, const std::string& pos = "") {
    toxtoken* t = Token(norm);
    if (!pos.empty()) QLTP_toxtoken_setpos(t, pos.c_str(), -1, nullptr, 0);
    Attribs a;
    if (phonemes) a.push_back({"phonemes", phonemes});
    Tag(t, "lex", a);
    return t;
  }
  toxtag* Tag(toxtoken* t, const std::string& name, const Attribs& attribs, int type = QLTP_TAG_CLOSED) {
    toxtag* tag = QLTP_toxpool_tag(pool_);
    QLTP_toxtag_init(tag, t, name.c_str(), -1, type);
    for (const auto& [k, v] : attribs) QLTP_toxtag_set_attrib(tag, k.c_str(), -1, v.c_str(), -1);
    QLTP_toxtoken_addtag(t, tag);
    return tag;
  }

  voidparray* stream() const { return stream_; }
  toxspurt* spurt(int i) const { return static_cast<toxspurt*>(QLTP_voidparray_idx(stream_, i)); }
  toxpool* pool() const { return pool_; }

 private:
  toxpool* pool_;
  voidparray* stream_;
};

// A tag value of a token, "<none>" when absent.
inline std::string TagVal(const toxtoken* t, const char* tag, const char* attribute) {
  const char* v = QLTP_toxtoken_tagval(t, tag, attribute);
  return v ? v : "<none>";
}

// A channel of no type (so without stages) over the database.
struct BareChannel {
  channel* ch;
  explicit BareChannel(tpdb* db) : ch(QLTP_tpc_newtype(db, nullptr, 1, "", 99)) { EXPECT_NE(ch, nullptr); }
  ~BareChannel() { QLTP_tpc_delete(ch); }
  BareChannel(const BareChannel&) = delete;
  BareChannel& operator=(const BareChannel&) = delete;
};

}  // namespace orvelle_test
