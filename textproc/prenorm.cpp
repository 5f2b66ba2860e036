#include "textproc/prenorm.h"

#include <cstring>
#include <string>

#include "foundation/regex.h"
#include "foundation/utf8.h"
#include "textproc/nrules.h"

int QLTP_toxtoken_prenorm(nrules* rules, dystr* scratch, toxtoken* token) {
    if (!token || !scratch) return 0;
    std::string norm = QLTP_toxtoken_getnorm(token);
    QLTP_dystr_clear(scratch);
    bool downcased = false, alpha = false, other = false, converted = false;
    bool first_down = false, later_down = false;
    int ovector[QLTP_REGEX_OVECSIZE];
    const auto* b = reinterpret_cast<const unsigned char*>(norm.data());
    size_t n = norm.size();
    for (size_t i = 0, index = 0; i < n; ++index) {
        int len = QLTP_utf8_sequence(b + i, n - i);
        if (len <= 0) len = len == -1 ? static_cast<int>(n - i) : QLTP_utf8_bad_length(b + i, n - i);
        std::string c(norm, i, static_cast<size_t>(len));
        i += static_cast<size_t>(len);
        bool is_alpha = QLTP_nrules_rgx(rules, "alpha", 5, c.data(), len, ovector) > 0;
        const char* conv = QLTP_nrules_lkp(rules, "convertillegal", 14, c.data(), len);
        bool is_conv = conv && *conv;
        std::string r = is_conv ? std::string(conv) : c;
        const char* down = QLTP_nrules_lkp(rules, "downcase", 8, r.data(), static_cast<int>(r.size()));
        bool is_down = down && *down;
        if (is_down) r = down;
        alpha |= is_alpha;
        converted |= is_conv;
        downcased |= is_down;
        other |= !is_alpha && !is_conv && !is_down;
        if (index == 0) first_down = is_down;
        else later_down |= is_down;
        QLTP_dystr_append(scratch, r.data(), static_cast<int>(r.size()));
    }
    QLTP_toxtoken_setfeat(token, QLTP_FEAT_DOWNCASED, downcased);
    QLTP_toxtoken_setfeat(token, QLTP_FEAT_ALPHA, alpha);
    QLTP_toxtoken_setfeat(token, QLTP_FEAT_OTHER, other);
    QLTP_toxtoken_setfeat(token, QLTP_FEAT_CONVERTED, converted);
    QLTP_toxtoken_setfeat(token, QLTP_FEAT_CAPITALISED, n == 0 || (first_down && !later_down));
    QLTP_toxtoken_set_norm(token, QLTP_dystr_cstr(scratch), QLTP_dystr_sz(scratch));
    token->tagmark = QLTP_toxtoken_notags(token);
    return 1;
}
