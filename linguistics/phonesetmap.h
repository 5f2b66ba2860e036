// Phone-set maps: phone names of the voice's phone set to integers (viseme
// numbers, phone ids of outside speech interfaces). A map is read from a
// text object of the database ("TPOBJ_PHONESETMAP:<name>") or taken from one
// of four built-in tables: "SAPI_VISEMES", "DISNEY_VISEMES", "SAPI_PHONEIDS"
// and "MAC_PHONEIDS". Phones get ids 1..count in the order they are read;
// id 0 stands for an unknown phone, whose value is -1.
#pragma once

#include <cstdint>

struct dict;
struct dystr;
struct intarray;
struct tpdb;

struct phonesetmap {
    char* name;        // NULL when not given
    char* version;
    char* valtype;
    dict* phones;      // phone name to id
    intarray* values;  // by id; index 0 holds -1
    int count;
};

// Create and free. new reads the text form (len < 0: up to the NUL) and
// gives NULL for an invalid text; new_default gives a built-in map by name
// (ASCII case ignored), NULL for other names. Counts and values are the
// decimal number a field begins with ("12x" is 12). A line that cannot be
// read (a key without a value, no number where one is needed, a phone line
// of fewer than three fields) is refused and the rest is read; a refused
// phone line still counts among the announced ones. A text is invalid when
// its announced phone lines are not all there, a phone comes twice, a second
// count or one below 1 is given, or no phone was read.
phonesetmap* QLTP_phonesetmap_new(const char* text, int len);
phonesetmap* QLTP_phonesetmap_new_default(const char* name);
void QLTP_phonesetmap_delete(phonesetmap* map);

// The stored map of that name, else the built-in one; NULL without a
// database. Refused lines and a stored map that is invalid are logged on
// the database's logger (code 15). The caller owns the result.
phonesetmap* QLTP_tpdb_get_phonesetmapping(tpdb* db, const char* name);

// Queries (phone len < 0: up to the NUL). lookup gives -1 for an unknown
// phone; phone_idx and val_idx take ids 0..count.
int QLTP_phonesetmap_lookup(const phonesetmap* map, const char* phone, int len);
const char* QLTP_phonesetmap_phone_idx(const phonesetmap* map, int i);
int QLTP_phonesetmap_val_idx(const phonesetmap* map, int i);
int QLTP_phonesetmap_sz(const phonesetmap* map);

// Printing: a listing, the same to standard output, and one line of JSON.
void QLTP_phonesetmap_print(const phonesetmap* map, dystr* out);
void QLTP_phonesetmap_printf(const phonesetmap* map);
void QLTP_phonesetmap_printl(const phonesetmap* map, dystr* out);

// Database kind: the object is the map's text, stored with its NUL.
void* QLTP_tpobj_phonesetmap_load(tpdb* db, int32_t offset);
int QLTP_tpobj_phonesetmap_pstload(tpdb* db, void* object);
void QLTP_tpobj_phonesetmap_delete(void* object);
int32_t QLTP_tpobj_phonesetmap_write(void* text, char* destination, int swap);
