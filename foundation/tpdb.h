// The text-processing database: one file of named objects
// "TPOBJ_<KIND>:<NAME>" (rule sets, dictionaries, lexicons, configuration ...).
//
// File layout, every integer 32-bit in the writer's byte order:
//   0   25  magic "QUORLANE TPDATABASE v 1.0" (no NUL)
//   25  4   byte-order word: the writer's little-endian flag (1 or 0)
//   29  4   H, size of the header text; then the header text
//   33+H    the objects, each a 4-byte size S and S bytes of the kind's format
//   ..  4   size of the index text; then the index text
// Header and index texts: a line with the decimal line count N, then N lines
// "<key> = <value>\n". The index maps each object name to the decimal file
// offset of its size word; the index offset is START_SIZE + H + 4 +
// MAINDB_SIZE, computed from the header.
#pragma once

#include <cstdint>
#include <cstdio>

#include "foundation/config.h"
#include "foundation/logger.h"
#include "foundation/serial.h"
#include "foundation/strarray.h"
#include "foundation/strmap.h"
#include "foundation/tpdb_kinds.h"
#include "foundation/voidparray.h"

inline constexpr char TPDBNAME[] = "QUORLANE TPDATABASE v 1.0";
inline constexpr int32_t TPDBNAME_SIZE = 25;
inline constexpr int32_t START_SIZE = 29;

// The TPOBJ_HEADER object.
struct header {
  char* name;      // "TPOBJ_HEADER", owned
  tpdb* db;        // the owning database
  str2str* map;    // header lines
  int32_t size;    // header text size in bytes
};

struct tpdb {
  header* hdr;                    // none until read or a value is set
  str2str* index;                 // object name -> decimal offset
  strarray* tpdata;               // name prefixes of the objects to load
  strarray* names;                // one per loaded object, in load order
  voidparray* objects;            // parallel to names
  strarray* retired_names;        // objects taken out of the lists, made on first use
  voidparray* retired;            // parallel; freed with the database
  voidparray* serial_buffers;     // queued fixedbuf images, made on first use
  strarray* serial_names;         // parallel to serial_buffers
  configsettings* settings;       // owned
  logger* log;                    // "TPDB", owned
  FILE* file;                     // open only while loading
  int32_t file_size;
  int32_t opened;                 // 1 after a successful open
  int32_t littleendian;           // host byte order
  int32_t swap;                   // file byte order differs from the host's
  char* custom_abbreviations;     // setting ("normalise", "custom_abbreviations")
  char* custom_lexicon;           // setting ("pronounce", "custom_lexicon")
  int32_t has_override;           // the settings have an override layer
};

// Create and free
tpdb* QLTP_tpdb_new(const char* config_path);
void QLTP_tpdb_delete(tpdb* db);
configsettings* QLTP_tpdb_config_settings(const char* path);

// Open and load a file; keep also queues every object's image for rewriting
int QLTP_tpdb_load(tpdb* db, const char* path);
int QLTP_tpdb_load_tomodify(tpdb* db, const char* path, int keep);
void* QLTP_tpdb_deserialise_object(tpdb* db, const char* name);
int QLTP_tpdb_deserialise_object_fixedbuf(tpdb* db, const char* name);
void* QLTP_tpdb_load_custom_abbrev(logger* log, const char* path);
void* QLTP_tpdb_load_custom_lexicon(logger* log, const char* path);

// File access for the kinds' load operations (offset 0: current position)
int32_t QLTP_read_int(tpdb* db, int32_t offset);
char* QLTP_read_chars(tpdb* db, int32_t n, int32_t offset);
// The object whose size word is at offset as a stream over a copy of its
// bytes, so that a kind's reader cannot read past the object; close it with
// fclose and free *bytes with QLTP_free. NULL for an empty object.
FILE* QLTP_tpdb_object_stream(tpdb* db, int32_t offset, char** bytes);
// Reads the object whose size word is at offset with `read` (over a stream of
// the object's bytes, in the file's byte order). The object is kept only when the
// reader used exactly the object's bytes; otherwise it is freed with `del`,
// code 13 "Corrupted object" is logged with the kind as detail, and NULL given.
void* QLTP_tpdb_read_object(tpdb* db, int32_t offset, const char* kind, void* (*read)(FILE* file, int swap),
                            void (*del)(void* object));
// Kinds stored as text: the object's bytes with a NUL added, handed to
// parse; what parse gives, or NULL when the bytes cannot be read.
void* QLTP_tpdb_read_text_object(tpdb* db, int32_t offset, void* (*parse)(const char* text));
// Several kinds store one string map (`hashstrarray`); the shared halves of
// their load, delete and write operations.
void* QLTP_tpdb_read_strmap(tpdb* db, int32_t offset, const char* kind);
void QLTP_tpobj_strmap_delete(void* object);
int32_t QLTP_tpobj_strmap_write(void* object, char* destination, int swap);

// Objects and header values. Replacing an object: append the new one (on
// failure it is freed and 0 given) and take the old one out of the lists;
// the old one stays alive, retired, until the database is freed, since
// channels may still borrow it. Retiring gives 1 when an object of exactly
// that name was found: the last one, as QLTP_tpdb_get_tpdata finds it, or
// the given object when it is not NULL.
void* QLTP_tpdb_get_tpdata(const tpdb* db, const char* name);
int QLTP_tpdb_append_object(tpdb* db, const char* name, void* object);
int QLTP_tpdb_retire_object(tpdb* db, const char* name, const void* object = nullptr);
const char* QLTP_tpdb_header_val(const tpdb* db, const char* key, int len);
int QLTP_tpdb_header_setval(tpdb* db, const char* key, int klen, const char* value, int vlen);
int QLTP_tpdb_log_index(tpdb* db);
// Over the last object of a name: the expansion of an abbreviation in
// "TPOBJ_ABBREV:DEFAULT" (*fullstop set from its entry), NULL without one.
const char* QLTP_tpdb_lookup_abbrev(const tpdb* db, const char* key, int len, int* fullstop);
int QLTP_tpdb_write_abbrev(tpdb* db, const char* path);
int QLTP_tpdb_write_system_lexicon(tpdb* db, const char* path);

// Serialisation queue and writing
int QLTP_tpobj_serialisequeue(tpdb* db, QLTP_fixedbuf* buffer, const char* name);
int QLTP_tpobj_serialisedequeue(tpdb* db, const char* name);
void QLTP_tpdb_serial_clear(tpdb* db);
int QLTP_tpdb_write_serial(tpdb* db, const char* path);

// Header and index texts
int32_t QLTP_strarraydict_read(FILE* file, str2str** out, int swap, char* line);
str2str* QLTP_deserialise_dictionary(const char* text);
int64_t QLTP_header_index_offset(const header* hdr);
int32_t QLTP_record_start();
// The writer's little-endian flag (1 or 0) from the four bytes of the
// byte-order word at offset 25; -1 when they are neither.
int QLTP_tpdb_order_flag(const unsigned char word[4]);

// The header and index kinds
void* QLTP_tpobj_header_load(tpdb* db, int32_t offset);
void QLTP_tpobj_header_delete(void* hdr);
void* QLTP_tpobj_index_load(tpdb* db, int32_t offset);
void QLTP_tpobj_index_delete(void* index);
