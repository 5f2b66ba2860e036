#include "foundation/config.h"

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "foundation/strmap.h"
#include "foundation/strutil.h"
#include "scratch_dir.h"

namespace fs = std::filesystem;

namespace {

struct ConfigDeleter {
    void operator()(config *c) const { QLTP_config_delete(c); }
};
using ConfigPtr = std::unique_ptr<config, ConfigDeleter>;

struct SettingsDeleter {
    void operator()(configsettings *s) const { QLTP_configsettings_delete(s); }
};
using SettingsPtr = std::unique_ptr<configsettings, SettingsDeleter>;

ConfigPtr Load(const char *root, const std::string &doc) {
    ConfigPtr cfg(QLTP_config_new(root, -1));
    EXPECT_EQ(QLTP_config_load(cfg.get(), doc.data(), static_cast<int>(doc.size())), 1);
    return cfg;
}

std::string Lookup(const config *cfg, const char *section, const char *key) {
    const char *v = QLTP_config_lookup(cfg, section, -1, key, -1);
    return v ? v : "<null>";
}

// A file holding text, removed with the object.
class TempFile {
  public:
    explicit TempFile(const std::string &text) : path_(dir_.Path("config.xml")) {
        std::ofstream out(path_, std::ios::binary);
        EXPECT_TRUE(out << text) << path_;
    }
    const char *c_str() const { return path_.c_str(); }

  private:
    orvelle_test::ScratchDir dir_;
    std::string path_;
};

}  // namespace

TEST(ConfigTest, StoresRepeatedSectionsUnderOccurrenceKeys) {
    ConfigPtr cfg = Load("tpconfig",
                         "<tpconfig>\n  <log loglevel='info' logdir=\"/var/log\"/>\n"
                         "  <log loglevel='warn'></log>\n</tpconfig>\n");
    str2str *dict = QLTP_config_dict(cfg.get());
    ASSERT_NE(dict, nullptr);
    EXPECT_EQ(QLTP_str2str_nrkeys(dict), 4);
    EXPECT_STREQ(QLTP_str2str_key(dict, 0), "log|");
    EXPECT_STREQ(QLTP_str2str_val(dict, 0), "1");
    EXPECT_STREQ(QLTP_str2str_key(dict, 1), "log|loglevel");
    EXPECT_STREQ(QLTP_str2str_val(dict, 1), "info");
    EXPECT_STREQ(QLTP_str2str_key(dict, 2), "log|logdir");
    EXPECT_STREQ(QLTP_str2str_key(dict, 3), "log1|loglevel");
    EXPECT_STREQ(QLTP_str2str_val(dict, 3), "warn");

    EXPECT_EQ(Lookup(cfg.get(), "log", "loglevel"), "info");
    EXPECT_EQ(Lookup(cfg.get(), "log", "logdir"), "/var/log");
    EXPECT_STREQ(QLTP_config_lookup_idx(cfg.get(), "log", -1, "loglevel", -1, 1), "warn");
    EXPECT_STREQ(QLTP_config_lookup_idx(cfg.get(), "log", -1, "loglevel", -1, 0), "info");
    EXPECT_STREQ(QLTP_config_lookup_idx(cfg.get(), "log", -1, "loglevel", -1, -4), "info");
    EXPECT_EQ(QLTP_config_lookup_idx(cfg.get(), "log", -1, "logdir", -1, 1), nullptr);
    EXPECT_EQ(QLTP_config_lookup_idx(cfg.get(), "log", -1, "loglevel", -1, 2), nullptr);
    EXPECT_EQ(QLTP_config_lookup_n(cfg.get(), "log", 3), 2);
    EXPECT_EQ(QLTP_config_lookup_n(cfg.get(), "tokenise", 8), 0);
}

