#include "foundation/tpdb.h"

#include <sys/types.h>

#include <climits>
#include <cstring>
#include <string>
#include <string_view>

#include "foundation/strutil.h"

namespace {

constexpr char kHeaderName[] = "TPOBJ_HEADER:";
constexpr char kIndexName[] = "TPOBJ_INDEX:";
constexpr char kCorrupt[] = "Corrupted tpdb file";
// A reader takes each header and index line with at most this many bytes.
constexpr int64_t kMaxLine = 255;
// An index line holds a name, " = ", an offset of up to 10 digits and "\n".
constexpr int64_t kMaxNameLen = kMaxLine - 3 - 10 - 1;

void report(tpdb* db, int code, const char* message, const char* detail) {
  if (db) QLTP_logger_set_error(db->log, code, message, detail ? detail : "");
}

bool is_space(char c) { return QLTP_is_whitespace(c) != 0; }

// Whether a key or name survives being written as the first field of a line
// and read back: not empty, no white space, no NUL.
bool readable_field(std::string_view s, bool may_be_empty) {
  if (s.empty()) return may_be_empty;
  for (char c : s)
    if (c == '\0' || is_space(c)) return false;
  return true;
}

// A header line "key = value" that a reader takes back whole.
bool readable_line(std::string_view key, std::string_view value) {
  return readable_field(key, false) && readable_field(value, true) &&
         static_cast<int64_t>(key.size() + 3 + value.size() + 1) <= kMaxLine;
}

std::string_view view(const char* s, int len) {
  if (!s) return {};
  return len < 0 ? std::string_view(s) : std::string_view(s, QLTP_strnlen(s, len));
}

// Strict decimal: an optional '-' and 1 to 18 digits, nothing else.
bool parse_decimal(std::string_view s, int64_t* out) {
  bool negative = !s.empty() && s.front() == '-';
  if (negative) s.remove_prefix(1);
  if (s.empty() || s.size() > 18) return false;
  int64_t v = 0;
  for (char c : s) {
    if (c < '0' || c > '9') return false;
    v = v * 10 + (c - '0');
  }
  *out = negative ? -v : v;
  return true;
}

std::string decimal(int64_t v) { return std::to_string(v); }

int64_t file_tell(FILE* f) { return static_cast<int64_t>(ftello(f)); }
bool file_seek(FILE* f, int64_t offset) { return fseeko(f, static_cast<off_t>(offset), SEEK_SET) == 0; }

// Reads the 32-bit word at offset when its four bytes lie inside the file.
bool read_word_at(tpdb* db, int64_t offset, int32_t* out) {
  if (!db->file || offset < 0 || offset + 4 > db->file_size) return false;
  if (!file_seek(db->file, offset)) return false;
  return QLTP_int_read(db->file, out, 1, db->swap) == 1;
}

// One line of a header or index text, never reading more than `limit` bytes.
bool read_line(FILE* f, int64_t& limit, int64_t& consumed, std::string& line) {
  line.clear();
  while (limit > 0) {
    int c = std::getc(f);
    if (c == EOF) break;
    --limit;
    ++consumed;
    if (c == '\n') return true;
    line.push_back(static_cast<char>(c));
  }
  return !line.empty();  // a last line without its line feed
}

std::string_view field(const std::string& line, int n) {
  int flen = 0;
  const char* p = QLTP_strfield(line.data(), static_cast<int>(line.size()), n, &flen);
  return p ? std::string_view(p, static_cast<size_t>(flen)) : std::string_view();
}

// Reads a header or index text of at most `limit` bytes: the line count, then
// that many lines of which the first field is the key and the third the
// value. Gives the bytes taken, or -1 when the text is shorter than its count
// says or the count is not a number.
int64_t read_text_map(FILE* f, int64_t limit, str2str** out) {
  *out = nullptr;
  if (limit > INT32_MAX) limit = INT32_MAX;
  int64_t consumed = 0;
  std::string line;
  if (!read_line(f, limit, consumed, line)) return -1;
  int64_t count = 0;
  if (!parse_decimal(field(line, 0), &count) || count < 0) return -1;
  str2str* map = QLTP_strarray_new();
  if (!map) return -1;
  for (int64_t i = 0; i < count; ++i) {
    if (!read_line(f, limit, consumed, line)) {
      QLTP_strarray_delete(map);
      return -1;
    }
    std::string_view key = field(line, 0), value = field(line, 2);
    if (!QLTP_str2str_add(map, key.empty() ? "" : key.data(), static_cast<int>(key.size()),
                          value.empty() ? "" : value.data(), static_cast<int>(value.size()))) {
      QLTP_strarray_delete(map);
      return -1;
    }
  }
  *out = map;
  return consumed;
}

// The text form of a map: "N\n" then "key = value\n" per pair.
std::string map_text(const str2str* map) {
  int n = QLTP_str2str_nrkeys(map);
  std::string text = decimal(n) + "\n";
  for (int k = 0; k < n; ++k) {
    text += QLTP_str2str_key(map, k);
    text += " = ";
    text += QLTP_str2str_val(map, k);
    text += '\n';
  }
  return text;
}

header* header_new(tpdb* db) {
  auto* hdr = static_cast<header*>(QLTP_malloc(sizeof(header)));
  if (!hdr) return nullptr;
  hdr->name = QLTP_strndup("TPOBJ_HEADER", -1);
  hdr->db = db;
  hdr->map = QLTP_strarray_new();
  if (!hdr->name || !hdr->map) {
    QLTP_tpobj_header_delete(hdr);
    return nullptr;
  }
  return hdr;
}

// Objects lie between the end of the header text and the index.
int64_t objects_start(const tpdb* db) { return int64_t{START_SIZE} + 4 + (db->hdr ? db->hdr->size : 0); }

// Checks the record at offset and gives its size, reporting what is wrong.
bool check_record(tpdb* db, int64_t offset, int64_t end, int32_t* size) {
  if (offset < objects_start(db)) {
    report(db, QLTP_ERROR_CORRUPT_FILE, kCorrupt, "TPOBJ index before first object");
    return false;
  }
  if (offset + 4 > end) {
    report(db, QLTP_ERROR_CORRUPT_FILE, kCorrupt, "TPOBJ index beyond end of file");
    return false;
  }
  if (!read_word_at(db, offset, size) || *size < 0 || offset + 4 + *size > end) {
    report(db, QLTP_ERROR_CORRUPT_FILE, kCorrupt, "TPOBJ size beyond end of file");
    return false;
  }
  return true;
}

// The offset an index value names: 0 for none, -1 for text that is no number.
int64_t index_value_offset(const char* value) {
  if (!value) return 0;
  int64_t offset = 0;
  return parse_decimal(value, &offset) ? offset : -1;
}

// Loads the object `name` whose size word is at `offset`.
void* load_object(tpdb* db, const char* name, int64_t offset) {
  if (!db->file) return nullptr;
  if (offset == 0) {
    report(db, QLTP_ERROR_INVALID_OBJECT, "Can't find object", name);
    return nullptr;
  }
  bool is_header = std::strcmp(name, kHeaderName) == 0;
  bool is_index = std::strcmp(name, kIndexName) == 0;
  if (is_header || is_index) {
    // Their load operations check their own size words.
    if (offset < START_SIZE || (is_index && offset < objects_start(db))) {
      report(db, QLTP_ERROR_CORRUPT_FILE, kCorrupt, "TPOBJ index before first object");
      return nullptr;
    }
    if (offset > db->file_size) {
      report(db, QLTP_ERROR_CORRUPT_FILE, kCorrupt, "TPOBJ index beyond end of file");
      return nullptr;
    }
  } else {
    int32_t size = 0;
    if (!check_record(db, offset, QLTP_header_index_offset(db->hdr), &size)) return nullptr;
  }
  int slot = QLTP_tpobj_kind_of(name, -1);
  QLTP_tpobj_load_fn load = slot < 0 ? nullptr : QLTP_TPOBJ_LOAD[slot];
  if (!load) {
    report(db, QLTP_ERROR_INVALID_OBJECT, "Can't find io load for object", name);
    return nullptr;
  }
  return load(db, static_cast<int32_t>(offset));
}

void delete_object(const char* name, void* object) {
  if (!object) return;
  int slot = QLTP_tpobj_kind_of(name, -1);
  if (slot >= 0 && QLTP_TPOBJ_DELETE[slot]) QLTP_TPOBJ_DELETE[slot](object);
}

// Appends a loaded object; on failure frees it.
bool append_object(tpdb* db, const char* name, void* object) {
  if (!QLTP_strarray_add(db->names, name, -1)) {
    delete_object(name, object);
    return false;
  }
  if (!QLTP_voidparray_add(db->objects, object)) {
    QLTP_strarray_remove_item(db->names, QLTP_strarray_sz(db->names) - 1);
    delete_object(name, object);
    return false;
  }
  return true;
}

bool ensure_queue(tpdb* db) {
  if (!db->serial_buffers) db->serial_buffers = QLTP_voidparray_new();
  if (!db->serial_names) db->serial_names = QLTP_strarray_new();
  return db->serial_buffers && db->serial_names;
}

// Queues the raw image of the record at offset; 1, or 0 with a report.
int queue_image(tpdb* db, const char* name, int64_t offset) {
  if (offset == 0) {
    report(db, QLTP_ERROR_INVALID_OBJECT, "Can't find object", name);
    return 0;
  }
  int32_t size = 0;
  if (!check_record(db, offset, QLTP_header_index_offset(db->hdr), &size)) return 0;
  QLTP_fixedbuf* image = QLTP_fixedbuf_new(static_cast<uint32_t>(size));
  if (!image) return 0;
  if (size > 0 && QLTP_fread(image->data, 1, static_cast<size_t>(size), db->file) != static_cast<size_t>(size)) {
    QLTP_fixedbuf_delete(image);
    report(db, QLTP_ERROR_CORRUPT_FILE, kCorrupt, "TPOBJ size beyond end of file");
    return 0;
  }
  if (!QLTP_tpobj_serialisequeue(db, image, name)) {
    QLTP_fixedbuf_delete(image);
    return 0;
  }
  return 1;
}

struct settings_layers {
  configsettings* settings = nullptr;
  bool has_override = false;
};

config* default_config() {
  config* defaults = QLTP_config_new("dbconfig", -1);
  if (defaults) QLTP_config_loads(defaults, TPDB_DEFAULT_CONFIG);
  return defaults;
}

settings_layers make_settings(const char* path) {
  settings_layers out;
  config* defaults = default_config();
  if (!defaults) return out;
  config* user = nullptr;
  if (path) {
    user = QLTP_config_new("dbconfig", -1);
    if (user && !QLTP_config_loadf(user, path)) {
      QLTP_config_delete(user);
      user = nullptr;
    }
  }
  // The settings own both layers, and free them when they cannot be built.
  out.settings = QLTP_configsettings_new(defaults, user);
  out.has_override = user != nullptr;
  return out;
}

char* setting_copy(const configsettings* s, const char* section, const char* key) {
  const char* v = QLTP_configsettings_lookup(s, section, -1, key, -1);
  return v ? QLTP_strndup(v, -1) : nullptr;
}

// Installs the text of the database's "TPOBJ_CONFIG:DEFAULT" object as the
// settings' override layer when there is none.
void install_config_object(tpdb* db) {
  if (db->has_override) return;
  auto* text = static_cast<const char*>(QLTP_tpdb_get_tpdata(db, "TPOBJ_CONFIG:DEFAULT"));
  if (!text) return;
  config* user = QLTP_config_new("dbconfig", -1);
  config* defaults = default_config();
  if (!user || !defaults || !QLTP_config_load(user, text, static_cast<int>(std::strlen(text)))) {
    QLTP_config_delete(user);
    QLTP_config_delete(defaults);
    return;
  }
  // The settings own both layers, and free them when they cannot be built.
  configsettings* settings = QLTP_configsettings_new(defaults, user);
  if (!settings) return;
  QLTP_configsettings_delete(db->settings);
  db->settings = settings;
  db->has_override = 1;
}

void drop_header_and_index(tpdb* db) {
  QLTP_tpobj_header_delete(db->hdr);
  db->hdr = nullptr;
  QLTP_strarray_delete(db->index);
  db->index = nullptr;
}

void close_file(tpdb* db) {
  if (db->file) std::fclose(db->file);
  db->file = nullptr;
}

// The first half of loading: file, size, magic, byte order, header, index,
// version. On failure nothing of the file is kept.
bool open_file(tpdb* db, const char* path) {
  close_file(db);
  drop_header_and_index(db);
  db->opened = 0;
  if (!path) return false;
  db->file = std::fopen(path, "rb");
  if (!db->file) {
    report(db, QLTP_ERROR_TPDB_OPEN_READ, "Can't open file", path);
    return false;
  }
  auto fail = [&](const char* message) {
    if (message) report(db, QLTP_ERROR_TPDB_OPEN_READ, message, path);
    close_file(db);
    drop_header_and_index(db);
    return false;
  };
  int64_t size = -1;
  if (fseeko(db->file, 0, SEEK_END) == 0) size = file_tell(db->file);
  if (size < START_SIZE || size > INT32_MAX || !file_seek(db->file, 0))
    return fail("Corrupted file or not a quorlane tpdb file");
  db->file_size = static_cast<int32_t>(size);

  char magic[TPDBNAME_SIZE];
  if (QLTP_fread(magic, 1, sizeof magic, db->file) != sizeof magic ||
      std::memcmp(magic, TPDBNAME, sizeof magic) != 0)
    return fail("Not a quorlane tpdb file");

  unsigned char order[4];
  if (QLTP_fread(order, 1, 4, db->file) != 4) return fail("Corrupted file or not a quorlane tpdb file");
  int file_littleendian = QLTP_tpdb_order_flag(order);
  if (file_littleendian < 0) return fail("Corrupted file or not a quorlane tpdb file");
  db->swap = file_littleendian != db->littleendian;
  if (db->swap)
    report(db, QLTP_ERROR_ENDIANESS, "System littleendian (1-True 0-False)",
           decimal(db->littleendian).c_str());

  db->hdr = static_cast<header*>(QLTP_tpdb_deserialise_object(db, kHeaderName));
  if (!db->hdr) return fail("failed to load header");
  db->index = static_cast<str2str*>(QLTP_tpdb_deserialise_object(db, kIndexName));
  if (!db->index) return fail("failed to load index");

  uint32_t major = 0, minor = 0, revision = 0;
  QLTP_ver_atoi(QLTP_tpdb_header_val(db, QLTP_MAJOR_VERSION_STR, -1),
                QLTP_tpdb_header_val(db, QLTP_MINOR_VERSION_STR, -1),
                QLTP_tpdb_header_val(db, QLTP_REVISION_NUMBER_STR, -1), &major, &minor, &revision);
  switch (QLTP_vercmpcur(major, minor, revision)) {
    case 3:
      return fail("qorltp major version is older than tpdb");
    case 2:
      report(db, QLTP_ERROR_TPDB_READ_WARNINGS, "qorltp minor version is older than tpdb", path);
      break;
    case 1:
      report(db, QLTP_ERROR_TPDB_READ_WARNINGS, "qorltp revision number is older than tpdb", path);
      break;
    default:
      break;
  }
  db->opened = 1;
  return true;
}

void* load_custom(logger* log, const char* path, int slot, const char* missing, const char* name) {
  if (!path) return nullptr;
  FILE* f = std::fopen(path, "rb");
  if (!f) {
    QLTP_logger_set_error(log, QLTP_ERROR_MISSING_FILE, missing, path);
    return nullptr;
  }
  void* object = nullptr;
  if (QLTP_TPOBJ_LOADCUSTOM[slot] && QLTP_TPOBJ_DELETE[slot])
    object = QLTP_TPOBJ_LOADCUSTOM[slot](f, -1);
  else
    QLTP_logger_set_error(log, QLTP_ERROR_INVALID_OBJECT, "Can't find io load for object", name);
  std::fclose(f);
  return object;
}

void add_custom(tpdb* db, void* object, const char* message, const char* path, const char* name) {
  if (!object) return;
  report(db, QLTP_MESSAGE_INFO, message, path);
  append_object(db, name, object);
}

int write_text(tpdb* db, const char* name, const char* path) {
  void* object = QLTP_tpdb_get_tpdata(db, name);
  if (!object || !path) return 0;
  int slot = QLTP_tpobj_kind_of(name, -1);
  if (!QLTP_TPOBJ_WRITETXT[slot]) {
    report(db, QLTP_ERROR_INVALID_OBJECT, "Can't find io write for object", name);
    return 0;
  }
  return QLTP_TPOBJ_WRITETXT[slot](object, path) ? 1 : 0;
}

bool write_all(FILE* f, const void* data, size_t n) { return n == 0 || std::fwrite(data, 1, n, f) == n; }

bool write_word(FILE* f, int32_t v) { return write_all(f, &v, sizeof v); }

}  // namespace

