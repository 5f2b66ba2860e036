#include "foundation/tpdb_tools.h"

#include <sys/stat.h>
#include <sys/types.h>

#include <climits>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <string_view>
#include <vector>

#include "foundation/tpdb.h"

namespace {

// Magic, byte-order word and header size word come before the header text.
constexpr int64_t kHeaderText = int64_t{START_SIZE} + 4;
constexpr size_t kPiece = 256;
constexpr size_t kStreamBuffer = size_t{1} << 20;
constexpr size_t kMaxNameLength = 100;
constexpr int kCurrentMajor = 5;
// Decimal fields of header and index lines that the tools read.
constexpr size_t kMaxDigits = 18;

bool file_seek(FILE* f, int64_t at) { return fseeko(f, static_cast<off_t>(at), SEEK_SET) == 0; }

int64_t file_size(FILE* f) {
    if (fseeko(f, 0, SEEK_END) != 0) return -1;
    int64_t size = ftello(f);
    return file_seek(f, 0) ? size : -1;
}

bool same_file(const char* a, const char* b) {
    struct stat sa{}, sb{};
    return stat(a, &sa) == 0 && stat(b, &sb) == 0 && sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
}

// A stdio stream with a large buffer, closed when it goes; the tools move
// data in small pieces, so the buffer is what keeps copies fast.
class Stream {
  public:
    Stream() = default;
    ~Stream() { close(); }
    Stream(const Stream&) = delete;
    Stream& operator=(const Stream&) = delete;

    bool open(const char* path, const char* mode) {
        close();
        f_ = path ? std::fopen(path, mode) : nullptr;
        if (!f_) return false;
        // Left uncleared: stdio writes before it reads, and a call that
        // reads a few lines must not pay for clearing a megabyte.
        if (!buffer_) buffer_.reset(new (std::nothrow) char[kStreamBuffer]);
        if (buffer_) std::setvbuf(f_, buffer_.get(), _IOFBF, kStreamBuffer);
        return true;
    }
    // False when the data could not all be written out.
    bool close() {
        bool ok = true;
        if (f_) ok = std::fclose(f_) == 0;
        f_ = nullptr;
        return ok;
    }
    FILE* get() const { return f_; }

  private:
    FILE* f_ = nullptr;
    std::unique_ptr<char[]> buffer_;
};

// Removes an output that a failed tool made; only ever a regular file.
void discard(const char* path) {
    struct stat st{};
    if (stat(path, &st) == 0 && S_ISREG(st.st_mode)) std::remove(path);
}

bool read_exact(FILE* f, void* dst, size_t n) { return n == 0 || std::fread(dst, 1, n, f) == n; }

bool write_exact(FILE* f, const void* src, size_t n) { return n == 0 || std::fwrite(src, 1, n, f) == n; }

int32_t decode_word(const unsigned char* b, bool swap) {
    int32_t v;
    std::memcpy(&v, b, 4);
    if (swap) QLTP_swap_bytes(&v, 4);
    return v;
}

// Copies n bytes in pieces of at most 256 bytes: 0, 8 on a short read, 9 on
// a short write.
int fcopy(FILE* from, FILE* to, int64_t n) {
    char piece[kPiece];
    while (n > 0) {
        size_t want = n < static_cast<int64_t>(kPiece) ? static_cast<size_t>(n) : kPiece;
        if (std::fread(piece, 1, want, from) != want) return QLTP_TPDBTOOL_SHORT_READ;
        if (std::fwrite(piece, 1, want, to) != want) return QLTP_TPDBTOOL_SHORT_WRITE;
        n -= static_cast<int64_t>(want);
    }
    return QLTP_TPDBTOOL_OK;
}

// Runs a tool step; running out of memory gives the fallback.
template <class R, class F>
R guarded(R fallback, F step) {
    try {
        return step();
    } catch (...) {
        return fallback;
    }
}

// Strict decimal of 1 to 18 digits.
bool parse_digits(std::string_view s, int64_t* out) {
    if (s.empty() || s.size() > kMaxDigits) return false;
    int64_t v = 0;
    for (char c : s) {
        if (c < '0' || c > '9') return false;
        v = v * 10 + (c - '0');
    }
    *out = v;
    return true;
}

// One line of a header or index text, without its line feed.
struct Line {
    size_t begin;  // offset of the line in the text
    std::string_view text;
    bool has_newline;
};

std::vector<Line> split_lines(std::string_view text) {
    std::vector<Line> lines;
    size_t at = 0;
    while (at < text.size()) {
        size_t eol = text.find('\n', at);
        bool nl = eol != std::string_view::npos;
        if (!nl) eol = text.size();
        lines.push_back({at, text.substr(at, eol - at), nl});
        at = eol + 1;
    }
    return lines;
}

// The value of the first line "<key> = <value>" with exactly this key, and
// where it begins in the text.
bool line_value(std::string_view text, std::string_view key, std::string_view* value, size_t* at) {
    for (const Line& line : split_lines(text)) {
        std::string_view t = line.text;
        if (t.size() >= key.size() + 3 && t.substr(0, key.size()) == key && t.substr(key.size(), 3) == " = ") {
            *value = t.substr(key.size() + 3);
            if (at) *at = line.begin + key.size() + 3;
            return true;
        }
    }
    return false;
}

// The key of an index line (the text before its first " = "), if it has one.
bool line_key(std::string_view line, std::string_view* key, std::string_view* value) {
    size_t eq = line.find(" = ");
    if (eq == std::string_view::npos) return false;
    *key = line.substr(0, eq);
    *value = line.substr(eq + 3);
    return true;
}

// The raw parts of a database file, each checked against the file size.
struct RawDb {
    FILE* file = nullptr;  // not owned
    int64_t size = 0;
    unsigned char order[4] = {};
    bool swap = false;
    int64_t header_size = 0;
    std::string header;
    int64_t maindb = 0;
    size_t maindb_at = 0;       // where the MAINDB_SIZE value begins in the header
    size_t maindb_len = 0;
    int64_t index_at = 0;       // the index size word
    int64_t index_size = 0;
    std::string index;

