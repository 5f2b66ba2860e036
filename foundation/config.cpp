#include "foundation/config.h"

#include <charconv>
#include <climits>
#include <cstdio>
#include <cstring>
#include <new>
#include <string>
#include <string_view>
#include <vector>

#include "foundation/strmap.h"
#include "foundation/strutil.h"
#include "foundation/xmlscan.h"

const char *const TPDB_DEFAULT_CONFIG[] = {
    "<dbconfig>",
    "    <log log='True'",
    "        logdir='.'",
    "        logname='tpdb'",
    "        loglevel='Debug'",
    "        logmoduleoutput='False'",
    "        logmoduleclear='True'",
    "        logstore='False'",
    "        logtofile='False'",
    "        logstderr='False'",
    "        logstdout='False'/>",
    "    <general tpdata='",
    "TPOBJ_ABBREV: ",
    "TPOBJ_NRULES: ",
    "TPOBJ_POSTAGS: ",
    "TPOBJ_POSSETS: ",
    "TPOBJ_HOMTAGS: ",
    "TPOBJ_ARCHIS: ",
    "TPOBJ_PRULES: ",
    "TPOBJ_PBREAK: ",
    "TPOBJ_RRULES: ",
    "TPOBJ_LEXMGR: ",
    "TPOBJ_LEXHASH: ",
    "TPOBJ_LEXCOMP: ",
    "TPOBJ_LTSMGR: ",
    "TPOBJ_CARTLTS: ",
    "TPOBJ_CCART: ",
    "TPOBJ_CONFIG: ",
    "TPOBJ_SYLMAX: ",
    "TPOBJ_LGPHONEMAP: ",
    "TPOBJ_LGPOSMAP: ",
    "TPOBJ_DISAMCTXT: ",
    "TPOBJ_JPACCENT: ",
    "TPOBJ_PHONESET: ",
    "TPOBJ_PHONESETMAP: ",
    "TPOBJ_PARAMDBMGR: ",
    "'/>",
    "</dbconfig>",
    "",
    nullptr,
};

struct config {
    std::string root;
    str2str *settings = nullptr;
    std::vector<std::string> elements;  // names of the open elements
    std::string text;                   // the file read by QLTP_config_loadf
    QLTP_tpxml *scanner = nullptr;

    ~config() {
        QLTP_tpxml_delete(scanner);
        QLTP_strarray_delete(settings);
    }
};

struct configsettings {
    config *defaults = nullptr;
    config *override_layer = nullptr;

    ~configsettings() {
        QLTP_config_delete(override_layer);
        QLTP_config_delete(defaults);
    }
};

namespace {

// A negative length means up to the NUL; a given length never runs past one.
std::string_view piece(const char *s, int len) {
    if (s == nullptr) return {};
    return std::string_view(s, static_cast<size_t>(QLTP_strnlen(s, len)));
}

std::string decimal(long long v) {
    char buf[24];
    auto res = std::to_chars(buf, buf + sizeof buf, v);
    return std::string(buf, res.ptr);
}

// The counters are written by this module; anything unreadable counts as 0.
long long read_decimal(const char *s) {
    long long v = 0;
    if (s != nullptr) std::from_chars(s, s + std::strlen(s), v);
    return v;
}

const char *lookup_key(const config *cfg, const std::string &key) {
    if (cfg == nullptr || cfg->settings == nullptr) return nullptr;
    return QLTP_str2str_lookup(cfg->settings, key.data(), static_cast<int>(key.size()));
}

void on_element_start(void *user, const char *name, const char **attributes) {
    config *cfg = static_cast<config *>(user);
    if (cfg == nullptr || name == nullptr) return;
    try {
        cfg->elements.emplace_back(name);
        // Settings are the attributes of an element directly inside one
        // named as the root, wherever that element stands.
        size_t depth = cfg->elements.size();
        if (depth < 2 || cfg->elements[depth - 2] != cfg->root) return;

        std::string key = name;
        key += '|';
        const char *counter = lookup_key(cfg, key);
        std::string index;
        if (counter == nullptr) {
            if (!QLTP_str2str_add(cfg->settings, key.data(), static_cast<int>(key.size()), "0", 1)) return;
        } else {
            long long n = read_decimal(counter);
            if (n < 0 || n >= INT32_MAX) n = 0;
            index = decimal(n + 1);
            QLTP_str2str_replace_val(cfg->settings, key.data(), static_cast<int>(key.size()), index.data(),
                                     static_cast<int>(index.size()));
        }

        if (attributes == nullptr) return;
        for (const char **a = attributes; a[0] != nullptr && a[1] != nullptr; a += 2) {
            // An empty attribute name would address the element's counter.
            if (a[0][0] == '\0') continue;
            std::string setting = name;
            setting += index;
            setting += '|';
            setting += a[0];
            const char *value = a[1];
            if (std::strcmp(value, "TRUE") == 0 || std::strcmp(value, "true") == 0) value = "True";
            QLTP_str2str_add(cfg->settings, setting.data(), static_cast<int>(setting.size()), value, -1);
        }
    } catch (...) {
    }
}

void on_element_end(void *user, const char *name) {
    config *cfg = static_cast<config *>(user);
    if (cfg == nullptr || name == nullptr || cfg->elements.empty()) return;
    if (cfg->elements.back() == name) cfg->elements.pop_back();
}

// Every load is one complete document: elements, a comment or a CDATA section
// left open by an earlier, broken document must not swallow or shift this one.
void begin_document(config *cfg) {
    cfg->elements.clear();
    QLTP_tpxml_reset(cfg->scanner);
}

int scan_lines(config *cfg, const char *const *lines) {
    if (cfg == nullptr || lines == nullptr) return 0;
    begin_document(cfg);
    for (const char *const *l = lines; *l != nullptr && **l != '\0'; ++l)
        if (!QLTP_tpxml_parse(cfg->scanner, *l, static_cast<int>(std::strlen(*l)), 0)) return 0;
    return QLTP_tpxml_parse(cfg->scanner, "", 0, 1) ? 1 : 0;
}

int scan_text(config *cfg, const char *text, int len) {
    if (cfg == nullptr || text == nullptr) return 0;
    std::string_view t = piece(text, len);
    begin_document(cfg);
    return QLTP_tpxml_parse(cfg->scanner, t.data(), static_cast<int>(t.size()), 1) ? 1 : 0;
}

}  // namespace