// ---------------------------------------------------------------------------
// Create and free

configsettings* QLTP_tpdb_config_settings(const char* path) { return make_settings(path).settings; }

tpdb* QLTP_tpdb_new(const char* config_path) {
  auto* db = static_cast<tpdb*>(QLTP_malloc(sizeof(tpdb)));
  if (!db) return nullptr;
  db->littleendian = QLTP_littleendian();
  settings_layers layers = make_settings(config_path);
  db->settings = layers.settings;
  db->has_override = layers.has_override;
  db->log = QLTP_logger_new("TPDB", 4, db->settings);
  if (!db->settings || !db->log) {
    QLTP_tpdb_delete(db);
    return nullptr;
  }
  if (config_path && !QLTP_fileexists(config_path))
    report(db, QLTP_ERROR_MISSING_FILE, "tpdb config does not exist", config_path);
  const char* tpdata = QLTP_configsettings_lookup(db->settings, "general", -1, "tpdata", -1);
  db->tpdata = tpdata ? QLTP_strarray_split_ws(tpdata, static_cast<int>(std::strlen(tpdata)))
                      : QLTP_strarray_new();
  db->custom_abbreviations = setting_copy(db->settings, "normalise", "custom_abbreviations");
  db->custom_lexicon = setting_copy(db->settings, "pronounce", "custom_lexicon");
  db->names = QLTP_strarray_new();
  db->objects = QLTP_voidparray_new();
  if (!db->tpdata || !db->names || !db->objects) {
    QLTP_tpdb_delete(db);
    return nullptr;
  }
  return db;
}