    int64_t objects_begin() const { return kHeaderText + header_size; }
};

// Reads magic, byte order, header and index; 0 or a result code.
int read_raw(FILE* f, RawDb& db, bool accept_other_order) {
    db.file = f;
    db.size = file_size(f);
    if (db.size < 0) return QLTP_TPDBTOOL_CANT_OPEN;
    char magic[TPDBNAME_SIZE];
    if (!read_exact(f, magic, sizeof magic) || std::memcmp(magic, TPDBNAME, sizeof magic) != 0)
        return QLTP_TPDBTOOL_NOT_TPDB;
    unsigned char head[8];
    if (!read_exact(f, head, sizeof head)) return QLTP_TPDBTOOL_MALFORMED;
    std::memcpy(db.order, head, 4);
    int flag = QLTP_tpdb_order_flag(db.order);
    db.swap = flag != QLTP_littleendian();
    if (flag < 0 || (db.swap && !accept_other_order)) return QLTP_TPDBTOOL_BYTE_ORDER;

    db.header_size = decode_word(head + 4, db.swap);
    if (db.header_size < 0 || db.objects_begin() > db.size) return QLTP_TPDBTOOL_MALFORMED;
    try {
        db.header.resize(static_cast<size_t>(db.header_size));
    } catch (...) {
        return QLTP_TPDBTOOL_MALFORMED;
    }
    if (!read_exact(f, db.header.data(), db.header.size())) return QLTP_TPDBTOOL_MALFORMED;
    std::string_view value;
    if (!line_value(db.header, "MAINDB_SIZE", &value, &db.maindb_at) || !parse_digits(value, &db.maindb))
        return QLTP_TPDBTOOL_MALFORMED;
    db.maindb_len = value.size();

    db.index_at = db.objects_begin() + db.maindb;
    unsigned char word[4];
    if (db.index_at + 4 > db.size || !file_seek(f, db.index_at) || !read_exact(f, word, 4))
        return QLTP_TPDBTOOL_MALFORMED;
    db.index_size = decode_word(word, db.swap);
    if (db.index_size < 0 || db.index_at + 4 + db.index_size > db.size) return QLTP_TPDBTOOL_MALFORMED;
    try {
        db.index.resize(static_cast<size_t>(db.index_size));
    } catch (...) {
        return QLTP_TPDBTOOL_MALFORMED;
    }
    if (!read_exact(f, db.index.data(), db.index.size())) return QLTP_TPDBTOOL_MALFORMED;
    return QLTP_TPDBTOOL_OK;
}

struct Record {
    int64_t offset = 0;   // of the size word
    int64_t size = 0;     // object bytes after it
    size_t line = 0;      // index line
};

// Finds the object by its whole key: 0, 10 when the index has no non-zero
// offset for it, 11 when its record does not lie between header and index.
int find_record(const RawDb& db, std::string_view name, Record* record) {
    std::vector<Line> lines = split_lines(db.index);
    for (size_t i = 1; i < lines.size(); ++i) {
        std::string_view key, value;
        if (!line_key(lines[i].text, &key, &value) || key != name) continue;
        int64_t offset = 0;
        if (!parse_digits(value, &offset)) return QLTP_TPDBTOOL_MALFORMED;
        if (offset == 0) return QLTP_TPDBTOOL_NOT_IN_INDEX;
        unsigned char word[4];
        if (offset < db.objects_begin() || offset + 4 > db.index_at || !file_seek(db.file, offset) ||
            !read_exact(db.file, word, 4))
            return QLTP_TPDBTOOL_MALFORMED;
        int64_t size = decode_word(word, db.swap);
        if (size < 0 || offset + 4 + size > db.index_at) return QLTP_TPDBTOOL_MALFORMED;
        *record = {offset, size, i};
        return QLTP_TPDBTOOL_OK;
    }
    return QLTP_TPDBTOOL_NOT_IN_INDEX;
}

// Opens, reads and looks up in one go, for the tools on a path.
int open_and_find(Stream& in, const char* path, const char* name, RawDb& db, Record* record) {
    if (!name || !in.open(path, "rb")) return QLTP_TPDBTOOL_CANT_OPEN;
    int code = read_raw(in.get(), db, false);
    return code ? code : find_record(db, name, record);
}

QLTP_fixedbuf* read_text(const char* path, bool index) {
    return guarded<QLTP_fixedbuf*>(nullptr, [&]() -> QLTP_fixedbuf* {
    Stream in;
    RawDb db;
    if (!in.open(path, "rb") || read_raw(in.get(), db, true) != 0) return nullptr;
    const std::string& text = index ? db.index : db.header;
    return QLTP_fixedbuf_frombytes(text.data(), static_cast<uint32_t>(text.size()));
    });
}

bool contains(std::string_view text, const char* pattern) {
    return !pattern || !*pattern || text.find(pattern) != std::string_view::npos;
}

// Names that the database reader takes back as one index key.
bool readable_name(std::string_view name) {
    if (name.empty() || name.size() > kMaxNameLength) return false;
    for (char c : name)
        if (static_cast<unsigned char>(c) <= ' ' || c == 0x7f) return false;
    return true;
}

int major_version(std::string_view header) {
    size_t at = header.find(QLTP_MAJOR_VERSION_STR);
    if (at == std::string_view::npos) return 4;
    at = header.find_first_of("0123456789", at);
    if (at == std::string_view::npos) return 4;
    size_t end = header.find_first_not_of("0123456789", at);
    int64_t v = 0;
    if (!parse_digits(header.substr(at, end == std::string_view::npos ? end : end - at), &v)) return -1;
    return v > INT_MAX ? -1 : static_cast<int>(v);
}

// The modified index: count and offsets moved, the object's line dropped or
// a line for it appended.
enum class Mode { add, replace, remove };

bool new_index(const RawDb& db, Mode mode, const Record& record, std::string_view name, int64_t shift, int64_t growth,
               std::string* out) {
    std::vector<Line> lines = split_lines(db.index);
    int64_t count = 0;
    if (lines.empty() || !parse_digits(lines[0].text, &count)) return false;
    count += mode == Mode::add ? 1 : mode == Mode::remove ? -1 : 0;
    *out = std::to_string(count) + "\n";
    for (size_t i = 1; i < lines.size(); ++i) {
        if (mode == Mode::remove && i == record.line) continue;
        std::string_view key, value;
        int64_t offset = 0;
        if (line_key(lines[i].text, &key, &value) && parse_digits(value, &offset)) {
            if (offset != 0) offset += (offset > record.offset ? shift : 0) + growth;
            out->append(key).append(" = ").append(std::to_string(offset));
        } else {
            out->append(lines[i].text);
        }
        if (lines[i].has_newline) out->push_back('\n');
    }
    if (mode == Mode::add) {
        if (!out->empty() && out->back() != '\n') out->push_back('\n');
        out->append(name).append(" = ").append(std::to_string(record.offset + growth)).append("\n");
    }
    return true;
}

void error(const char* fmt, const char* detail = "") { std::fprintf(stderr, fmt, detail); }

int modify(const char* object_path, const char* name, const char* db_path, const char* out_path) {
    if (!name || !readable_name(name)) return QLTP_TPDBTOOL_CANT_OPEN;
    if (!out_path || !db_path) return !db_path ? QLTP_TPDBTOOL_CANT_OPEN : QLTP_TPDBTOOL_CANT_CREATE;
    if (same_file(out_path, db_path) || (object_path && same_file(out_path, object_path)))
        return QLTP_TPDBTOOL_CANT_CREATE;

    Stream object;
    int64_t new_size = 0;
    if (object_path) {
        if (!object.open(object_path, "rb") || (new_size = file_size(object.get())) < 0) {
            error("ERROR: could not find \"%s\"\n", object_path);
            return QLTP_TPDBTOOL_NO_OBJECT_FILE;
        }
    }

    Stream in;
    RawDb db;
    int code = in.open(db_path, "rb") ? read_raw(in.get(), db, false) : QLTP_TPDBTOOL_CANT_OPEN;
    if (code == QLTP_TPDBTOOL_CANT_OPEN || code == QLTP_TPDBTOOL_NOT_TPDB || code == QLTP_TPDBTOOL_BYTE_ORDER)
        error("ERROR: could not open tpdb \"%s\"\n", db_path);
    if (code) return code;
    int major = major_version(db.header);
    if (major != kCurrentMajor) {
        std::fprintf(stderr, "ERROR: Major version of original tpdb %d and current qorltp version %d are not the same\n",
                     major, kCurrentMajor);
        return QLTP_TPDBTOOL_SHORT_READ;
    }

    Record record;
    code = find_record(db, name, &record);
    if (code == QLTP_TPDBTOOL_MALFORMED) return code;
    Mode mode = code == QLTP_TPDBTOOL_OK ? (object_path ? Mode::replace : Mode::remove) : Mode::add;
    if (mode == Mode::add) {
        if (!object_path) {
            error("ERROR:  cursz & objsz are zero, object is probably missing\n");
            return QLTP_TPDBTOOL_NOTHING_TO_DO;
        }
        record = {db.index_at, 0, 0};
    }

    int64_t delta = mode == Mode::add ? new_size + 4 : mode == Mode::replace ? new_size - record.size : -(record.size + 4);
    int64_t shift = mode == Mode::add ? 0 : delta;
    std::string header = db.header;
    header.replace(db.maindb_at, db.maindb_len, std::to_string(db.maindb + delta));
    int64_t growth = static_cast<int64_t>(header.size()) - db.header_size;
    std::string index;
    if (!new_index(db, mode, record, name, shift, growth, &index)) return QLTP_TPDBTOOL_MALFORMED;
    int64_t total = kHeaderText + static_cast<int64_t>(header.size()) + db.maindb + delta + 4 +
                    static_cast<int64_t>(index.size());
    if (total > INT32_MAX || new_size > INT32_MAX) return QLTP_TPDBTOOL_SHORT_WRITE;
    // Everything that allocates happens before the output exists.
    auto word = [](int64_t v) {
        int32_t w = static_cast<int32_t>(v);
        return std::string(reinterpret_cast<const char*>(&w), 4);
    };
    std::string head = std::string(TPDBNAME, TPDBNAME_SIZE) + std::string(reinterpret_cast<const char*>(db.order), 4) +
                       word(static_cast<int64_t>(header.size())) + header;
    std::string size_word = word(new_size);
    std::string tail = word(static_cast<int64_t>(index.size())) + index;

    Stream out;
    if (!out.open(out_path, "wb")) {
        error("ERROR: failed to create output file\n");
        return QLTP_TPDBTOOL_CANT_CREATE;
    }

    FILE* o = out.get();
    code = write_exact(o, head.data(), head.size()) ? 0 : QLTP_TPDBTOOL_SHORT_WRITE;
    if (!code)
        code = file_seek(in.get(), db.objects_begin()) ? fcopy(in.get(), o, record.offset - db.objects_begin())
                                                       : QLTP_TPDBTOOL_SHORT_READ;
    if (!code && object_path) {
        code = write_exact(o, size_word.data(), 4) ? fcopy(object.get(), o, new_size) : QLTP_TPDBTOOL_SHORT_WRITE;
    }
    int64_t rest = record.offset + 4 + record.size;
    if (!code && mode != Mode::add)
        code = file_seek(in.get(), rest) ? fcopy(in.get(), o, db.index_at - rest) : QLTP_TPDBTOOL_SHORT_READ;
    if (!code) code = write_exact(o, tail.data(), tail.size()) ? 0 : QLTP_TPDBTOOL_SHORT_WRITE;
    if (!out.close() && !code) code = QLTP_TPDBTOOL_SHORT_WRITE;
    if (code) discard(out_path);
    return code;
}

}  // namespace

