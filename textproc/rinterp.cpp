#include "textproc/rinterp.h"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string_view>

#include "foundation/dystr.h"
#include "foundation/dystrarray.h"
#include "foundation/logger.h"
#include "foundation/numarray.h"
#include "foundation/strutil.h"
#include "foundation/voidparray.h"

// ---------------------------------------------------------------------------
// Create, free, clear

rinterp* QLTP_rinterp_new(rinterp_context* ctx, int maxcomp, int minpos, int maxpos, int tracing, logger* log) {
  if (maxcomp < 0 || minpos > 0 || maxpos < 0) return nullptr;
  auto* in = static_cast<rinterp*>(QLTP_calloc(sizeof(rinterp), 1));
  if (!in) return nullptr;
  in->ctx = ctx;
  in->rules = ctx ? ctx->rules : nullptr;
  in->log = log;
  in->maxcomp = maxcomp;
  in->winsz = maxpos - minpos + 1;
  in->current = -minpos;
  in->outputs = QLTP_voidparray_newcustom(maxcomp, 8, 64);
  in->window = QLTP_voidparray_newcustom(in->winsz, 8, 64);
  in->marks = QLTP_intarray_newcustom(in->winsz, 8, 64);
  in->attributes = QLTP_dystrarray_new(0);
  bool ok = in->outputs && in->window && in->marks && in->attributes;
  for (int i = 0; ok && i < maxcomp; ++i) {
    dystrarray* out = QLTP_dystrarray_new(0);
    ok = out && QLTP_voidparray_add(in->outputs, out);
    if (!ok) QLTP_dystrarray_delete(out);
  }
  for (int i = 0; ok && i < in->winsz; ++i) ok = QLTP_voidparray_add(in->window, nullptr) && QLTP_intarray_add(in->marks, -1);
  if (ok && tracing) ok = (in->trace = QLTP_dystr_new("", 0)) != nullptr;
  if (!ok) {
    QLTP_rinterp_delete(in);
    return nullptr;
  }
  QLTP_rinterp_clear(in);
  return in;
}

void QLTP_rinterp_delete(rinterp* in) {
  if (!in) return;
  int n = QLTP_voidparray_sz(in->outputs);
  for (int i = 0; i < n; ++i) QLTP_dystrarray_delete(static_cast<dystrarray*>(QLTP_voidparray_idx(in->outputs, i)));
  QLTP_voidparray_delete(in->outputs);
  QLTP_voidparray_delete(in->window);
  QLTP_intarray_delete(in->marks);
  QLTP_dystrarray_delete(in->attributes);
  QLTP_dystr_delete(in->trace);
  QLTP_free(in);
}

void QLTP_rinterp_clear(rinterp* in) {
  if (!in) return;
  QLTP_dystrarray_clear(in->attributes, 0);
  int n = QLTP_voidparray_sz(in->outputs);
  for (int i = 0; i < n; ++i) QLTP_dystrarray_clear(static_cast<dystrarray*>(QLTP_voidparray_idx(in->outputs, i)), 0);
  n = QLTP_intarray_sz(in->marks);
  for (int i = 0; i < n; ++i) QLTP_intarray_replace(in->marks, i, -1);
  in->failed = 0;
  in->ncomp = -1;
}

// ---------------------------------------------------------------------------
// Relative values

namespace {

bool ends_with(std::string_view s, std::string_view suffix) {
  return s.size() >= suffix.size() && s.substr(s.size() - suffix.size()) == suffix;
}

// The number of the text without its suffix; 0 when there is none.
double number_of(std::string_view s) {
  if (!s.empty() && s.front() == '+') s.remove_prefix(1);
  double v = 0;
  auto [p, ec] = std::from_chars(s.data(), s.data() + s.size(), v);
  (void)p;
  return ec == std::errc() && std::isfinite(v) ? v : 0;
}

bool is_whole(double v) { return std::floor(v) == v && std::fabs(v) < 2147483647.0; }

int finish(int n, int bufsz) { return n < 0 ? 0 : (n >= bufsz ? bufsz - 1 : n); }

// "%s%d%s" when whole, else "%s%.3f%s".
int print_number(char* buf, int bufsz, const char* prefix, double v, const char* suffix) {
  if (is_whole(v)) return finish(std::snprintf(buf, bufsz, "%s%d%s", prefix, static_cast<int>(v), suffix), bufsz);
  return finish(std::snprintf(buf, bufsz, "%s%.3f%s", prefix, v, suffix), bufsz);
}

}  // namespace

int QLTP_rinterp_convert_relative(const char* text, const rinterp_range* range, char* buf, int bufsz) {
  if (!buf || bufsz <= 0) return 0;
  buf[0] = '\0';
  if (!text) return 0;
  std::string_view s(text);
  const bool plus = !s.empty() && s.front() == '+';
  const bool sign = plus || (!s.empty() && s.front() == '-');
  if (s == "+0" || s == "-0") return finish(std::snprintf(buf, bufsz, "1.0"), bufsz);
  if (ends_with(s, "Hz")) {
    double n = std::fabs(number_of(s.substr(0, s.size() - 2)));
    char lead = sign ? s.front() : 'a';
    if (is_whole(n)) return finish(std::snprintf(buf, bufsz, "%c%d", lead, static_cast<int>(n)), bufsz);
    return finish(std::snprintf(buf, bufsz, "%c%.0f", lead, std::trunc(n)), bufsz);
  }
  if (ends_with(s, "dB")) {
    double gain = std::pow(10.0, number_of(s.substr(0, s.size() - 2)) / 20.0);
    if (!std::isfinite(gain)) gain = 0;
    return finish(std::snprintf(buf, bufsz, "%.3f", gain), bufsz);
  }
  if (ends_with(s, "%")) {
    double n = number_of(s.substr(0, s.size() - 1)) / 100.0;
    return print_number(buf, bufsz, "", sign ? 1 + n : n, "");
  }
  if (s.size() > 1 && ends_with(s, "st")) return print_number(buf, bufsz, plus ? "+" : "", number_of(s.substr(0, s.size() - 2)), "st");
  double n = number_of(s);
  if (range) {
    double span = static_cast<double>(range->in_high) - range->in_low;
    // Equal input bounds map everything to the output's low end.
    n = span == 0 ? range->out_low
                  : range->out_low + (n - range->in_low) / span * (static_cast<double>(range->out_high) - range->out_low);
    if (!std::isfinite(n)) n = range->out_low;
  }
  return print_number(buf, bufsz, plus ? "+" : "", n, "");
}
