#include "linguistics/phonesetmap.h"

#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "foundation/dict.h"
#include "foundation/dystr.h"
#include "foundation/logger.h"
#include "foundation/numarray.h"
#include "foundation/strutil.h"
#include "foundation/tpdb.h"
#include "foundation/tpdb_kinds.h"
#include "linguistics/pipeline.h"

namespace {

struct BuiltIn {
    const char* name;
    const char* phones;  // "phone=value" pairs, in id order
};

const BuiltIn kBuiltIn[] = {
    {"SAPI_VISEMES", "sil=0 a=1 uh=1 @=1 aa=2 o=3 oo=3 e=4 u=4 ei=4 @@=5 ii=6 y=6 i=6 uu=7 w=7 ou=8 au=9 oi=10 ai=11 h=12 r=13 l=14 s=15 z=15 sh=16 ch=16 jh=16 zh=16 th=17 dh=17 f=18 v=18 d=19 t=19 n=19 x=20 k=20 ng=20 g=20 p=21 b=21 m=21 e@=4 i@=6 u@=7 ae=1 ah=1 ax=1 ao=3 eh=4 ey=4 er=5 ih=6 iy=6 uw=7 ow=8 aw=9 oy=10 ay=11 hh=12 dx=19 aeh=1 oh=3 oe=5 oeh=5 ue=7 ueh=7 dzh=16 tsh=16 j=6 rv=13 rl=13 en=4 an=1 on=3 oen=1 ts=15 pf=18 q=0"},
    {"DISNEY_VISEMES", "sil=0 a=13 uh=11 @=9 aa=13 o=13 oo=11 e=11 u=11 ei=13 @@=10 ii=9 y=10 i=3 uu=2 w=12 ou=13 au=12 oi=9 ai=9 h=3 r=6 l=7 s=7 z=8 sh=8 ch=8 jh=8 zh=5 th=5 dh=4 f=4 v=7 d=7 t=7 n=9 k=9 ng=9 g=1 p=1 b=1 m=11 e@=11 i@=11 u@=13 ae=11 ah=11 ax=13 ao=11 eh=11 ey=7 er=10 ih=10 iy=3 uw=12 ow=9 aw=12 oy=9 ay=9 hh=7 dx=0"},
    {"SAPI_PHONEIDS", "sil=7 aa=10 o=13 oo=13 a=11 e=21 u=43 ei=23 uh=43 @=15 @@=22 ii=28 y=47 i=27 uu=44 w=46 ou=35 au=14 oi=36 ai=16 h=26 r=38 l=31 s=39 z=48 sh=40 ch=18 jh=29 zh=49 th=42 dh=20 f=24 v=45 d=19 t=41 n=33 x=30 k=30 ng=34 g=25 p=37 b=17 m=32 e@=21 i@=27 u@=44 ae=11 ah=12 ao=13 aw=14 ax=15 ay=16 dx=19 eh=21 er=22 ey=23 hh=26 ih=27 iy=28 ow=35 oy=36 uw=44 aeh=11 oh=13 oe=22 oeh=22 ue=44 ueh=44 dzh=49 tsh=40 j=47 rv=38 rl=38 en=21 an=11 on=13 oen=13 ts=39 pf=24 q=7"},
    {"MAC_PHONEIDS", "sil=0 @=5 @@=5 @@r=5 @l=5 @m=5 @n=5 @r=5 a=2 a@=11 aa=11 ae=2 aeh=2 aer=2 ah=13 ai=9 an=2 ao=4 ar=11 au=16 aw=16 ax=5 ay=9 b=18 ba=18 bb=18 bd=18 ch=19 chd=19 d=20 dd=20 df=20 dg=20 dgd=20 dh=21 dx=20 dz=20 dzd=20 dzh=41 e=7 e@=7 ee=3 eh=7 ei=3 eir=3 en=7 er=5 eu=7 ex=13 ey=3 f=22 fd=22 g=23 gd=23 gf=23 gg=23 gh=23 gl=23 gld=23 gn=23 gnd=23 h=24 hh=24 hw=24 i=8 i@=6 ih=8 ii=6 in=7 ir=6 iy=6 j=39 jh=25 jj=25 k=26 kd=26 l=27 ld=27 ll=27 lw=27 m=28 md=28 n=29 nd=29 nf=29 ng=30 ny=29 o=4 oa=4 oe=5 oeh=5 oen=4 oh=4 oi=17 on=4 oo=4 or=4 ou=15 ow=15 owr=15 oy=17 p=31 pd=31 pf=22 q=1 r=32 rl=32 rr=32 rv=32 s=33 sd=33 sh=34 shd=34 t=35 td=35 th=36 ts=33 tsd=33 tsh=34 u=13 u@=12 ue=12 ueh=12 uh=14 ui=13 un=7 ur=13 uu=13 uw=12 uy=12 v=37 vd=37 vi=37 vu=37 w=38 wa=16 wi=8 ww=38 x=26 y=39 ya=16 ye=7 yn=4 yo=7 yu=39 yy=12 yz=3 z=40 zh=41 zz=40"},
};

bool iequals(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        char x = a[i], y = b[i];
        if (x >= 'a' && x <= 'z') x = static_cast<char>(x - 32);
        if (y >= 'a' && y <= 'z') y = static_cast<char>(y - 32);
        if (x != y) return false;
    }
    return true;
}