// ---------------------------------------------------------------------------
// Objects by database path

int QLTP_tpdb_obj_extract(const char* db_path, const char* name, const char* out_path) {
    if (!out_path || (db_path && same_file(out_path, db_path))) return QLTP_TPDBTOOL_CANT_EXTRACT;
    Stream out;
    if (!out.open(out_path, "wb")) return QLTP_TPDBTOOL_CANT_EXTRACT;
    Stream in;
    RawDb db;
    Record record;
    int code = guarded(int{QLTP_TPDBTOOL_MALFORMED}, [&] { return open_and_find(in, db_path, name, db, &record); });
    if (!code)
        code = file_seek(in.get(), record.offset + 4) ? fcopy(in.get(), out.get(), record.size) : QLTP_TPDBTOOL_SHORT_READ;
    if (!out.close() && !code) code = QLTP_TPDBTOOL_SHORT_WRITE;
    if (code) discard(out_path);
    return code;
}

QLTP_fixedbuf* QLTP_tpdb_obj_extract_fixedbuf(const char* db_path, const char* name) {
    Stream in;
    RawDb db;
    Record record;
    if (guarded(1, [&] { return open_and_find(in, db_path, name, db, &record); }) ||
        !file_seek(in.get(), record.offset + 4))
        return nullptr;
    QLTP_fixedbuf* buffer = QLTP_fixedbuf_new(static_cast<uint32_t>(record.size));
    if (!buffer || !read_exact(in.get(), buffer->data, static_cast<size_t>(record.size))) {
        QLTP_fixedbuf_delete(buffer);
        return nullptr;
    }
    return buffer;
}

