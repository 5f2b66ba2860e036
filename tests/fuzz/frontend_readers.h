// The readers that frontend_readers_fuzz runs, in the order its byte 0
// picks them (bits 0-5; bit 7 reads the other byte order), and the stored
// kinds that its "stored" reader picks with byte 1. fuzz_seeds writes its
// seeds with the same numbers.
#pragma once

namespace orvelle_fuzz {

enum FrontendReader : int {
  kRulesText,       // normalisation rule file
  kAbbrevText,      // abbreviation file, as database text
  kAbbrevFile,      // abbreviation file, as a custom file
  kLexiconText,     // plain lexicon, as database text
  kLexiconFile,     // plain lexicon, as a custom file
  kPls,             // PLS document
  kLtsTrees,        // letter-to-sound tree file
  kCartText,        // compact CART, text form
  kCart,            // compact CART, binary form
  kPhoneSet,        // phone-set file
  kPhoneSetMap,     // phone-set map
  kSyllablesText,   // syllabification data
  kPosText,         // POS dictionary
  kBreaksText,      // phrase-break table
  kPairsText,       // pair-weight table
  kDisamText,       // disambiguation matrix
  kMatrixText,      // double matrix, text file
  kMatrix,          // double matrix, binary form
  kParamDbs,        // parameter database manager
  kParamDb,         // one parameter database
  kBytePairs,       // byte-pair table
  kCompressed,      // compressed lookup table
  kLexMgrText,      // lexicon manager text
  kLtsMgrText,      // letter-to-sound manager text
  kSlang,           // spron for the slang transforms
  kStored,          // one database object of a kind from kStoredKinds
  kPlsLexemes,      // lexemes that a PLS document is written from
  kPhoneSetMapPhones,  // phones that a phone-set map is written from
  kArchiphone,      // an archiphone rule, its value and phonemes
  kFrontendReaders
};

// Byte 1 of a kStored input picks one of these.
inline constexpr const char* kStoredKinds[] = {
    "TPOBJ_ABBREV",      "TPOBJ_ARCHIS",  "TPOBJ_CARTLTS",  "TPOBJ_CCART",   "TPOBJ_DISAMCTXT", "TPOBJ_HOMTAGS",
    "TPOBJ_JPACCENT",    "TPOBJ_LEXCOMP", "TPOBJ_LEXHASH",  "TPOBJ_LEXMGR",  "TPOBJ_LGPHONEMAP", "TPOBJ_LGPOSMAP",
    "TPOBJ_LTSMGR",      "TPOBJ_NRULES",  "TPOBJ_PARAMDBMGR", "TPOBJ_PBREAK", "TPOBJ_PHONESET", "TPOBJ_PHONESETMAP",
    "TPOBJ_POSSETS",     "TPOBJ_POSTAGS", "TPOBJ_PRULES",   "TPOBJ_RRULES",  "TPOBJ_SYLMAX"};
inline constexpr int kStoredKindCount = sizeof(kStoredKinds) / sizeof(kStoredKinds[0]);

}  // namespace orvelle_fuzz