TEST(ConfigTest, OnlyElementsDirectlyInsideARootNamedElementCarrySettings) {
    ConfigPtr cfg = Load("tpconfig",
                         "<tpconfig version='2'><log a='1'><inner b='2'/><tpconfig c='3'/></log>"
                         "<tokenise d='4'><tpconfig><log e='5'/></tpconfig></tokenise></tpconfig>");
    EXPECT_EQ(Lookup(cfg.get(), "log", "a"), "1");
    EXPECT_EQ(Lookup(cfg.get(), "tokenise", "d"), "4");
    EXPECT_EQ(Lookup(cfg.get(), "tpconfig", "version"), "<null>");
    EXPECT_EQ(Lookup(cfg.get(), "inner", "b"), "<null>");
    EXPECT_EQ(Lookup(cfg.get(), "tpconfig", "c"), "<null>");
    // A root-named element deeper down makes its children sections too: the
    // second log is the section's next occurrence.
    EXPECT_EQ(Lookup(cfg.get(), "log", "e"), "<null>");
    EXPECT_STREQ(QLTP_config_lookup_idx(cfg.get(), "log", 3, "e", 1, 1), "5");
    EXPECT_EQ(QLTP_config_lookup_n(cfg.get(), "log", 3), 2);

    ConfigPtr wrapped = Load("tpconfig", "<wrapper><tpconfig><log loglevel='warn'/></tpconfig></wrapper>");
    EXPECT_EQ(Lookup(wrapped.get(), "log", "loglevel"), "warn");
    EXPECT_EQ(Lookup(wrapped.get(), "tpconfig", "loglevel"), "<null>");

    ConfigPtr other = Load("tpconfig", "<dbconfig><log a='1'/></dbconfig>");
    EXPECT_EQ(QLTP_str2str_nrkeys(QLTP_config_dict(other.get())), 0);
}

TEST(ConfigTest, TrueIsNormalisedOnlyForExactSpellings) {
    ConfigPtr cfg = Load("tpconfig",
                         "<tpconfig><s a='TRUE' b='true' c='True' d='Yes' e='FALSE' f='TrUe' g='Truest'/></tpconfig>");
    EXPECT_EQ(Lookup(cfg.get(), "s", "a"), "True");
    EXPECT_EQ(Lookup(cfg.get(), "s", "b"), "True");
    EXPECT_EQ(Lookup(cfg.get(), "s", "c"), "True");
    EXPECT_EQ(Lookup(cfg.get(), "s", "d"), "Yes");
    EXPECT_EQ(Lookup(cfg.get(), "s", "e"), "FALSE");
    EXPECT_EQ(Lookup(cfg.get(), "s", "f"), "TrUe");
    EXPECT_EQ(Lookup(cfg.get(), "s", "g"), "Truest");
}

TEST(ConfigTest, LookupsHonourLengthsAndRejectMissingArguments) {
    ConfigPtr cfg = Load("tpconfig", "<tpconfig><log loglevel='info'/><logx k='v'/></tpconfig>");
    EXPECT_STREQ(QLTP_config_lookup(cfg.get(), "logx", 3, "loglevelXYZ", 8), "info");
    EXPECT_STREQ(QLTP_config_lookup(cfg.get(), "logx", -1, "k", -1), "v");
    EXPECT_EQ(QLTP_config_lookup(cfg.get(), "log", -1, "loglev", -1), nullptr);
    EXPECT_EQ(QLTP_config_lookup(cfg.get(), "log", -1, nullptr, -1), nullptr);
    EXPECT_EQ(QLTP_config_lookup(cfg.get(), nullptr, -1, "loglevel", -1), nullptr);
    EXPECT_EQ(QLTP_config_lookup(nullptr, "log", -1, "loglevel", -1), nullptr);
    EXPECT_EQ(QLTP_config_lookup_n(cfg.get(), "log", -1), 0);
    EXPECT_EQ(QLTP_config_lookup_n(cfg.get(), "logx", 4), 1);
    EXPECT_EQ(QLTP_config_lookup_n(nullptr, "log", 3), 0);
    EXPECT_EQ(QLTP_config_dict(nullptr), nullptr);
}

TEST(ConfigTest, SecondLoadWinsAndCountersContinue) {
    ConfigPtr cfg = Load("tpconfig", "<tpconfig><log loglevel='info'/></tpconfig>");
    const std::string second = "<tpconfig><log loglevel='warn'/></tpconfig>";
    EXPECT_EQ(QLTP_config_load(cfg.get(), second.c_str(), -1), 1);
    EXPECT_EQ(Lookup(cfg.get(), "log", "loglevel"), "info");
    EXPECT_STREQ(QLTP_config_lookup_idx(cfg.get(), "log", -1, "loglevel", -1, 1), "warn");
    EXPECT_EQ(QLTP_config_lookup_n(cfg.get(), "log", 3), 2);


    // The same key written twice: the later pair wins.
    ConfigPtr twice = Load("tpconfig", "<tpconfig><log k='1' k='2'/></tpconfig>");
    EXPECT_EQ(Lookup(twice.get(), "log", "k"), "2");
}