char* owned_copy(std::string_view s) {
    auto* p = static_cast<char*>(QLTP_malloc(s.size() + 1));
    if (!p) return nullptr;
    std::memcpy(p, s.data(), s.size());
    p[s.size()] = '\0';
    return p;
}

std::vector<std::string_view> fields(std::string_view line) {
    std::vector<std::string_view> out;
    size_t i = 0;
    while (i < line.size()) {
        while (i < line.size() && (line[i] == ' ' || line[i] == '\t')) ++i;
        size_t from = i;
        while (i < line.size() && line[i] != ' ' && line[i] != '\t') ++i;
        if (i > from) out.push_back(line.substr(from, i - from));
    }
    return out;
}

// The decimal integer a field begins with (optional sign, then at least one
// digit; what follows the digits is not read); false when there is none or
// it does not fit an int.
bool leading_number(std::string_view s, int& value) {
    const bool negative = !s.empty() && s[0] == '-';
    if (!s.empty() && (s[0] == '-' || s[0] == '+')) s.remove_prefix(1);
    long long n = 0;
    size_t digits = 0;
    for (; digits < s.size() && s[digits] >= '0' && s[digits] <= '9'; ++digits) {
        n = n * 10 + (s[digits] - '0');
        if (n > INT32_MAX + 1LL) return false;
    }
    if (digits == 0) return false;
    if (negative) n = -n;
    if (n > INT32_MAX || n < INT32_MIN) return false;
    value = static_cast<int>(n);
    return true;
}

phonesetmap* empty_map() {
    auto* m = static_cast<phonesetmap*>(QLTP_calloc(1, sizeof(phonesetmap)));
    if (!m) return nullptr;
    m->phones = QLTP_dict_new_empty(128);
    m->values = QLTP_intarray_new();
    if (!m->phones || !m->values || !QLTP_intarray_add(m->values, -1)) {
        QLTP_phonesetmap_delete(m);
        return nullptr;
    }
    return m;
}

// Adds a new phone; false for one already there (or no memory).
bool add_phone(phonesetmap* m, std::string_view phone, int value) {
    if (QLTP_dict_lookup_word(m->phones, phone.data(), static_cast<int>(phone.size())) > 0) return false;
    if (QLTP_dict_add_entry(m->phones, phone.data(), static_cast<int>(phone.size())) != m->count + 1) return false;
    if (!QLTP_intarray_add(m->values, value)) return false;
    ++m->count;
    return true;
}

// Reads the text form into m; false when the text is no map. Lines that
// cannot be read (a key without a value, a count or value that is no
// number, a phone line of fewer than three fields) are refused: they go to
// `refused` and the rest is read. A refused phone line still takes its
// place among the announced ones.
bool parse(phonesetmap* m, std::string_view text, std::vector<std::string>& refused) {
    int wanted = 0;     // phones the NR_PHONES line announced
    int pending = 0;    // phone lines still to read
    while (!text.empty()) {
        size_t end = text.find_first_of("\r\n");
        std::string_view line = text.substr(0, end);
        text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
        if (line.empty() || line[0] == '#') continue;
        std::vector<std::string_view> f = fields(line);
        if (f.empty()) continue;
        if (pending > 0) {
            --pending;
            int value = 0;
            if (f.size() < 3 || !leading_number(f[2], value)) {
                refused.emplace_back(line);
                continue;
            }
            if (!add_phone(m, f[0], value)) return false;
            continue;
        }
        for (size_t i = 0; i < f.size(); ++i) {
            char** target = iequals(f[i], "MAPPING_NAME") ? &m->name
                            : iequals(f[i], "VERSION")    ? &m->version
                            : iequals(f[i], "VAL_TYPES")  ? &m->valtype
                                                          : nullptr;
            bool count = iequals(f[i], "NR_PHONES");
            if (!target && !count) continue;
            int n = 0;
            if (i + 1 >= f.size() || (count && !leading_number(f[i + 1], n))) {
                refused.emplace_back(line);
            } else if (count) {
                if (wanted > 0 || n < 1) return false;
                wanted = pending = n;
            } else {
                QLTP_free(*target);
                if (!(*target = owned_copy(f[i + 1]))) return false;
            }
            break;
        }
    }
    return wanted > 0 && pending == 0 && m->count > 0;
}

