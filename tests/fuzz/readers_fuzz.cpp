// The dictionary and string-map file readers on any bytes. Byte 0 picks the
// reader (bits 0-1: compact dictionary, dictionary, string map, two-column
// text map) and the other byte order (bit 2). A file that reads writes back
// byte for byte what the reader took, and every stored word is found again
// under its own id; a text map written in file form reads back the same.
#include <cstdint>
#include <cstdio>
#include <string>

#include "foundation/dict.h"
#include "foundation/strmap.h"
#include "fuzz/fuzz.h"

using namespace orvelle_fuzz;

namespace {

// Reads the bytes as a file with read(file, &object, swap); the bytes it
// took, or npos. The file lives in memory: no disk in the loop.
template <typename T, typename Read>
size_t ReadFrom(const std::string& bytes, T** object, int swap, Read read) {
  *object = nullptr;
  if (bytes.empty()) return std::string::npos;
  FILE* f = ::fmemopen(const_cast<char*>(bytes.data()), bytes.size(), "rb");
  Check(f != nullptr, "the input opens as a file");
  const int ok = read(f, object, swap);
  const long taken = std::ftell(f);
  std::fclose(f);
  Check((ok != 0) == (*object != nullptr), "a reader's result and its object agree");
  return *object ? static_cast<size_t>(taken) : std::string::npos;
}

template <typename T, typename Size, typename Write>
std::string Written(const T* object, int swap, Size size, Write write) {
  std::string bytes(static_cast<size_t>(size(object)), '\0');
  if (!bytes.empty()) Check(write(object, bytes.data(), swap) == bytes.data() + bytes.size(), "a writer fills its size");
  return bytes;
}

void CheckWrittenBack(const std::string& file, size_t taken, const std::string& written) {
  Check(written == file.substr(0, taken), "a file that reads writes back the same bytes", written);
}

// A word of a dictionary read from a file: words are given by length and
// may hold NUL, and the compact form keeps each length in the byte before
// the word.
int StoredLength(const char* word) { return static_cast<unsigned char>(word[-1]); }

void CheckDict(const dict* d) {
  for (int id = 1; id <= QLTP_dict_size(d); ++id) {
    const char* word = QLTP_dict_lookup_index(d, id);
    Check(word != nullptr && QLTP_dict_lookup_word(d, word, StoredLength(word)) == id, "every word is found under its id");
  }
}

void CheckMap(const hashstrarray* m, bool from_file) {
  for (int i = 0; i < QLTP_hashstrarray_sz(m); ++i) {
    const char* key = QLTP_hashstrarray_key(m, i);
    Check(key != nullptr, "every key has a value");
    const int length = from_file ? StoredLength(key) : -1;
    Check(QLTP_hashstrarray_lookup(m, key, length) == QLTP_hashstrarray_entry(m, i), "every key finds its own value");
  }
}

const auto kMapSize = [](const hashstrarray* m) { return QLTP_hashstrarray_write_sz(m); };

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const Input in{data, size};
  const int reader = in.Byte(0) & 3, swap = (in.Byte(0) >> 2) & 1;
  const std::string file = in.Payload(1);

  if (reader == 0) {
    cdict* cd = nullptr;
    const size_t taken = ReadFrom(file, &cd, swap, QLTP_cdict_read);
    if (!cd) return 0;
    for (int id = 1; id <= QLTP_cdict_sz(cd); ++id) {
      const char* word = QLTP_cdict_idx(cd, id);
      Check(word != nullptr && QLTP_cdict_word(cd, word, StoredLength(word)) == id, "every word is found under its id");
    }
    CheckWrittenBack(file, taken, Written(cd, swap, QLTP_cdict_write_sz, QLTP_cdict_write));
    QLTP_cdict_delete(cd);
  } else if (reader == 1) {
    dict* d = nullptr;
    const size_t taken = ReadFrom(file, &d, swap, QLTP_dict_read);
    if (!d) return 0;
    CheckDict(d);
    CheckWrittenBack(file, taken, Written(d, swap, QLTP_dict_write_sz, QLTP_dict_write));
    QLTP_dict_delete(d);
  } else if (reader == 2) {
    hashstrarray* m = nullptr;
    const size_t taken = ReadFrom(file, &m, swap, QLTP_hashstrarray_read);
    if (!m) return 0;
    CheckMap(m, true);
    CheckWrittenBack(file, taken, Written(m, swap, kMapSize, QLTP_hashstrarray_write));
    QLTP_hashstrarray_delete(m);
  } else {
    hashstrarray* m = QLTP_deserialise_hashstrarray(file.c_str());
    Check(m != nullptr, "a text map is made from any text");
    CheckMap(m, false);
    // One key over 254 bytes leaves the map without a file form.
    const std::string written = Written(m, swap, kMapSize, QLTP_hashstrarray_write);
    QLTP_hashstrarray_delete(m);
    if (written.empty()) return 0;
    hashstrarray* back = nullptr;
    const size_t taken = ReadFrom(written, &back, swap, QLTP_hashstrarray_read);
    Check(back != nullptr && taken == written.size(), "a written map reads back whole");
    CheckMap(back, true);
    CheckWrittenBack(written, taken, Written(back, swap, kMapSize, QLTP_hashstrarray_write));
    QLTP_hashstrarray_delete(back);
  }
  return 0;
}