void QLTP_tpdb_delete(tpdb* db) {
  if (!db) return;
  close_file(db);
  drop_header_and_index(db);
  QLTP_configsettings_delete(db->settings);
  QLTP_logger_delete(db->log);
  QLTP_strarray_delete(db->tpdata);
  int n = QLTP_voidparray_sz(db->objects);
  for (int i = 0; i < n; ++i)
    delete_object(QLTP_strarray_idx(db->names, i), QLTP_voidparray_idx(db->objects, i));
  QLTP_strarray_delete(db->names);
  QLTP_voidparray_delete(db->objects);
  n = QLTP_voidparray_sz(db->retired);
  for (int i = 0; i < n; ++i)
    delete_object(QLTP_strarray_idx(db->retired_names, i), QLTP_voidparray_idx(db->retired, i));
  QLTP_strarray_delete(db->retired_names);
  QLTP_voidparray_delete(db->retired);
  QLTP_tpdb_serial_clear(db);
  QLTP_voidparray_delete(db->serial_buffers);
  QLTP_strarray_delete(db->serial_names);
  QLTP_free(db->custom_abbreviations);
  QLTP_free(db->custom_lexicon);
  QLTP_free(db);
}

// ---------------------------------------------------------------------------
// Loading

int QLTP_tpdb_load(tpdb* db, const char* path) { return QLTP_tpdb_load_tomodify(db, path, 0); }