phonesetmap* read_map(const char* text, int len, std::vector<std::string>& refused) {
    if (!text) return nullptr;
    phonesetmap* m = empty_map();
    if (!m) return nullptr;
    if (!parse(m, std::string_view(text, static_cast<size_t>(QLTP_strnlen(text, len))), refused)) {
        QLTP_phonesetmap_delete(m);
        return nullptr;
    }
    return m;
}

void append(dystr* out, std::string_view s) { QLTP_dystr_append(out, s.data(), static_cast<int>(s.size())); }

void append_json_string(dystr* out, std::string_view s) {
    append(out, "\"");
    for (char c : s) {
        auto u = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            char esc[2] = {'\\', c};
            append(out, std::string_view(esc, 2));
        } else if (u < 0x20 || u == 0x7f) {
            char esc[8];
            std::snprintf(esc, sizeof esc, "\\u%04x", u);
            append(out, esc);
        } else {
            append(out, std::string_view(&c, 1));
        }
    }
    append(out, "\"");
}

phonesetmap* fetch_map(tpdb* db, const char* name) { return QLTP_tpdb_get_phonesetmapping(db, name); }

const int registered = QLTP_tpobj_register("TPOBJ_PHONESETMAP", {.load = QLTP_tpobj_phonesetmap_load,
                                                                 .pstload = QLTP_tpobj_phonesetmap_pstload,
                                                                 .del = QLTP_tpobj_phonesetmap_delete,
                                                                 .write = QLTP_tpobj_phonesetmap_write});

const int maintained = [] {
    QLTP_tpc_maintenance& m = QLTP_linguistics_maintenance();
    m.fetch_map = fetch_map;
    m.delete_map = QLTP_phonesetmap_delete;
    return 1;
}();

}  // namespace

phonesetmap* QLTP_phonesetmap_new(const char* text, int len) {
    try {
        std::vector<std::string> refused;
        return read_map(text, len, refused);
    } catch (...) {
        return nullptr;
    }
}

phonesetmap* QLTP_phonesetmap_new_default(const char* name) {
    if (!name) return nullptr;
    for (const BuiltIn& b : kBuiltIn) {
        if (!iequals(name, b.name)) continue;
        phonesetmap* m = empty_map();
        if (!m || !(m->name = owned_copy(b.name)) || !(m->version = owned_copy("5.0.0")) ||
            !(m->valtype = owned_copy("int"))) {
            QLTP_phonesetmap_delete(m);
            return nullptr;
        }
        for (std::string_view pair : fields(b.phones)) {
            size_t eq = pair.rfind('=');
            int value = 0;
            leading_number(pair.substr(eq + 1), value);
            if (!add_phone(m, pair.substr(0, eq), value)) {
                QLTP_phonesetmap_delete(m);
                return nullptr;
            }
        }
        return m;
    }
    return nullptr;
}

void QLTP_phonesetmap_delete(phonesetmap* map) {
    if (!map) return;
    QLTP_free(map->name);
    QLTP_free(map->version);
    QLTP_free(map->valtype);
    QLTP_dict_delete(map->phones);
    QLTP_intarray_delete(map->values);
    QLTP_free(map);
}

phonesetmap* QLTP_tpdb_get_phonesetmapping(tpdb* db, const char* name) {
    if (!db || !name) return nullptr;
    try {
        std::string object = std::string("TPOBJ_PHONESETMAP:") + name;
        if (auto* text = static_cast<const char*>(QLTP_tpdb_get_tpdata(db, object.c_str()))) {
            std::vector<std::string> refused;
            phonesetmap* m = read_map(text, -1, refused);
            for (const std::string& line : refused)
                QLTP_logger_set_error(db->log, QLTP_MESSAGE_WARN, "Phone-set map line refused",
                                      (object + ": " + line).c_str());
            if (m) return m;
            QLTP_logger_set_error(db->log, QLTP_MESSAGE_WARN, "Stored phone-set map invalid",
                                  object.c_str());
        }
    } catch (...) {
    }
    return QLTP_phonesetmap_new_default(name);
}

