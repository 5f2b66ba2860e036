// A channel over a database with LG phone and POS maps, and spurts made
// from (norm, spron, POS, break type, mark) rows, for the output stages.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "cmudict.h"
#include "foundation/logger.h"
#include "foundation/strmap.h"
#include "foundation/toxspurt.h"
#include "foundation/toxtoken.h"
#include "spurt_builder.h"
#include "test_db.h"
#include "textproc/channel.h"

namespace orvelle_test {

struct WordRow {
    std::string norm;
    std::string spron;
    std::string pos = "NN";
    std::string break_type = "";  // on the spurt's last token when set
    std::string mark = "";
};

// The code of an English dictionary phone outside the hand-made rows.
inline int CmuCode(const std::string& phone) {
    int i = 0;
    for (const auto& entry : CmuIpa()) {
        if (entry.first == phone) return 100 + i;
        ++i;
    }
    return -1;
}

// A string map; the phone map also gets every English dictionary phone it
// lacks, coded by CmuCode.
inline std::string StrMapImage(const char* kind, const std::vector<std::pair<const char*, const char*>>& rows) {
    hashstrarray* m = QLTP_hashstrarray_new(16);
    for (const auto& [k, v] : rows) QLTP_hashstrarray_add(m, k, -1, v, -1);
    if (std::string(kind) == "TPOBJ_LGPHONEMAP")
        for (const auto& entry : CmuIpa())
            if (!QLTP_hashstrarray_lookup(m, entry.first.c_str(), -1))
                QLTP_hashstrarray_add(m, entry.first.c_str(), -1, std::to_string(CmuCode(entry.first)).c_str(), -1);
    std::string image = KindImage(kind, m, false);
    QLTP_hashstrarray_delete(m);
    return image;
}

class LgChannel {
public:
    LgChannel()
        : db_("lgmaps.tpdb",
              {{"TPOBJ_LGPHONEMAP:DEFAULT",
                StrMapImage("TPOBJ_LGPHONEMAP", {{"hh", "10"}, {"ax", "11"}, {"l", "12"}, {"ow", "13"}, {"w", "14"},
                                                 {"er", "15"}, {"d", "16"}, {"k", "17"}, {"a", "18"}, {"t", "19"},
                                                 {"big", "300"}, {"bad", "x1"}, {"e", "20"}, {"o", "21"}})},
               {"TPOBJ_LGPOSMAP:DEFAULT",
                StrMapImage("TPOBJ_LGPOSMAP", {{"NN", "1"}, {"VB", "2"}, {"NN_3", "3"}, {"UH", "4"}})}}),
          ch(QLTP_tpc_newtype(db_.db, nullptr, 0, "JOB", QLTP_TPC_TK)) {
        QLTP_logger_set_store(QLTP_tpc_get_logger(ch));
    }
    ~LgChannel() { QLTP_tpc_delete(ch); }

    // A spurt: a pause token, then one token per row.
    toxspurt* Spurt(int id, const std::vector<WordRow>& rows) {
        toxspurt* s = spurts_.Spurt();
        QLTP_toxspurt_setid(s, id);
        spurts_.Token("");
        for (const WordRow& r : rows) {
            toxtoken* t = spurts_.Token(r.norm);
            QLTP_toxtoken_setpos(t, r.pos.c_str(), -1, nullptr, 0);
            if (!r.spron.empty()) spurts_.Tag(t, "lex", {{"spron", r.spron}}, QLTP_TAG_STARTEND);
            if (!r.mark.empty()) spurts_.Tag(t, "mark", {{"name", r.mark}});
            if (!r.break_type.empty()) spurts_.Tag(t, "break", {{"type", r.break_type}});
        }
        return s;
    }

    // How many logged lines hold the text.
    int Logged(const std::string& text) const {
        int n = 0;
        for (int i = 0; const char* line = QLTP_logger_msg(QLTP_tpc_get_logger(ch), i); ++i)
            n += std::strstr(line, text.c_str()) != nullptr;
        return n;
    }

private:
    LoadedDb db_;

public:
    channel* ch;

private:
    SpurtBuilder spurts_;
};

}  // namespace orvelle_test