int QLTP_tpdb_load_tomodify(tpdb* db, const char* path, int keep) {
  if (!db || !open_file(db, path)) return 0;
  if (keep && db->swap) {
    // Images are kept byte for byte and rewritten under this host's flag.
    report(db, QLTP_ERROR_TPDB_OPEN_READ, "Can't keep objects of a tpdb file of the other byte order",
           path);
    close_file(db);
    drop_header_and_index(db);
    db->opened = 0;
    return 0;
  }
  int entries = QLTP_str2str_nrkeys(db->index);
  QLTP_strarray_extend(db->names, entries + 2);
  QLTP_voidparray_extend(db->objects, entries + 2);

  if (keep) {
    for (int i = 0; i < entries; ++i) {
      const char* name = QLTP_str2str_key(db->index, i);
      if (std::strcmp(name, kHeaderName) == 0 || std::strcmp(name, kIndexName) == 0) continue;
      queue_image(db, name, index_value_offset(QLTP_str2str_val(db->index, i)));
    }
  }

  int prefixes = QLTP_strarray_sz(db->tpdata);
  for (int i = 0; i < entries; ++i) {
    const char* name = QLTP_str2str_key(db->index, i);
    // Each entry is read at its own offset, so entries sharing a name give
    // distinct objects.
    int64_t offset = index_value_offset(QLTP_str2str_val(db->index, i));
    for (int p = 0; p < prefixes; ++p) {
      const char* prefix = QLTP_strarray_idx(db->tpdata, p);
      if (std::strncmp(name, prefix, std::strlen(prefix)) != 0) continue;
      void* object = load_object(db, name, offset);
      if (!object) continue;
      report(db, QLTP_MESSAGE_INFO, "Loading", name);
      append_object(db, name, object);
    }
  }
  close_file(db);

  add_custom(db, QLTP_tpdb_load_custom_abbrev(db->log, db->custom_abbreviations),
             "Loading custom abbreviation file", db->custom_abbreviations, "TPOBJ_ABBREV:CUSTOM");
  add_custom(db, QLTP_tpdb_load_custom_lexicon(db->log, db->custom_lexicon), "Loading custom lexicon file",
             db->custom_lexicon, "TPOBJ_LEXHASH:CUSTOM");
  install_config_object(db);

  int n = QLTP_voidparray_sz(db->objects);
  for (int i = 0; i < n; ++i) {
    int slot = QLTP_tpobj_kind_of(QLTP_strarray_idx(db->names, i), -1);
    if (slot >= 0 && QLTP_TPOBJ_PSTLOAD[slot]) QLTP_TPOBJ_PSTLOAD[slot](db, QLTP_voidparray_idx(db->objects, i));
  }
  return 1;
}

