// Shared by the rule-set, expansion-rule and abbreviation tests: rule sets
// from rule-file text, databases written by the library's own writer and
// loaded back, and output arrays read as vectors.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "foundation/dystr.h"
#include "foundation/dystrarray.h"
#include "foundation/logger.h"
#include "foundation/serial.h"
#include "foundation/tpdb.h"
#include "textproc/nrules.h"
#include "textproc/rinterp.h"
#include "scratch_dir.h"

namespace orvelle_test {

struct NrulesDeleter {
  void operator()(nrules* set) const { QLTP_nrules_delete(set); }
};
using Nrules = std::unique_ptr<nrules, NrulesDeleter>;

// A rule set read from rule-file text; the reader's progress lines are
// swallowed and kept in `echo` when given.
inline Nrules RulesFrom(const std::string& text, logger* log = nullptr, std::string* echo = nullptr) {
  ::testing::internal::CaptureStdout();
  nrules* set = QLTP_deserialise_nrules(log, text.c_str());
  std::string out = ::testing::internal::GetCapturedStdout();
  if (echo) *echo = out;
  if (set) set->log = nullptr;
  return Nrules(set);
}

inline std::string Print(const nrules* set) {
  dystr* d = QLTP_dystr_new("", 0);
  QLTP_nrules_print(set, d);
  std::string s(QLTP_dystr_cstr(d));
  QLTP_dystr_delete(d);
  return s;
}

// The serial form of an object through a kind's write operation.
inline std::string Serial(void* object, QLTP_tpobj_write_fn write, int swap = 0) {
  int32_t size = write(object, nullptr, swap);
  std::string bytes(static_cast<size_t>(size > 0 ? size : 0), '\0');
  if (size > 0) {
    EXPECT_EQ(write(object, bytes.data(), swap), 1);
  }
  return bytes;
}

// A database written with the library's writer holding the given objects
// (name, serial form), loaded back.
struct LoadedDb {
  tpdb* db = nullptr;
  LoadedDb(const std::string& file, const std::vector<std::pair<std::string, std::string>>& objects) {
    const ScratchDir dir;
    std::string path = dir.Path(file);
    tpdb* w = QLTP_tpdb_new(nullptr);
    QLTP_tpdb_header_setval(w, "MAJOR_VERSION", -1, "5", -1);
    QLTP_tpdb_header_setval(w, "MINOR_VERSION", -1, "0", -1);
    QLTP_tpdb_header_setval(w, "REVISION_NUMBER", -1, "1", -1);
    for (const auto& [name, data] : objects) {
      QLTP_fixedbuf* image = QLTP_fixedbuf_frombytes(data.data(), static_cast<uint32_t>(data.size()));
      EXPECT_EQ(QLTP_tpobj_serialisequeue(w, image, name.c_str()), 1);
    }
    EXPECT_EQ(QLTP_tpdb_write_serial(w, path.c_str()), 1);
    QLTP_tpdb_delete(w);
    db = QLTP_tpdb_new(nullptr);
    QLTP_logger_set_store(db->log);
    EXPECT_EQ(QLTP_tpdb_load(db, path.c_str()), 1);
    std::remove(path.c_str());
  }
  ~LoadedDb() { QLTP_tpdb_delete(db); }
  LoadedDb(const LoadedDb&) = delete;
  LoadedDb& operator=(const LoadedDb&) = delete;
  void* Get(const char* name) const { return QLTP_tpdb_get_tpdata(db, name); }
  bool Logged(const std::string& text) const {
    for (int i = 0; QLTP_logger_msg(db->log, i); ++i)
      if (std::string(QLTP_logger_msg(db->log, i)).find(text) != std::string::npos) return true;
    return false;
  }
};

// Walked record by record: indexing each one would cost quadratic time on
// long outputs.
inline std::vector<std::string> Entries(const dystrarray* out) {
  std::vector<std::string> v;
  for (const char* p = QLTP_dystrarray_idx(out, 0); p; p = QLTP_dystrarray_next(out, p)) v.emplace_back(p);
  return v;
}

// An interpreter over a rule set, for calling expansion rules directly.
struct Interp {
  rinterp_context ctx{};
  rinterp* in;
  dystrarray* out = QLTP_dystrarray_new(0);
  dystrarray* attrs = QLTP_dystrarray_new(0);
  logger* log = QLTP_logger_new("TEST", -1, nullptr);
  explicit Interp(nrules* set) {
    ctx.rules = set;
    QLTP_logger_set_store(log);
    in = QLTP_rinterp_new(&ctx, 4, -2, 2, 0, log);
  }
  ~Interp() {
    QLTP_rinterp_delete(in);
    QLTP_dystrarray_delete(out);
    QLTP_dystrarray_delete(attrs);
    QLTP_logger_delete(log);
  }
  Interp(const Interp&) = delete;
  Interp& operator=(const Interp&) = delete;
  void Attr(const char* name, const char* value) {
    QLTP_dystrarray_add(attrs, name, -1);
    QLTP_dystrarray_add(attrs, value, -1);
  }
  // Runs a rule component ("H:number") on a text; the words written.
  std::vector<std::string> Run(const char* spec, const char* text, int* result = nullptr) {
    QLTP_dystrarray_clear(out, 0);
    int r = QLTP_nrules_apply_component(ctx.rules, in, spec, in->ovector, out, attrs, text);
    if (result) *result = r;
    return Entries(out);
  }
  std::string Words(const char* spec, const char* text) {
    std::string s;
    for (const auto& w : Run(spec, text)) {
      if (w.empty()) continue;
      if (!s.empty()) s += ' ';
      s += w;
    }
    return s;
  }
};

}  // namespace orvelle_test
