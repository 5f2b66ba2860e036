// Hand-built phrased streams for the stages that work on spurts: a database
// written by the kinds' writers, a tokeniser-only channel on it with a token
// pool, and spurts made of words (each spurt starts with its pause token).
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "foundation/toxspurt.h"
#include "foundation/toxtoken.h"
#include "foundation/voidparray.h"
#include "scratch_dir.h"
#include "test_db.h"
#include "textproc/channel.h"

namespace orvelle_test {

// One word: normalised text, POS ("" for none) and break type ("" for none).
struct Word {
  std::string norm;
  std::string pos = "";
  std::string break_type = "";
};

class SpurtStage {
 public:
  explicit SpurtStage(const std::vector<DbObject>& objects, int tags = 64)
      : path_(dir_.Path("spurt_stage.tpdb")), pool(QLTP_toxpool_new(8, 64, tags)), spurts(QLTP_voidparray_new()) {
    WriteTestDb(path_, objects);
    db_ = std::make_unique<LoadedDb>(path_);
    EXPECT_TRUE(db_->loaded());
    ch = QLTP_tpc_newtype(db_->db, nullptr, 0, "JOB", QLTP_TPC_TK);
    QLTP_logger_set_store(QLTP_tpc_get_logger(ch));
    ch->pool = pool;
  }
  ~SpurtStage() {
    QLTP_tpc_delete(ch);
    QLTP_voidparray_delete(spurts);
    QLTP_toxpool_delete(pool);
  }
  SpurtStage(const SpurtStage&) = delete;
  SpurtStage& operator=(const SpurtStage&) = delete;

  // A new spurt of these words, appended to `spurts`.
  toxspurt* Spurt(const std::vector<Word>& words) {
    toxspurt* spurt = QLTP_toxpool_spurt(pool);
    QLTP_toxspurt_setparent(spurt, spurts);
    QLTP_voidparray_add(spurts, spurt);
    toxtoken* pause = QLTP_toxpool_token(pool);
    QLTP_toxtoken_setparent(pause, spurt);
    QLTP_toxspurt_add(spurt, pause);
    for (const Word& w : words) {
      toxtoken* t = QLTP_toxpool_token(pool);
      QLTP_toxtoken_setparent(t, spurt);
      QLTP_toxtoken_set(t, w.norm.c_str(), -1);
      QLTP_toxtoken_set_norm(t, w.norm.c_str(), -1);
      if (!w.pos.empty()) QLTP_toxtoken_setpos(t, w.pos.c_str(), -1, nullptr, 0);
      if (!w.break_type.empty())
        QLTP_toxtoken_addtag(t, QLTP_toxtag_newbreak(QLTP_toxpool_tag(pool), t, std::stoi(w.break_type), 0));
      QLTP_toxspurt_add(spurt, t);
    }
    return spurt;
  }

  // Word i (1-based; 0 is the pause token) of a spurt.
  static toxtoken* Token(toxspurt* spurt, int i) {
    return QLTP_toxtoken_cast(QLTP_voidparray_idx(QLTP_toxspurt_tokens(spurt), i));
  }
  // The "entry" of a token's "lex" tag, "-" when it has none.
  static std::string Entry(const toxtoken* token) {
    const char* entry = QLTP_toxtoken_tagval(token, "lex", "entry");
    return entry ? entry : "-";
  }
  // Whether the channel's logger reported this code and message.
  bool Reported(int code, const std::string& message) const {
    std::string want = std::string(QLTP_logger_error_name(code)) + " : " + message;
    logger* log = QLTP_tpc_get_logger(ch);
    for (int i = 0; const char* line = QLTP_logger_msg(log, i); ++i)
      if (std::strstr(line, want.c_str())) return true;
    return false;
  }

 private:
  ScratchDir dir_;
  std::string path_;
  std::unique_ptr<LoadedDb> db_;

 public:
  toxpool* pool;
  voidparray* spurts;
  channel* ch = nullptr;
};

}  // namespace orvelle_test