void* QLTP_tpdb_deserialise_object(tpdb* db, const char* name) {
  if (!db || !name || !db->file) return nullptr;
  int64_t offset;
  if (std::strcmp(name, kHeaderName) == 0)
    offset = START_SIZE;
  else if (std::strcmp(name, kIndexName) == 0)
    offset = QLTP_header_index_offset(db->hdr);
  else
    offset = index_value_offset(QLTP_str2str_lookup(db->index, name, -1));
  return load_object(db, name, offset);
}

int QLTP_tpdb_deserialise_object_fixedbuf(tpdb* db, const char* name) {
  if (!db || !name || !db->file) return 0;
  if (std::strcmp(name, kHeaderName) == 0 || std::strcmp(name, kIndexName) == 0) return 0;
  return queue_image(db, name, index_value_offset(QLTP_str2str_lookup(db->index, name, -1)));
}

void* QLTP_tpdb_load_custom_abbrev(logger* log, const char* path) {
  return load_custom(log, path, QLTP_TPOBJ_ABBREV, "Custom abbreviation file", "TPOBJ_ABBREV:CUSTOM");
}

void* QLTP_tpdb_load_custom_lexicon(logger* log, const char* path) {
  return load_custom(log, path, QLTP_TPOBJ_LEXHASH, "Custom lexicon file", "TPOBJ_LEXHASH:CUSTOM");
}

int32_t QLTP_read_int(tpdb* db, int32_t offset) {
  if (!db || !db->file || offset < 0) return 0;
  if (offset > 0 && !file_seek(db->file, offset)) return 0;
  int32_t v = 0;
  if (QLTP_int_read(db->file, &v, 1, db->swap) != 1) return 0;
  return v;
}

char* QLTP_read_chars(tpdb* db, int32_t n, int32_t offset) {
  if (!db || !db->file || n < 0 || offset < 0) return nullptr;
  if (offset > 0 && !file_seek(db->file, offset)) return nullptr;
  int64_t at = file_tell(db->file);
  if (at < 0 || at + n > db->file_size) return nullptr;
  auto* text = static_cast<char*>(QLTP_malloc(static_cast<size_t>(n) + 1));
  if (!text) return nullptr;
  if (QLTP_fread(text, 1, static_cast<size_t>(n), db->file) != static_cast<size_t>(n)) {
    QLTP_free(text);
    return nullptr;
  }
  return text;
}

FILE* QLTP_tpdb_object_stream(tpdb* db, int32_t offset, char** bytes) {
  if (!bytes) return nullptr;
  *bytes = nullptr;
  int32_t size = QLTP_read_int(db, offset);
  if (size <= 0 || !(*bytes = QLTP_read_chars(db, size, 0))) return nullptr;
  FILE* f = fmemopen(*bytes, static_cast<size_t>(size), "rb");
  if (!f) {
    QLTP_free(*bytes);
    *bytes = nullptr;
  }
  return f;
}

