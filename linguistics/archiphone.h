#pragma once
// Archiphones: phones with an upper-case name at a word's start or end whose
// value depends on the neighbouring word. Rules map keys to replacements
// (phone names joined by '_', "0" deletes the archiphone). Lookup keys:
//
//   word-final:   [arch]["(" word ")"]["[" POS "]"] "+" [next first phone]["(" next word ")"]["[" next POS "]"]
//   word-initial: [previous last phone]["(" previous word ")"]["[" previous POS "]"] "-" [arch]["(" word ")"]["[" POS "]"]
//
// and the longest matching form wins. Every key is also tried as a pattern
// over the neighbouring tokens: "(" norms ")", "[" POSes "]", "|" phones "|",
// '^' negating a condition, '+' and '-' stepping to the next token; a
// pattern that holds replaces the phones it matched in this token. '?' in a
// phone sequence stands for a run of phone characters; matching costs the
// phonemes' length times the sequence's, however many '?' it holds. A
// replacement that leaves an archiphone starts the scan again at the first
// key. A one-phone archiphone (both the first and the last phone) is
// replaced once, by the word-final rules.

#include <cstdint>
#include <string>
#include <vector>

struct channel;
struct dystr;
struct hashstrarray;
struct tpdb;
struct voidparray;

// Database kind TPOBJ_ARCHIS: the rule map
void* QLTP_tpobj_archis_load(tpdb* db, int32_t offset);
int QLTP_tpobj_archis_pstload(tpdb* db, void* object);
void QLTP_tpobj_archis_delete(void* object);
int32_t QLTP_tpobj_archis_write(void* object, char* destination, int swap);

// The number of '-' of a key outside () and [] (where its positions start).
int _getwcor(const char* key, int len);

// The stage. The previous token's values carry across calls of one stream.
struct archiphone {
    const char* name;
    channel* ch;
    int state;
    dystr* work1;
    dystr* work2;
    voidparray* input;
    voidparray* output;
    std::string prev_pos;
    std::string prev_norm;
    std::string prev_phonemes;
    std::string result;
    dystr* trace;
    const hashstrarray* rules;
    // The keys the pattern scan tries: those that can match phones or must
    // be reported as malformed, in map order.
    std::vector<int> pattern_keys;
    int match_all_phones;
};

archiphone* QLTP_archiphone_new(channel* ch);
void QLTP_archiphone_reset(archiphone* stage, channel* ch);
void QLTP_archiphone_reset_tpdb(archiphone* stage, channel* ch);
void QLTP_archiphone_delete(archiphone* stage);
// Takes an array of toxspurt* and gives the stage's own output array.
voidparray* QLTP_archiphone_process(archiphone* stage, voidparray* spurts, int final);