int QLTP_tpdb_has_obj(const char* db_path, const char* name) {
    Stream in;
    RawDb db;
    Record record;
    return guarded(1, [&] { return open_and_find(in, db_path, name, db, &record); }) == QLTP_TPDBTOOL_OK;
}

FILE* QLTP_tpdb_io_fp(const char* db_path, const char* name) {
    if (!db_path || !name) return nullptr;
    FILE* f = std::fopen(db_path, "rb");
    if (!f) return nullptr;
    RawDb db;
    Record record;
    if (guarded(1, [&] { return read_raw(f, db, false) || find_record(db, name, &record); }) ||
        !file_seek(f, record.offset)) {
        std::fclose(f);
        return nullptr;
    }
    return f;
}

// ---------------------------------------------------------------------------
// Objects in an open file

int32_t QLTP_tpdb_io_offset(FILE* file, const char* name) {
    if (!file || !name) return 0;
    RawDb db;
    Record record;
    if (guarded(1, [&] { return read_raw(file, db, true) || find_record(db, name, &record); })) return 0;
    return static_cast<int32_t>(record.offset);
}

FILE* QLTP_tpdb_io_fpseek(FILE* file, const char* name) {
    int32_t offset = QLTP_tpdb_io_offset(file, name);
    return offset > 0 && file_seek(file, offset) ? file : nullptr;
}