int QLTP_phonesetmap_lookup(const phonesetmap* map, const char* phone, int len) {
    if (!map || !phone) return -1;
    int n = QLTP_strnlen(phone, len);
    if (n <= 0) return -1;
    int id = QLTP_dict_lookup_word(map->phones, phone, n);
    return id > 0 && id <= map->count ? QLTP_intarray_idx(map->values, id) : -1;
}

const char* QLTP_phonesetmap_phone_idx(const phonesetmap* map, int i) {
    if (!map || i < 0 || i > map->count) return nullptr;
    if (i == 0) return "";
    return QLTP_dict_lookup_index(map->phones, i);
}

int QLTP_phonesetmap_val_idx(const phonesetmap* map, int i) {
    if (!map || i < 0 || i > map->count) return -1;
    return QLTP_intarray_idx(map->values, i);
}

int QLTP_phonesetmap_sz(const phonesetmap* map) { return map ? map->count : -1; }

void QLTP_phonesetmap_print(const phonesetmap* map, dystr* out) {
    if (!map || !out) return;
    if (map->name) QLTP_dystr_append3(out, "NAME: ", -1, map->name, -1, "\n", 1);
    if (map->version) QLTP_dystr_append3(out, "VERSION: ", -1, map->version, -1, "\n", 1);
    if (map->valtype) QLTP_dystr_append3(out, "VAL_TYPE: ", -1, map->valtype, -1, "\n", 1);
    append(out, "Mapping:\n");
    for (int i = 1; i <= map->count; ++i) {
        std::string line(32 + std::strlen(QLTP_phonesetmap_phone_idx(map, i)), '\0');
        int n = std::snprintf(line.data(), line.size(), "    %4s : %d\n", QLTP_phonesetmap_phone_idx(map, i),
                              QLTP_phonesetmap_val_idx(map, i));
        append(out, std::string_view(line.data(), static_cast<size_t>(n)));
    }
}

void QLTP_phonesetmap_printf(const phonesetmap* map) {
    if (!map) return;
    dystr* out = QLTP_dystr_new("", 0);
    if (!out) return;
    QLTP_phonesetmap_print(map, out);
    std::fputs(QLTP_dystr_cstr(out), stdout);
    QLTP_dystr_delete(out);
}

void QLTP_phonesetmap_printl(const phonesetmap* map, dystr* out) {
    if (!map || !out) return;
    append(out, "{");
    const std::pair<const char*, const char*> members[] = {
        {"NAME", map->name}, {"VERSION", map->version}, {"VAL_TYPE", map->valtype}};
    for (const auto& [key, value] : members) {
        if (!value) continue;
        append_json_string(out, key);
        append(out, ":");
        append_json_string(out, value);
        append(out, ",");
    }
    append(out, "\"MAPPING\":[");
    for (int i = 1; i <= map->count; ++i) {
        if (i > 1) append(out, ",");
        append(out, "{");
        append_json_string(out, QLTP_phonesetmap_phone_idx(map, i));
        append(out, ":");
        QLTP_dystr_appendint(out, QLTP_phonesetmap_val_idx(map, i));
        append(out, "}");
    }
    append(out, "]}");
}

void* QLTP_tpobj_phonesetmap_load(tpdb* db, int32_t offset) {
    int32_t size = QLTP_read_int(db, offset);
    if (size < 0) return nullptr;
    char* text = QLTP_read_chars(db, size, 0);
    if (text) text[size] = '\0';
    return text;
}

int QLTP_tpobj_phonesetmap_pstload(tpdb*, void*) { return 1; }

void QLTP_tpobj_phonesetmap_delete(void* object) { QLTP_free(object); }

int32_t QLTP_tpobj_phonesetmap_write(void* text, char* destination, int) {
    if (!text) return 0;
    size_t n = std::strlen(static_cast<const char*>(text)) + 1;
    if (n > INT32_MAX) return 0;
    if (!destination) return static_cast<int32_t>(n);
    std::memcpy(destination, text, n);
    return 1;
}