void* QLTP_tpdb_read_object(tpdb* db, int32_t offset, const char* kind, void* (*read)(FILE* file, int swap),
                            void (*del)(void* object)) {
  if (!db || !read || !del) return nullptr;
  char* bytes = nullptr;
  void* object = nullptr;
  // The reader works on a stream over the object's own bytes, so it cannot
  // run into the next object.
  if (FILE* f = QLTP_tpdb_object_stream(db, offset, &bytes)) {
    object = read(f, db->swap);
    // A reader that stopped short read something other than this object.
    long used = ftell(f);
    fseek(f, 0, SEEK_END);
    if (object && used != ftell(f)) {
      del(object);
      object = nullptr;
    }
    fclose(f);
    QLTP_free(bytes);
  }
  if (!object) report(db, QLTP_ERROR_CORRUPT_FILE, "Corrupted object", kind);
  return object;
}

namespace {

void* read_strmap(FILE* file, int swap) {
  hashstrarray* map = nullptr;
  QLTP_hashstrarray_read(file, &map, swap);
  return map;
}

}  // namespace

void* QLTP_tpdb_read_text_object(tpdb* db, int32_t offset, void* (*parse)(const char* text)) {
  int32_t size = QLTP_read_int(db, offset);
  char* text = QLTP_read_chars(db, size, 0);
  if (!text) return nullptr;
  text[size] = '\0';
  void* object = parse ? parse(text) : nullptr;
  QLTP_free(text);
  return object;
}

void* QLTP_tpdb_read_strmap(tpdb* db, int32_t offset, const char* kind) {
  return QLTP_tpdb_read_object(db, offset, kind, read_strmap, QLTP_tpobj_strmap_delete);
}

void QLTP_tpobj_strmap_delete(void* object) { QLTP_hashstrarray_delete(static_cast<hashstrarray*>(object)); }

int32_t QLTP_tpobj_strmap_write(void* object, char* destination, int swap) {
  auto* map = static_cast<const hashstrarray*>(object);
  uint32_t size = QLTP_hashstrarray_write_sz(map);
  if (size > INT32_MAX) return 0;
  if (!destination) return static_cast<int32_t>(size);
  return size && QLTP_hashstrarray_write(map, destination, swap) ? 1 : 0;
}

// ---------------------------------------------------------------------------
// Objects and header values

void* QLTP_tpdb_get_tpdata(const tpdb* db, const char* name) {
  if (!db || !name) return nullptr;
  for (int i = QLTP_strarray_sz(db->names) - 1; i >= 0; --i)
    if (std::strcmp(QLTP_strarray_idx(db->names, i), name) == 0) return QLTP_voidparray_idx(db->objects, i);
  return nullptr;
}

int QLTP_tpdb_append_object(tpdb* db, const char* name, void* object) {
  if (!db || !name || !object) return 0;
  return append_object(db, name, object) ? 1 : 0;
}

int QLTP_tpdb_retire_object(tpdb* db, const char* name, const void* object) {
  if (!db || !name) return 0;
  int i = QLTP_strarray_sz(db->names) - 1;
  while (i >= 0 && (std::strcmp(QLTP_strarray_idx(db->names, i), name) != 0 ||
                    (object && QLTP_voidparray_idx(db->objects, i) != object)))
    --i;
  if (i < 0) return 0;
  if (!db->retired) db->retired = QLTP_voidparray_new();
  if (!db->retired_names) db->retired_names = QLTP_strarray_new();
  // Room first, so that the object is never in neither list.
  if (!db->retired || !db->retired_names || !QLTP_strarray_add(db->retired_names, name, -1)) return 0;
  if (!QLTP_voidparray_add(db->retired, QLTP_voidparray_idx(db->objects, i))) {
    QLTP_strarray_remove_item(db->retired_names, QLTP_strarray_sz(db->retired_names) - 1);
    return 0;
  }
  QLTP_voidparray_remove_item(db->objects, i);
  QLTP_strarray_remove_item(db->names, i);
  return 1;
}

const char* QLTP_tpdb_header_val(const tpdb* db, const char* key, int len) {
  if (!db || !db->hdr || !key) return nullptr;
  return QLTP_str2str_lookup(db->hdr->map, key, len);
}

int QLTP_tpdb_header_setval(tpdb* db, const char* key, int klen, const char* value, int vlen) {
  if (!db || !key || !value) return 0;
  std::string_view k = view(key, klen), v = view(value, vlen);
  if (!readable_line(k, v)) return 0;
  if (!db->hdr && !(db->hdr = header_new(db))) return 0;
  str2str* map = db->hdr->map;
  int ok;
  if (QLTP_str2str_lookup(map, k.data(), static_cast<int>(k.size())))
    ok = QLTP_str2str_replace_val(map, k.data(), static_cast<int>(k.size()), v.data(), static_cast<int>(v.size()));
  else
    ok = QLTP_str2str_add(map, k.data(), static_cast<int>(k.size()), v.data(), static_cast<int>(v.size()));
  db->hdr->size = static_cast<int32_t>(map_text(map).size());
  return ok;
}

int QLTP_tpdb_log_index(tpdb* db) {
  if (!db || !db->index) return 0;
  int n = QLTP_str2str_nrkeys(db->index);
  for (int i = 0; i < n; ++i) {
    std::string line = std::string(QLTP_str2str_key(db->index, i)) + " = " + QLTP_str2str_val(db->index, i);
    report(db, QLTP_MESSAGE_INFO, "TP object/offset", line.c_str());
  }
  return n;
}