TEST(ConfigTest, BrokenDocumentDoesNotShiftTheNextOne) {
    ConfigPtr cfg = Load("tpconfig", "<tpconfig><log a='1'>");
    EXPECT_EQ(QLTP_config_load(cfg.get(), "<tpconfig r='x'><log b='2'/></tpconfig>", -1), 1);
    EXPECT_EQ(Lookup(cfg.get(), "tpconfig", "r"), "<null>");
    EXPECT_EQ(Lookup(cfg.get(), "log", "a"), "1");
    EXPECT_STREQ(QLTP_config_lookup_idx(cfg.get(), "log", -1, "b", -1, 1), "2");

    ConfigPtr comment = Load("tpconfig", "<tpconfig><!-- never closed <log a='1'/>");
    EXPECT_EQ(QLTP_config_load(comment.get(), "<tpconfig><log b='2'/></tpconfig>", -1), 1);
    EXPECT_EQ(Lookup(comment.get(), "log", "a"), "<null>");
    EXPECT_EQ(Lookup(comment.get(), "log", "b"), "2");
}

TEST(ConfigTest, DatabaseDefaultsLoadLineByLine) {
    ConfigPtr cfg(QLTP_config_new("dbconfigXX", 8));
    EXPECT_EQ(QLTP_config_loads(cfg.get(), TPDB_DEFAULT_CONFIG), 1);
    const std::pair<const char *, const char *> log[] = {
        {"log", "True"},          {"logdir", "."},           {"logname", "tpdb"},
        {"loglevel", "Debug"},    {"logmoduleoutput", "False"}, {"logmoduleclear", "True"},
        {"logstore", "False"},    {"logtofile", "False"},    {"logstderr", "False"},
        {"logstdout", "False"},
    };
    for (const auto &[key, value] : log) EXPECT_EQ(Lookup(cfg.get(), "log", key), value) << key;
    EXPECT_EQ(Lookup(cfg.get(), "general", "tpdata"),
              "TPOBJ_ABBREV: TPOBJ_NRULES: TPOBJ_POSTAGS: TPOBJ_POSSETS: TPOBJ_HOMTAGS: TPOBJ_ARCHIS: "
              "TPOBJ_PRULES: TPOBJ_PBREAK: TPOBJ_RRULES: TPOBJ_LEXMGR: TPOBJ_LEXHASH: TPOBJ_LEXCOMP: "
              "TPOBJ_LTSMGR: TPOBJ_CARTLTS: TPOBJ_CCART: TPOBJ_CONFIG: TPOBJ_SYLMAX: TPOBJ_LGPHONEMAP: "
              "TPOBJ_LGPOSMAP: TPOBJ_DISAMCTXT: TPOBJ_JPACCENT: TPOBJ_PHONESET: TPOBJ_PHONESETMAP: "
              "TPOBJ_PARAMDBMGR: ");
    EXPECT_EQ(Lookup(cfg.get(), "normalise", "custom_abbreviations"), "<null>");
    EXPECT_EQ(QLTP_str2str_nrkeys(QLTP_config_dict(cfg.get())), 13);
}

TEST(ConfigTest, OverrideFileIsAskedBeforeDefaults) {
    TempFile file("<dbconfig>\n<log loglevel='ERROR' logstore='true'/>\n<pronounce custom_lexicon='lex.txt'/>\n"
                  "</dbconfig>\n");
    config *defaults = QLTP_config_new("dbconfig", -1);
    QLTP_config_loads(defaults, TPDB_DEFAULT_CONFIG);
    config *over = QLTP_config_new("dbconfig", -1);
    EXPECT_EQ(QLTP_config_loadf(over, file.c_str()), 1);
    SettingsPtr s(QLTP_configsettings_new(defaults, over));

    EXPECT_STREQ(QLTP_configsettings_lookup(s.get(), "log", 3, "loglevel", 8), "ERROR");
    EXPECT_STREQ(QLTP_configsettings_lookup(s.get(), "log", 3, "logstore", -1), "True");
    EXPECT_STREQ(QLTP_configsettings_lookup(s.get(), "log", 3, "logdir", -1), ".");
    EXPECT_STREQ(QLTP_configsettings_lookup(s.get(), "pronounce", -1, "custom_lexicon", -1), "lex.txt");
    EXPECT_EQ(QLTP_configsettings_lookup(s.get(), "normalise", -1, "custom_abbreviations", -1), nullptr);
    EXPECT_EQ(QLTP_configsettings_lookup(s.get(), "log", 3, nullptr, -1), nullptr);
    EXPECT_EQ(QLTP_configsettings_lookup(nullptr, "log", 3, "loglevel", -1), nullptr);

    SettingsPtr only(QLTP_configsettings_new(Load("dbconfig", "<dbconfig><log loglevel='Debug'/></dbconfig>").release(),
                                             nullptr));
    EXPECT_STREQ(QLTP_configsettings_lookup(only.get(), "log", 3, "loglevel", -1), "Debug");
    QLTP_configsettings_delete(nullptr);
}

