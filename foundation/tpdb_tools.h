// Tools on database files: inspect and edit a database file (see tpdb.h) at
// the level of its header, index and raw object records, without loading any
// object. Objects are named by their whole index key ("TPOBJ_LEXHASH:EN").
//
// Every header size, MAINDB_SIZE, index size, object offset and size word is
// checked against the file before it is used; no tool leaves an output file
// behind when it fails. Only QLTP_tpdb_obj_modify prints (to standard error).
#pragma once

#include <cstdint>
#include <cstdio>

#include "foundation/serial.h"

// Result codes of the tools.
enum : int {
    QLTP_TPDBTOOL_OK = 0,
    QLTP_TPDBTOOL_CANT_OPEN = 1,         // database not opened; modify: also a bad object name
    QLTP_TPDBTOOL_CANT_CREATE = 2,       // modify: output not created, or it is the database
    QLTP_TPDBTOOL_NO_OBJECT_FILE = 3,    // modify: new object's file not opened
    QLTP_TPDBTOOL_CANT_EXTRACT = 4,      // extract: output not created, or it is the database
    QLTP_TPDBTOOL_NOT_TPDB = 5,          // first 25 bytes are not the magic
    QLTP_TPDBTOOL_NOTHING_TO_DO = 6,     // modify: removing an object that is not there
    QLTP_TPDBTOOL_BYTE_ORDER = 7,        // the file is of the other byte order
    QLTP_TPDBTOOL_SHORT_READ = 8,        // input ended early; modify: major version not 5
    QLTP_TPDBTOOL_SHORT_WRITE = 9,       // a write or close failed
    QLTP_TPDBTOOL_NOT_IN_INDEX = 10,     // the object is not in the index
    QLTP_TPDBTOOL_MALFORMED = 11,        // header or index malformed, or pointing outside the file
};

// Objects by database path (a file of the other byte order gives 7)
int QLTP_tpdb_obj_extract(const char* db_path, const char* name, const char* out_path);
QLTP_fixedbuf* QLTP_tpdb_obj_extract_fixedbuf(const char* db_path, const char* name);
int QLTP_tpdb_has_obj(const char* db_path, const char* name);
// The open database positioned at the object's size word; the caller closes it
FILE* QLTP_tpdb_io_fp(const char* db_path, const char* name);

// Objects in a file the caller opened (either byte order): the offset of the
// object's size word (0 when missing), or the file sought there (NULL when missing)
int32_t QLTP_tpdb_io_offset(FILE* file, const char* name);
FILE* QLTP_tpdb_io_fpseek(FILE* file, const char* name);

// Header and index texts, and a search of the index (either byte order).
// The search lists "<kind>:<name>" plus a NUL for every object whose kind
// part contains `kind` and whose name part contains each name pattern (an
// empty or absent pattern matches everything).
QLTP_fixedbuf* QLTP_tpdb_io_get_header(const char* db_path);
QLTP_fixedbuf* QLTP_tpdb_io_get_index(const char* db_path);
QLTP_fixedbuf* QLTP_tpdb_io_search(const char* db_path, const char* kind, const char* name1, const char* name2,
                                   const char* name3, const char* name4);

// Writes a copy of the database with the object replaced by the content of
// `object_path` (or added when it is not there), or removed when
// `object_path` is NULL.
int QLTP_tpdb_obj_modify(const char* object_path, const char* name, const char* db_path, const char* out_path);