const char* QLTP_tpdb_lookup_abbrev(const tpdb* db, const char* key, int len, int* fullstop) {
  const void* object = QLTP_tpdb_get_tpdata(db, "TPOBJ_ABBREV:DEFAULT");
  QLTP_tpobj_lookup_fn lookup = QLTP_TPOBJ_LOOKUP[QLTP_TPOBJ_ABBREV];
  return object && key && lookup ? lookup(object, key, len, fullstop) : nullptr;
}

int QLTP_tpdb_write_abbrev(tpdb* db, const char* path) { return write_text(db, "TPOBJ_ABBREV:DEFAULT", path); }

int QLTP_tpdb_write_system_lexicon(tpdb* db, const char* path) {
  return write_text(db, "TPOBJ_LEXCOMP:SYSTEM", path);
}

// ---------------------------------------------------------------------------
// Serialisation queue and writing

int QLTP_tpobj_serialisequeue(tpdb* db, QLTP_fixedbuf* buffer, const char* name) {
  if (!db || !buffer || !name) return 0;
  std::string_view n(name);
  if (!readable_field(n, false) || static_cast<int64_t>(n.size()) > kMaxNameLen) {
    report(db, QLTP_ERROR_CRITICAL_WRITE, "Object name cannot be read back", name);
    return 0;
  }
  if (buffer->size > 0 && !buffer->data) return 0;
  if (!ensure_queue(db) || !QLTP_strarray_add(db->serial_names, name, -1)) return 0;
  if (!QLTP_voidparray_add(db->serial_buffers, buffer)) {
    QLTP_strarray_remove_item(db->serial_names, QLTP_strarray_sz(db->serial_names) - 1);
    return 0;
  }
  return 1;
}

int QLTP_tpobj_serialisedequeue(tpdb* db, const char* name) {
  if (!db || !name) return 0;
  int n = QLTP_strarray_sz(db->serial_names);
  for (int i = 0; i < n; ++i) {
    if (std::strcmp(QLTP_strarray_idx(db->serial_names, i), name) != 0) continue;
    QLTP_fixedbuf_delete(static_cast<QLTP_fixedbuf*>(QLTP_voidparray_remove_item(db->serial_buffers, i)));
    QLTP_strarray_remove_item(db->serial_names, i);
    return 1;
  }
  return 0;
}

void QLTP_tpdb_serial_clear(tpdb* db) {
  if (!db) return;
  int n = QLTP_voidparray_sz(db->serial_buffers);
  for (int i = 0; i < n; ++i)
    QLTP_fixedbuf_delete(static_cast<QLTP_fixedbuf*>(QLTP_voidparray_idx(db->serial_buffers, i)));
  QLTP_voidparray_clear(db->serial_buffers);
  QLTP_strarray_clear(db->serial_names);
}

int QLTP_tpdb_write_serial(tpdb* db, const char* path) {
  if (!db || !path) return 0;
  int n = QLTP_strarray_sz(db->serial_names);
  int64_t maindb = 0;
  for (int i = 0; i < n; ++i)
    maindb += 4 + static_cast<const QLTP_fixedbuf*>(QLTP_voidparray_idx(db->serial_buffers, i))->size;
  if (maindb > INT32_MAX) {
    report(db, QLTP_ERROR_CRITICAL_WRITE, "tpdb file too large", path);
    return 0;
  }
  // Header lines read from a file may be longer than a reader takes.
  int lines = db->hdr ? QLTP_str2str_nrkeys(db->hdr->map) : 0;
  for (int k = 0; k < lines; ++k) {
    std::string_view key = QLTP_str2str_key(db->hdr->map, k), value = QLTP_str2str_val(db->hdr->map, k);
    if (!readable_line(key, value)) {
      report(db, QLTP_ERROR_CRITICAL_WRITE, "Header line cannot be read back", QLTP_str2str_key(db->hdr->map, k));
      return 0;
    }
  }
  if (!QLTP_tpdb_header_setval(db, "START_SIZE", -1, "29", -1) ||
      !QLTP_tpdb_header_setval(db, "MAINDB_SIZE", -1, decimal(maindb).c_str(), -1)) {
    report(db, QLTP_ERROR_CRITICAL_WRITE, "Can't set header values", path);
    return 0;
  }
  std::string head = map_text(db->hdr->map);
  int64_t position = int64_t{START_SIZE} + 4 + static_cast<int64_t>(head.size());
  std::string index = decimal(n) + "\n";
  for (int i = 0; i < n; ++i) {
    index += QLTP_strarray_idx(db->serial_names, i);
    index += " = " + decimal(position) + "\n";
    position += 4 + static_cast<const QLTP_fixedbuf*>(QLTP_voidparray_idx(db->serial_buffers, i))->size;
  }
  if (position + 4 + static_cast<int64_t>(index.size()) > INT32_MAX) {
    report(db, QLTP_ERROR_CRITICAL_WRITE, "tpdb file too large", path);
    return 0;
  }

  FILE* f = std::fopen(path, "wb");
  if (!f) {
    report(db, QLTP_ERROR_TPDB_OPEN_WRITE, "Can't create file", path);
    return 0;
  }
  bool ok = write_all(f, TPDBNAME, TPDBNAME_SIZE) && write_word(f, db->littleendian) &&
            write_word(f, static_cast<int32_t>(head.size())) && write_all(f, head.data(), head.size());
  for (int i = 0; ok && i < n; ++i) {
    auto* image = static_cast<const QLTP_fixedbuf*>(QLTP_voidparray_idx(db->serial_buffers, i));
    ok = write_word(f, static_cast<int32_t>(image->size)) && write_all(f, image->data, image->size);
  }
  ok = ok && write_word(f, static_cast<int32_t>(index.size())) && write_all(f, index.data(), index.size());
  if (std::fclose(f) != 0) ok = false;
  if (!ok) {
    report(db, QLTP_ERROR_CRITICAL_WRITE, "Failed to write file", path);
    return 0;
  }
  return 1;
}