config *QLTP_config_new(const char *root, int len) {
    config *cfg = new (std::nothrow) config;
    if (cfg == nullptr) return nullptr;
    try {
        cfg->root = piece(root, len);
        cfg->elements.reserve(8);
        cfg->settings = QLTP_strarray_newcustom(64, 1, 256);
        cfg->scanner = QLTP_tpxml_new();
        if (cfg->settings == nullptr || cfg->scanner == nullptr) {
            delete cfg;
            return nullptr;
        }
        QLTP_tpxml_set_userdata(cfg->scanner, cfg);
        QLTP_tpxml_set_element_handler(cfg->scanner, on_element_start, on_element_end);
        return cfg;
    } catch (...) {
        delete cfg;
        return nullptr;
    }
}

void QLTP_config_delete(config *cfg) { delete cfg; }

int QLTP_config_load(config *cfg, const char *text, int len) { return scan_text(cfg, text, len); }

int QLTP_config_loads(config *cfg, const char *const *lines) { return scan_lines(cfg, lines); }

int QLTP_config_loadf(config *cfg, const char *path) {
    if (cfg == nullptr || path == nullptr) return 0;
    std::FILE *f = std::fopen(path, "r");
    if (f == nullptr) return 0;
    std::string text;
    bool ok = true;
    try {
        char buf[8192];
        size_t n;
        while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) {
            text.append(buf, n);
            if (text.size() > static_cast<size_t>(INT_MAX)) {
                ok = false;
                break;
            }
        }
        if (std::ferror(f)) ok = false;  // e.g. a directory
    } catch (...) {
        ok = false;
    }
    std::fclose(f);
    if (!ok) return 0;
    cfg->text = std::move(text);
    return scan_text(cfg, cfg->text.data(), static_cast<int>(cfg->text.size())) ;
}

// A rule set cannot supply all of the scanner's patterns (it names only
// twelve of seventeen), so the scanner keeps its own.
int QLTP_config_load_prealloc(config *cfg, const char *text, int len, nrules *) {
    return scan_text(cfg, text, len);
}

int QLTP_config_loads_prealloc(config *cfg, const char *const *lines, nrules *) {
    return scan_lines(cfg, lines);
}

str2str *QLTP_config_dict(const config *cfg) { return cfg != nullptr ? cfg->settings : nullptr; }

const char *QLTP_config_lookup(const config *cfg, const char *section, int slen, const char *key, int klen) {
    return QLTP_config_lookup_idx(cfg, section, slen, key, klen, 0);
}

const char *QLTP_config_lookup_idx(const config *cfg, const char *section, int slen, const char *key,
                                   int klen, int k) {
    if (cfg == nullptr || section == nullptr || key == nullptr) return nullptr;
    try {
        std::string name(piece(section, slen));
        if (k >= 1) name += decimal(k);
        name += '|';
        name += piece(key, klen);
        return lookup_key(cfg, name);
    } catch (...) {
        return nullptr;
    }
}

int QLTP_config_lookup_n(const config *cfg, const char *section, int slen) {
    if (cfg == nullptr || section == nullptr || slen < 0) return 0;
    try {
        std::string name(piece(section, slen));
        name += '|';
        const char *counter = lookup_key(cfg, name);
        if (counter == nullptr) return 0;
        long long n = read_decimal(counter);
        return (n >= 0 && n < INT32_MAX) ? static_cast<int>(n + 1) : 0;
    } catch (...) {
        return 0;
    }
}

configsettings *QLTP_configsettings_new(config *defaults, config *override_layer) {
    configsettings *s = new (std::nothrow) configsettings;
    if (s == nullptr) {
        QLTP_config_delete(override_layer);
        QLTP_config_delete(defaults);
        return nullptr;
    }
    s->defaults = defaults;
    s->override_layer = override_layer;
    return s;
}

void QLTP_configsettings_delete(configsettings *s) { delete s; }

const char *QLTP_configsettings_lookup(const configsettings *s, const char *section, int slen,
                                       const char *key, int klen) {
    if (s == nullptr || key == nullptr) return nullptr;
    if (s->override_layer != nullptr) {
        const char *v = QLTP_config_lookup(s->override_layer, section, slen, key, klen);
        if (v != nullptr) return v;
    }
    return QLTP_config_lookup(s->defaults, section, slen, key, klen);
}

int QLTP_tpobj_config_pstload(tpdb *, char *) { return 1; }

void QLTP_tpobj_config_delete(char *text) { QLTP_free(text); }

int32_t QLTP_tpobj_config_write(const char *text, char *dst, int) {
    if (text == nullptr) return 0;
    size_t n = std::strlen(text);
    if (n >= static_cast<size_t>(INT32_MAX)) return 0;
    if (dst == nullptr) return static_cast<int32_t>(n + 1);
    std::memcpy(dst, text, n + 1);
    return 1;
}