TEST(ConfigTest, UnreadableFileIsRefused) {
    ConfigPtr cfg(QLTP_config_new("tpconfig", -1));
    EXPECT_EQ(QLTP_config_loadf(cfg.get(), "/nonexistent-config-dir/tp.xml"), 0);
    EXPECT_EQ(QLTP_config_loadf(cfg.get(), fs::temp_directory_path().c_str()), 0);
    EXPECT_EQ(QLTP_config_loadf(cfg.get(), nullptr), 0);
    EXPECT_EQ(QLTP_config_loadf(nullptr, "x"), 0);
    EXPECT_EQ(QLTP_str2str_nrkeys(QLTP_config_dict(cfg.get())), 0);
    EXPECT_EQ(QLTP_config_load(cfg.get(), nullptr, 4), 0);
    QLTP_config_delete(nullptr);
}

TEST(ConfigTest, StoredConfigurationTextIsWrittenWithItsNul) {
    const char text[] = "<tpconfig>";
    EXPECT_EQ(QLTP_tpobj_config_write(text, nullptr, 0), 11);
    char out[11];
    std::memset(out, 'x', sizeof out);
    EXPECT_EQ(QLTP_tpobj_config_write(text, out, 1), 1);
    EXPECT_EQ(std::memcmp(out, text, 11), 0);
    EXPECT_EQ(QLTP_tpobj_config_write(nullptr, nullptr, 0), 0);

    char *owned = QLTP_strndup(text, -1);
    EXPECT_EQ(QLTP_tpobj_config_pstload(nullptr, owned), 1);
    QLTP_tpobj_config_delete(owned);
    QLTP_tpobj_config_delete(nullptr);
}

TEST(ConfigTest, RandomDocumentsNeverCrash) {
    const std::vector<std::string> pieces = {
        "<tpconfig>", "</tpconfig>", "<log", "<log ", " a='1'", " b=\"x\"", "/>", ">", "</log>", "<", "'", "\"",
        "=", " ", "\n", "<!--", "-->", "<![CDATA[", "]]>", "&amp;", "TRUE", "log|", "1", "\xc3\xa9", "\xff",
        std::string(1, '\0'), "<?xml?>", "<tokenise x='", "<tpconfig k='v'>"};
    std::mt19937 rng(12345);
    for (int round = 0; round < 300; ++round) {
        std::string doc;
        int n = static_cast<int>(rng() % 60);
        for (int i = 0; i < n; ++i) doc += pieces[rng() % pieces.size()];
        ConfigPtr cfg(QLTP_config_new("tpconfig", -1));
        ASSERT_EQ(QLTP_config_load(cfg.get(), doc.data(), static_cast<int>(doc.size())), 1);
        std::vector<std::string> lines;
        for (size_t p = 0; p < doc.size(); p += 7) lines.push_back(doc.substr(p, 7).c_str());
        std::vector<const char *> ptrs;
        for (const std::string &l : lines)
            if (!l.empty()) ptrs.push_back(l.c_str());
        ptrs.push_back("");
        ASSERT_EQ(QLTP_config_loads(cfg.get(), ptrs.data()), 1);
        QLTP_config_lookup(cfg.get(), "log", -1, "a", -1);
        QLTP_config_lookup_idx(cfg.get(), "log", -1, "b", -1, 3);
        int occurrences = QLTP_config_lookup_n(cfg.get(), "log", 3);
        EXPECT_GE(occurrences, 0);
        str2str *dict = QLTP_config_dict(cfg.get());
        for (int k = 0; k < QLTP_str2str_nrkeys(dict); ++k) {
            // Every stored key names a section and a key.
            ASSERT_NE(std::strchr(QLTP_str2str_key(dict, k), '|'), nullptr);
            ASSERT_NE(QLTP_str2str_val(dict, k), nullptr);
        }
    }
}