// ---------------------------------------------------------------------------
// Header and index texts

int32_t QLTP_strarraydict_read(FILE* file, str2str** out, int /*swap*/, char* /*line*/) {
  if (!out) return 0;
  *out = nullptr;
  if (!file) return 0;
  int64_t used = read_text_map(file, INT32_MAX, out);
  return used < 0 ? 0 : static_cast<int32_t>(used);
}

str2str* QLTP_deserialise_dictionary(const char* text) {
  str2str* map = QLTP_strarray_new();
  if (!map || !text) return map;
  std::string_view rest(text);
  while (!rest.empty()) {
    size_t eol = rest.find('\n');
    std::string_view line = rest.substr(0, eol);
    rest = eol == std::string_view::npos ? std::string_view() : rest.substr(eol + 1);
    size_t eq = line.find(" = ");
    if (eq == std::string_view::npos) continue;
    std::string_view key = line.substr(0, eq), value = line.substr(eq + 3);
    value = value.substr(0, value.find(" = "));
    QLTP_str2str_add(map, key.data(), static_cast<int>(key.size()), value.data(), static_cast<int>(value.size()));
  }
  return map;
}

int64_t QLTP_header_index_offset(const header* hdr) {
  if (!hdr) return -1;
  int64_t start = 0, maindb = 0;
  if (!parse_decimal(view(QLTP_str2str_lookup(hdr->map, "START_SIZE", -1), -1), &start) ||
      !parse_decimal(view(QLTP_str2str_lookup(hdr->map, "MAINDB_SIZE", -1), -1), &maindb))
    return -1;
  return start + hdr->size + 4 + maindb;
}

int32_t QLTP_record_start() { return START_SIZE; }

int QLTP_tpdb_order_flag(const unsigned char word[4]) {
  // The writer stores its own little-endian flag: 1 reads as bytes 01 00 00 00
  // from a little-endian writer and 0 as 00 00 00 00 from a big-endian one.
  if (word[1] != 0 || word[2] != 0 || word[3] != 0 || word[0] > 1) return -1;
  return word[0];
}

// ---------------------------------------------------------------------------
// The header and index kinds

namespace {

// Reads a size word at offset and the text map behind it (the header or the
// index), which must lie inside the file.
str2str* read_sized_map(tpdb* db, int32_t offset, const char* what, int32_t* size) {
  if (!read_word_at(db, offset, size) || *size < 0 || int64_t{offset} + 4 + *size > db->file_size) {
    report(db, QLTP_ERROR_CORRUPT_FILE, kCorrupt, (std::string("end of ") + what + " beyond EOF").c_str());
    return nullptr;
  }
  str2str* map = nullptr;
  if (read_text_map(db->file, *size, &map) < 0) {
    report(db, QLTP_ERROR_CORRUPT_FILE, kCorrupt, (std::string(what) + " text shorter than its line count").c_str());
    return nullptr;
  }
  return map;
}

}  // namespace

void* QLTP_tpobj_header_load(tpdb* db, int32_t offset) {
  if (!db) return nullptr;
  int32_t size = 0;
  str2str* map = read_sized_map(db, offset, "header", &size);
  if (!map) return nullptr;
  header* hdr = header_new(db);
  if (!hdr) {
    QLTP_strarray_delete(map);
    return nullptr;
  }
  QLTP_strarray_delete(hdr->map);
  hdr->map = map;
  hdr->size = size;
  return hdr;
}

void QLTP_tpobj_header_delete(void* object) {
  auto* hdr = static_cast<header*>(object);
  if (!hdr) return;
  QLTP_free(hdr->name);
  QLTP_strarray_delete(hdr->map);
  QLTP_free(hdr);
}

void* QLTP_tpobj_index_load(tpdb* db, int32_t offset) {
  if (!db) return nullptr;
  int32_t size = 0;
  return read_sized_map(db, offset, "index", &size);
}

void QLTP_tpobj_index_delete(void* index) { QLTP_strarray_delete(static_cast<str2str*>(index)); }

// The configuration kind's load operation.
void* QLTP_tpobj_config_load(tpdb* db, int32_t offset) {
  int32_t size = QLTP_read_int(db, offset);
  return QLTP_read_chars(db, size, 0);
}
