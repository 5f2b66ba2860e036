#include "textproc/channel.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "scratch_dir.h"
#include "textproc/tokeniser.h"

namespace {

// A stand-in stage chain registered for a pipeline type: records every piece.
struct Piece {
    int len;
    int final;
};
std::vector<Piece> g_pieces;
int g_inits = 0, g_resets = 0, g_deletes = 0, g_reset_tpdbs = 0;

int RecordInit(channel*) { return ++g_inits, 1; }
void RecordReset(channel*) { ++g_resets; }
void RecordResetTpdb(channel*) { ++g_reset_tpdbs; }
void RecordDelete(channel*) { ++g_deletes; }
void RecordProcess(channel* ch, const char* text, int len, int final) {
    g_pieces.push_back({len, final});
    if (len > 0) QLTP_dystr_append(ch->result, text, len);
}
const QLTP_tpc_typehooks kRecorder = {RecordInit, RecordReset, RecordResetTpdb, RecordDelete, RecordProcess};

class ChannelCoreTest : public testing::Test {
  protected:
    void SetUp() override {
        g_pieces.clear();
        g_inits = g_resets = g_deletes = g_reset_tpdbs = 0;
        ASSERT_EQ(QLTP_tpc_register_type(QLTP_TPC_NORM, &kRecorder), 1);
        ch = QLTP_tpc_newtype(nullptr, nullptr, 0, "JOB", QLTP_TPC_NORM);
        ASSERT_NE(ch, nullptr);
    }
    void TearDown() override {
        QLTP_tpc_delete(ch);
        QLTP_tpc_register_type(QLTP_TPC_NORM, nullptr);
    }
    channel* ch = nullptr;
};

TEST_F(ChannelCoreTest, FinalCallIsCutIntoPiecesAndEndsWithReset) {
    EXPECT_EQ(g_inits, 1);
    EXPECT_EQ(g_resets, 1);  // newtype resets once
    std::string text(10000, 'x');
    std::string out = QLTP_tpc_process(ch, text.c_str(), -1, 1);
    ASSERT_EQ(g_pieces.size(), 3u);
    EXPECT_EQ(g_pieces[0].len, 4096);
    EXPECT_EQ(g_pieces[0].final, 0);
    EXPECT_EQ(g_pieces[1].len, 4096);
    EXPECT_EQ(g_pieces[1].final, 0);
    EXPECT_EQ(g_pieces[2].len, 1808);
    EXPECT_EQ(g_pieces[2].final, 1);
    EXPECT_EQ(out, text);
    EXPECT_EQ(g_resets, 2);
    EXPECT_EQ(ch->idle, 1);
}

TEST_F(ChannelCoreTest, EmptyCalls) {
    // A non-final call without text runs nothing and returns "".
    EXPECT_STREQ(QLTP_tpc_process(ch, "", 0, 0), "");
    EXPECT_STREQ(QLTP_tpc_process(ch, nullptr, -1, 0), "");
    EXPECT_TRUE(g_pieces.empty());
    EXPECT_EQ(ch->idle, 0);
    // A final call without text flushes once with length 0, then resets;
    // NULL text with length -1 is the same empty text.
    QLTP_tpc_process(ch, "", -1, 1);
    QLTP_tpc_process(ch, nullptr, -1, 2);
    ASSERT_EQ(g_pieces.size(), 2u);
    EXPECT_EQ(g_pieces[0].len, 0);
    EXPECT_EQ(g_pieces[0].final, 1);
    EXPECT_EQ(g_pieces[1].len, 0);
    EXPECT_EQ(g_pieces[1].final, 2);
    EXPECT_EQ(g_resets, 3);
}

TEST_F(ChannelCoreTest, ResultIsClearedAtEveryCall) {
    EXPECT_STREQ(QLTP_tpc_process(ch, "abc", 3, 0), "abc");
    EXPECT_STREQ(QLTP_tpc_process(ch, "de", -1, 0), "de");
}

TEST_F(ChannelCoreTest, DatabaseReplacementRunsTheTypeHook) {
    QLTP_tpc_reset_tpdb(ch, nullptr);
    EXPECT_EQ(g_reset_tpdbs, 1);
    EXPECT_EQ(QLTP_tpc_sapi_visemes(ch), nullptr);
    EXPECT_EQ(QLTP_tpc_mac_phoneids(ch), nullptr);
}

TEST_F(ChannelCoreTest, DeleteRunsTheTypeHook) {
    QLTP_tpc_delete(ch);
    ch = nullptr;
    EXPECT_EQ(g_deletes, 1);
}

TEST(ChannelTest, TypesWithoutStagesAreRefused) {
    for (int type : {0, 1, 2, 4, 5, 6, 7}) {
        testing::internal::CaptureStderr();
        channel* ch = QLTP_tpc_newtype(nullptr, nullptr, 1, "J", type);
        std::string err = testing::internal::GetCapturedStderr();
        EXPECT_EQ(ch, nullptr) << type;
        EXPECT_NE(err.find("Invalid channel type"), std::string::npos) << type;
    }
    EXPECT_EQ(QLTP_tpc_new(nullptr, nullptr, 0, "J"), nullptr);
    EXPECT_EQ(QLTP_tpc_register_type(QLTP_TPC_TK, nullptr), 0);
    EXPECT_EQ(QLTP_tpc_register_type(8, nullptr), 0);
}

TEST(ChannelTest, TypeOutsideTheRangeGivesAChannelWithoutStages) {
    testing::internal::CaptureStderr();
    channel* ch = QLTP_tpc_newtype(nullptr, nullptr, 1, "J", 9);
    std::string err = testing::internal::GetCapturedStderr();
    ASSERT_NE(ch, nullptr);
    size_t first = err.find("Invalid channel type");
    EXPECT_NE(first, std::string::npos);
    EXPECT_EQ(err.find("Invalid channel type", first + 1), std::string::npos);
    EXPECT_STREQ(QLTP_tpc_process(ch, "text", -1, 1), "");
    QLTP_tpc_delete(ch);
}

TEST(ChannelTest, TokeniserChannelWithoutCallbacksCollectsItsOutput) {
    channel* ch = QLTP_tpc_newtype(nullptr, nullptr, 0, "CLIENT", QLTP_TPC_TK);
    ASSERT_NE(ch, nullptr);
    EXPECT_NE(ch->tokeniser, nullptr);
    EXPECT_EQ(ch->xml_input, 0);
    EXPECT_STREQ(QLTP_tpc_process(ch, "Hi", -1, 1),
                 "<parent><mark name=\"qltk_0_0_2_2\"/>Hi<mark name=\"qrln_final\"/></parent>");
    // The next call starts a new stream.
    EXPECT_STREQ(QLTP_tpc_process(ch, "Yo", -1, 1),
                 "<parent><mark name=\"qltk_0_0_2_2\"/>Yo<mark name=\"qrln_final\"/></parent>");
    QLTP_tpc_delete(ch);
}

struct Log {
    std::vector<std::string> items;
};
void TextInto(void* u, const char* text, int len) {
    static_cast<Log*>(u)->items.push_back("T:" + std::string(text, static_cast<size_t>(len)));
}
void AppInto(void* u, const char* tag, int len) {
    static_cast<Log*>(u)->items.push_back("A:" + std::string(tag, static_cast<size_t>(len)));
}

TEST(ChannelTest, TwoApplicationTagsInOneFinalCallComeInOrder) {
    channel* ch = QLTP_tpc_newtype(nullptr, nullptr, 1, "CLIENT", QLTP_TPC_TK);
    Log log;
    QLTP_tpc_set_text_callback(ch, TextInto, &log);
    QLTP_tpc_set_application_callback(ch, AppInto, &log);
    QLTP_tpc_process(ch, "<s>a<audio src='x'/>b<voice name='v'>c</voice></s>", -1, 1);
    std::vector<std::string> kinds;
    for (const std::string& s : log.items) kinds.push_back(s.substr(0, 2));
    std::vector<std::string> want = {"T:", "A:", "T:", "A:", "T:", "A:", "T:"};
    EXPECT_EQ(kinds, want);
    EXPECT_EQ(log.items[1], "A:<audio src='x'/>");
    EXPECT_EQ(log.items[3], "A:<voice name='v'>");
    EXPECT_EQ(log.items[5], "A:</voice>");
    EXPECT_NE(log.items.back().find("<mark name=\"qrln_final\"/>"), std::string::npos);
    QLTP_tpc_delete(ch);
}

TEST(ChannelTest, CallbackSettersShareOneUserPointer) {
    channel* ch = QLTP_tpc_newtype(nullptr, nullptr, 0, "CLIENT", QLTP_TPC_TK);
    Log first, second;
    QLTP_tpc_set_text_callback(ch, TextInto, &first);
    QLTP_tpc_set_application_callback(ch, AppInto, &second);
    QLTP_tpc_process(ch, "x", -1, 1);
    EXPECT_TRUE(first.items.empty());
    ASSERT_EQ(second.items.size(), 1u);
    // NULL callbacks bring the result string back.
    QLTP_tpc_set_text_callback(ch, nullptr, nullptr);
    QLTP_tpc_set_application_callback(ch, nullptr, nullptr);
    EXPECT_NE(std::string(QLTP_tpc_process(ch, "x", -1, 1)).find(">x<"), std::string::npos);
    QLTP_tpc_delete(ch);
}

TEST(ChannelTest, JobIdIsKeptWhenEqualAndEmptyForNull) {
    channel* ch = QLTP_tpc_newtype(nullptr, nullptr, 1, nullptr, QLTP_TPC_TK);
    EXPECT_STREQ(ch->jobid, "");
    QLTP_tpc_set_jobid(ch, "CLIENT");
    char* stored = ch->jobid;
    std::string same = "CLIENT";
    QLTP_tpc_set_jobid(ch, same.c_str());
    EXPECT_EQ(ch->jobid, stored);
    QLTP_tpc_process(ch, "x", -1, 1);  // the final reset keeps it too
    EXPECT_EQ(ch->jobid, stored);
    QLTP_tpc_set_jobid(ch, nullptr);
    EXPECT_STREQ(ch->jobid, "");
    QLTP_tpc_delete(ch);
}

TEST(ChannelTest, SettingsFileOverridesDefaults) {
    orvelle_test::ScratchDir dir;
    const std::string path = dir.Path("tpcconf.xml");
    const char* name = path.c_str();
    std::string text = "<tpconfig><tokenise processing_mode='strict_utf8_xml' context_size='99999'/></tpconfig>";
    ASSERT_TRUE(std::ofstream(path) << text);
    channel* ch = QLTP_tpc_newtype(nullptr, name, 1, "J", QLTP_TPC_TK);
    EXPECT_EQ(QLTP_tokenise_processing_mode(ch->tokeniser), QLTP_PROCESSING_STRICT_UTF8_XML);
    EXPECT_EQ(QLTP_tokenise_context_size(ch->tokeniser), 4096);  // out of range
    QLTP_tpc_delete(ch);
    configsettings* s = QLTP_tpc_config_settings(name);
    EXPECT_STREQ(QLTP_configsettings_lookup(s, "tokenise", 8, "processing_mode", -1), "strict_utf8_xml");
    EXPECT_STREQ(QLTP_configsettings_lookup(s, "toxparse", 8, "max_token_length", -1), "128");
    EXPECT_STREQ(QLTP_configsettings_lookup(s, "lgout", 5, "max_syllable_sentence", -1), "6000");
    QLTP_configsettings_delete(s);
    std::remove(name);
}

TEST(ChannelTest, DefaultsGiveLaxModeAndFullContext) {
    channel* ch = QLTP_tpc_newtype(nullptr, nullptr, 1, "J", QLTP_TPC_TK);
    EXPECT_EQ(QLTP_tokenise_processing_mode(ch->tokeniser), QLTP_PROCESSING_LAX);
    EXPECT_EQ(QLTP_tokenise_context_size(ch->tokeniser), 4096);
    EXPECT_STREQ(QLTP_configsettings_lookup(ch->settings, "phrasing", 8, "phrase_length_window", -1), "10");
    EXPECT_STREQ(QLTP_configsettings_lookup(ch->settings, "lgout", 5, "max_pos_word", -1), "1");
    QLTP_tpc_delete(ch);
}

TEST(ChannelTest, MissingSettingsFileIsReportedAndDefaultsApply) {
    testing::internal::CaptureStderr();
    channel* ch = QLTP_tpc_newtype(nullptr, "/nonexistent/tpconfig.xml", 1, "J", QLTP_TPC_TK);
    testing::internal::GetCapturedStderr();
    ASSERT_NE(ch, nullptr);
    EXPECT_EQ(QLTP_tokenise_processing_mode(ch->tokeniser), QLTP_PROCESSING_LAX);
    QLTP_tpc_delete(ch);
}

TEST(ChannelTest, MaintenanceWithoutThoseStagesDoesNothing) {
    channel* ch = QLTP_tpc_newtype(nullptr, nullptr, 1, "J", QLTP_TPC_TK);
    testing::internal::CaptureStderr();
    EXPECT_EQ(QLTP_tpc_override_normaliser(ch, "/nonexistent/rules.xml", "/nonexistent/abbrev.txt"), 0);
    EXPECT_EQ(QLTP_tpc_override_abbrev(ch, "/nonexistent/abbrev.txt"), 0);
    EXPECT_EQ(QLTP_tpc_add_abbreviation(ch, "Dr", "doctor", 0), 0);
    EXPECT_EQ(QLTP_tpc_add_pbreak(ch, "x"), 0);
    EXPECT_EQ(QLTP_tpc_posset(ch, "NN"), 0);
    EXPECT_STREQ(QLTP_tpc_norm(ch, "text"), "");
    QLTP_tpc_set_normaliser_tracing(ch, 1);
    QLTP_tpc_reset_rules(ch);
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(QLTP_logger_no_warnings(QLTP_tpc_get_logger(ch)), 2);  // two missing files
    QLTP_tpc_delete(ch);
}

TEST(ChannelTest, NullChannelIsAccepted) {
    QLTP_tpc_delete(nullptr);
    EXPECT_EQ(QLTP_tpc_get_logger(nullptr), nullptr);
    EXPECT_EQ(QLTP_tokenise_logger(nullptr), nullptr);
    EXPECT_EQ(QLTP_tpc_disney_visemes(nullptr), nullptr);
    EXPECT_EQ(QLTP_tpc_sapi_phoneids(nullptr), nullptr);
    EXPECT_STREQ(QLTP_tpc_process(nullptr, "x", -1, 1), "");
}

}  // namespace