// ---------------------------------------------------------------------------
// Header, index and search

QLTP_fixedbuf* QLTP_tpdb_io_get_header(const char* db_path) { return read_text(db_path, false); }

QLTP_fixedbuf* QLTP_tpdb_io_get_index(const char* db_path) { return read_text(db_path, true); }

QLTP_fixedbuf* QLTP_tpdb_io_search(const char* db_path, const char* kind, const char* name1, const char* name2,
                                   const char* name3, const char* name4) {
    return guarded<QLTP_fixedbuf*>(nullptr, [&]() -> QLTP_fixedbuf* {
    Stream in;
    RawDb db;
    if (!in.open(db_path, "rb") || read_raw(in.get(), db, true) != 0) return nullptr;
    std::string found;
    for (const Line& line : split_lines(db.index)) {
        std::string_view key, value;
        if (!line_key(line.text, &key, &value)) continue;
        size_t colon = key.find(':');
        // Lines of names without a kind are passed over.
        if (colon == std::string_view::npos) continue;
        std::string_view kind_part = key.substr(0, colon), name_part = key.substr(colon + 1);
        if (!contains(kind_part, kind) || !contains(name_part, name1) || !contains(name_part, name2) ||
            !contains(name_part, name3) || !contains(name_part, name4))
            continue;
        found.append(key).push_back('\0');
    }
    QLTP_fixedbuf* result = QLTP_fixedbuf_new(static_cast<uint32_t>(db.index.size()));
    if (!result) return nullptr;
    if (!found.empty()) std::memcpy(result->data, found.data(), found.size());
    result->size = static_cast<uint32_t>(found.size());
    return result;
    });
}

// ---------------------------------------------------------------------------
// Modify

int QLTP_tpdb_obj_modify(const char* object_path, const char* name, const char* db_path, const char* out_path) {
    try {
        return modify(object_path, name, db_path, out_path);
    } catch (...) {
        return QLTP_TPDBTOOL_MALFORMED;  // no memory for the texts; nothing was created
    }
}
