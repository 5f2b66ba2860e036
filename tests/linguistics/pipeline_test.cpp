#include "linguistics/pipeline.h"

#include <gtest/gtest.h>

#include <string>

#include "textproc/channel.h"

namespace {

// The stage chain needs the database's rules and lexicons: a pipeline
// channel without one is refused, while the tokeniser type works alone.
TEST(PipelineTest, ChannelsWithoutADatabaseAreRefused) {
    for (int type : {QLTP_TPC_FULL, QLTP_TPC_SENTENCE, QLTP_TPC_SERVER, QLTP_TPC_NORM, QLTP_TPC_SPURT,
                     QLTP_TPC_ABOOK, QLTP_TPC_BUILD}) {
        SCOPED_TRACE(type);
        ASSERT_NE(QLTP_tpc_type_hooks(type), nullptr);
        EXPECT_EQ(QLTP_tpc_newtype(nullptr, nullptr, 0, "job", type), nullptr);
    }
    channel* tk = QLTP_tpc_newtype(nullptr, nullptr, 0, "job", QLTP_TPC_TK);
    ASSERT_NE(tk, nullptr);
    EXPECT_NE(std::string(QLTP_tpc_process(tk, "Hello world.", -1, 1)).find("world"), std::string::npos);
    QLTP_tpc_delete(tk);
    EXPECT_NE(QLTP_linguistics_maintenance().fetch_map, nullptr);
}

}  // namespace
