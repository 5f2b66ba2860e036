#pragma once
// Accent rules: sets the stress digits of words by language. Japanese voices
// group tokens into accent phrases and give each phrase an accent type with
// three rule sets (COMPOUND, ACCENT, NUMBERS), then write the type into the
// vowels' stress digits mora by mora. Swedish compounds get their parts'
// stresses rewritten; Swedish and Norwegian compound parts are merged back
// into one token.
//
// A rule key is a pattern over the current token and its neighbours: '-' and
// '+' step one token to the right (a key starts at minus its number of '-'
// outside brackets), "(" norms ")", "[" POSes "]", "{" POS classes or accent
// types "}", "<" accent-combination rules ">", alternatives separated by '|'.
// Its value is "0" (the token starts an accent phrase), "1" (it continues
// the phrase) or an expression giving the phrase's accent type, read left to
// right from 0: a number counts only once '+', '-' or ')' applies it, and
// what is applied before the first operator gives 0, so "(3)" is 3, "3" is 0
// and "3+C" is the current word's type.

#include <cstdint>
#include <string>

struct channel;
struct dystr;
struct hashstrarray;
struct tpdb;
struct voidparray;

// Database kind TPOBJ_JPACCENT: one rule set
void* QLTP_tpobj_jpaccent_load(tpdb* db, int32_t offset);
int QLTP_tpobj_jpaccent_pstload(tpdb* db, void* object);
void QLTP_tpobj_jpaccent_delete(void* object);
int32_t QLTP_tpobj_jpaccent_write(void* object, char* destination, int swap);

// The stage
struct jpaccent {
    const char* name;
    channel* ch;
    int state;
    std::string language;
    std::string region;
    dystr* work;
    dystr* merged;
    voidparray* input;
    voidparray* output;
    dystr* trace;
    const hashstrarray* compound;
    const hashstrarray* accent;
    const hashstrarray* numbers;
};

jpaccent* QLTP_jpaccent_new(channel* ch);
void QLTP_jpaccent_reset(jpaccent* stage, channel* ch);
void QLTP_jpaccent_reset_tpdb(jpaccent* stage, channel* ch);
void QLTP_jpaccent_delete(jpaccent* stage);
// Takes an array of toxspurt* and gives the stage's own output array.
voidparray* QLTP_jpaccent_process(jpaccent* stage, voidparray* spurts, int final);
