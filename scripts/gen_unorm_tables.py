#!/usr/bin/env python3
"""Generate textproc/unorm_tables.cpp from the Unicode Character Database.

Usage: gen_unorm_tables.py [UCD directory] [output file]
Defaults: /usr/share/unicode and textproc/unorm_tables.cpp beside this script.

Reads UnicodeData.txt, DerivedNormalizationProps.txt and EastAsianWidth.txt.
Every size and count in the output is taken from the data.
"""

import os
import sys

SHIFT = 7          # two-level index: block of 128 code points
COMP_SHIFT = 2     # composition matrix: block of 4 entries
MAX_CP = 0x110000

# Hangul syllables are composed and decomposed algorithmically.
S_BASE, L_BASE, V_BASE, T_BASE = 0xAC00, 0x1100, 0x1161, 0x11A7
L_COUNT, V_COUNT, T_COUNT = 19, 21, 28
S_COUNT = L_COUNT * V_COUNT * T_COUNT

# Quick-check values and their bit positions in the record.
QC_VALUE = {"Y": 0, "M": 1, "N": 2}
QC_SHIFT = {"NFD_QC": 0, "NFKD_QC": 2, "NFC_QC": 4, "NFKC_QC": 6}


def parse_range(field):
    if ".." in field:
        a, b = field.split("..")
        return int(a, 16), int(b, 16)
    v = int(field, 16)
    return v, v


def data_lines(path):
    with open(path, encoding="utf-8") as f:
        for line in f:
            line = line.split("#", 1)[0].strip()
            if line:
                yield [x.strip() for x in line.split(";")]


class Char:
    __slots__ = ("category", "ccc", "bidi", "mirrored", "decomp")

    def __init__(self, fields):
        self.category = fields[2]
        self.ccc = int(fields[3])
        self.bidi = fields[4]
        self.decomp = fields[5]
        self.mirrored = 1 if fields[9] == "Y" else 0


def read_unicode_data(ucd):
    chars = {}
    first = None
    for fields in data_lines(os.path.join(ucd, "UnicodeData.txt")):
        cp = int(fields[0], 16)
        name = fields[1]
        if name.endswith(", First>"):
            first = cp
            continue
        c = Char(fields)
        if name.endswith(", Last>"):
            for x in range(first, cp + 1):
                chars[x] = c
            first = None
        else:
            chars[cp] = c
    return chars


def read_quick_check(ucd):
    qc = [0] * MAX_CP
    exclusions = set()
    for fields in data_lines(os.path.join(ucd, "DerivedNormalizationProps.txt")):
        lo, hi = parse_range(fields[0])
        prop = fields[1]
        if prop in QC_SHIFT:
            bits = QC_VALUE[fields[2]] << QC_SHIFT[prop]
            for cp in range(lo, hi + 1):
                qc[cp] |= bits
        elif prop == "Full_Composition_Exclusion":
            exclusions.update(range(lo, hi + 1))
    return qc, exclusions


def read_east_asian_width(ucd):
    # Code points the file does not list are neutral.
    width = ["N"] * MAX_CP
    for fields in data_lines(os.path.join(ucd, "EastAsianWidth.txt")):
        lo, hi = parse_range(fields[0])
        for cp in range(lo, hi + 1):
            width[cp] = fields[1]
    return width


def name_list(values, first):
    """Distinct values, `first` at index 0, the rest sorted."""
    rest = sorted(set(values) - {first})
    return [first] + rest


def split_bins(table, shift):
    """Two-level table: index1[i >> shift] is a block number, index2 holds
    the distinct blocks; table[i] == index2[(index1[i >> shift] << shift)
    + (i & mask)]."""
    size = 1 << shift
    index1, index2, seen = [], [], {}
    for start in range(0, len(table), size):
        block = tuple(table[start:start + size])
        if len(block) < size:
            block = block + (0,) * (size - len(block))
        number = seen.get(block)
        if number is None:
            number = len(index2) >> shift
            seen[block] = number
            index2.extend(block)
        index1.append(number)
    for i, v in enumerate(table):
        assert index2[(index1[i >> shift] << shift) + (i & (size - 1))] == v
    return index1, index2


def ctype(values):
    m = max(values) if values else 0
    if m < 256:
        return "uint8_t"
    if m < 65536:
        return "uint16_t"
    return "uint32_t"


def emit_array(out, decl_type, name, values, per_line=16, fmt="{}"):
    out.append("const %s %s[%d] = {" % (decl_type, name, len(values)))
    for i in range(0, len(values), per_line):
        out.append("    " + ", ".join(fmt.format(v) for v in values[i:i + per_line]) + ",")
    out.append("};")
    out.append("")


def emit_names(out, name, names):
    out.append("const char *const %s[%d] = {" % (name, len(names) + 1))
    for n in names:
        out.append('    "%s",' % n)
    out.append("    nullptr,")
    out.append("};")
    out.append("")


def full_decomposition(cp, chars, compat):
    if S_BASE <= cp < S_BASE + S_COUNT:
        s = cp - S_BASE
        parts = [L_BASE + s // (V_COUNT * T_COUNT), V_BASE + (s % (V_COUNT * T_COUNT)) // T_COUNT]
        if s % T_COUNT:
            parts.append(T_BASE + s % T_COUNT)
        return parts
    c = chars.get(cp)
    if c is None or not c.decomp:
        return [cp]
    items = c.decomp.split()
    if items[0].startswith("<"):
        if not compat:
            return [cp]
        items = items[1:]
    result = []
    for x in items:
        result.extend(full_decomposition(int(x, 16), chars, compat))
    return result


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    ucd = sys.argv[1] if len(sys.argv) > 1 else "/usr/share/unicode"
    target = sys.argv[2] if len(sys.argv) > 2 else os.path.join(here, "..", "textproc", "unorm_tables.cpp")

    chars = read_unicode_data(ucd)
    qc, exclusions = read_quick_check(ucd)
    width = read_east_asian_width(ucd)

    # Name tables; index 0 is what an unassigned code point gets.
    categories = name_list([c.category for c in chars.values()] + ["Cn"], "Cn")
    bidis = name_list([c.bidi for c in chars.values()], "")
    widths = name_list(width, "N")
    cat_index = {n: i for i, n in enumerate(categories)}
    bidi_index = {n: i for i, n in enumerate(bidis)}
    width_index = {n: i for i, n in enumerate(widths)}

    # Property records: record 0 is the all-zero record of unassigned code points.
    records = [(0, 0, 0, 0, 0, 0)]
    record_index = {records[0]: 0}
    per_cp = [0] * MAX_CP
    for cp in range(MAX_CP):
        c = chars.get(cp)
        if c is None:
            rec = (0, 0, 0, 0, width_index[width[cp]], qc[cp])
        else:
            rec = (cat_index[c.category], c.ccc, bidi_index[c.bidi], c.mirrored,
                   width_index[width[cp]], qc[cp])
        i = record_index.get(rec)
        if i is None:
            i = len(records)
            record_index[rec] = i
            records.append(rec)
        per_cp[cp] = i
    index1, index2 = split_bins(per_cp, SHIFT)

    # Decompositions: one level, (count << 8) + prefix, then the parts.
    prefixes = [""]
    for c in chars.values():
        if c.decomp and c.decomp.startswith("<"):
            tag = c.decomp.split()[0]
            if tag not in prefixes:
                prefixes.append(tag)
    prefixes = [""] + sorted(prefixes[1:])
    prefix_index = {p: i for i, p in enumerate(prefixes)}
    assert len(prefixes) < 256
    decomp_data = [0]
    decomp_at = {}
    decomp_per_cp = [0] * MAX_CP
    longest_decomp = 0
    for cp in sorted(chars):
        c = chars[cp]
        if not c.decomp:
            continue
        items = c.decomp.split()
        prefix = 0
        if items[0].startswith("<"):
            prefix = prefix_index[items[0]]
            items = items[1:]
        entry = tuple([(len(items) << 8) + prefix] + [int(x, 16) for x in items])
        longest_decomp = max(longest_decomp, len(items))
        pos = decomp_at.get(entry)
        if pos is None:
            pos = len(decomp_data)
            decomp_at[entry] = pos
            decomp_data.extend(entry)
        decomp_per_cp[cp] = pos
    decomp_index1, decomp_index2 = split_bins(decomp_per_cp, SHIFT)

    # Primary composites: canonical two-part decompositions that are not excluded.
    pairs = []
    for cp in sorted(chars):
        c = chars[cp]
        if not c.decomp or c.decomp.startswith("<") or cp in exclusions:
            continue
        items = [int(x, 16) for x in c.decomp.split()]
        if len(items) != 2:
            continue
        assert chars[items[0]].ccc == 0
        pairs.append((items[0], items[1], cp))
    firsts = sorted({p[0] for p in pairs})
    lasts = sorted({p[1] for p in pairs})
    first_index = {cp: i for i, cp in enumerate(firsts)}
    last_index = {cp: i for i, cp in enumerate(lasts)}

    def ranges(cps):
        result = []
        for i, cp in enumerate(cps):
            if result and result[-1][0] + result[-1][1] == cp:
                result[-1][1] += 1
            else:
                result.append([cp, 1, i])
        return result

    first_ranges = ranges(firsts)
    last_ranges = ranges(lasts)
    comp = [0] * (len(firsts) * len(lasts))
    for f, l, cp in pairs:
        comp[first_index[f] * len(lasts) + last_index[l]] = cp
    comp_index, comp_data = split_bins(comp, COMP_SHIFT)

    # Checks the normaliser relies on: a starter that passes the quick check
    # begins a segment, because nothing before it can combine with it or be
    # reordered across it; every code point that can be the second part of a
    # composite fails the quick check.
    last_set = set(lasts) | set(range(V_BASE, V_BASE + V_COUNT)) | set(range(T_BASE + 1, T_BASE + T_COUNT))
    for form, compat in (("NFC_QC", False), ("NFKC_QC", True)):
        shift = QC_SHIFT[form]
        for cp in range(MAX_CP):
            c = chars.get(cp)
            ccc = c.ccc if c else 0
            passes = (qc[cp] >> shift) & 3 == 0
            if cp in last_set:
                assert not passes, "%s: U+%04X composes backwards but passes" % (form, cp)
            if passes and ccc == 0:
                d = full_decomposition(cp, chars, compat)
                head = chars.get(d[0])
                assert (head.ccc if head else 0) == 0 and d[0] not in last_set, \
                    "%s: U+%04X is no segment start" % (form, cp)

    # Smallest code point that needs a look-up, per form: everything below it
    # passes the quick check with combining class 0.
    def first_needing_work(shift):
        for cp in range(MAX_CP):
            c = chars.get(cp)
            if (c and c.ccc) or (qc[cp] >> shift) & 3:
                return cp
        return MAX_CP

    # One bit per BMP code point that passes the quick check as a starter,
    # so that the common case costs a single load.
    def simple_bitmap(shift):
        words = [0] * (0x10000 // 64)
        for cp in range(0x10000):
            c = chars.get(cp)
            if not (c and c.ccc) and (qc[cp] >> shift) & 3 == 0:
                words[cp >> 6] |= 1 << (cp & 63)
        return words

    # Per UTF-8 byte: 1 when no character that a sequence starting with it
    # encodes needs work (ASCII, continuation and invalid bytes included), so
    # that runs of such bytes are copied without decoding.
    def simple_leads(shift):
        def simple(cp):
            c = chars.get(cp)
            return not (c and c.ccc) and (qc[cp] >> shift) & 3 == 0
        leads = []
        for b in range(256):
            if 0xC2 <= b <= 0xDF:
                span = range((b & 0x1F) << 6, ((b & 0x1F) << 6) + 64)
            elif 0xE0 <= b <= 0xEF:
                span = [cp for cp in range((b & 0x0F) << 12, ((b & 0x0F) << 12) + 4096)
                        if cp >= 0x800 and not 0xD800 <= cp <= 0xDFFF]
            elif 0xF0 <= b <= 0xF4:
                span = range((b & 0x07) << 18, min(((b & 0x07) << 18) + (1 << 18), MAX_CP))
            else:
                span = []
            leads.append(1 if all(simple(cp) for cp in span) else 0)
        return leads

    longest_full = max(len(full_decomposition(cp, chars, True)) for cp in chars)

    out = []
    out.append("// Generated by scripts/gen_unorm_tables.py from the Unicode Character")
    out.append("// Database; do not edit. Regenerate with: python3 scripts/gen_unorm_tables.py")
    out.append("#include \"textproc/unorm.h\"")
    out.append("")
    out.append("const int QLTP_UNICODE_RECORD_COUNT = %d;" % len(records))
    out.append("const int QLTP_NFC_FIRST_COUNT = %d;" % len(firsts))
    out.append("const int QLTP_NFC_LAST_COUNT = %d;" % len(lasts))
    out.append("const int QLTP_DECOMP_PREFIX_COUNT = %d;" % len(prefixes))
    out.append("const int QLTP_DECOMP_LONGEST = %d;" % longest_decomp)
    out.append("const int QLTP_DECOMP_LONGEST_FULL = %d;" % longest_full)
    out.append("const uint32_t QLTP_NFC_MIN_LOOKUP = 0x%04X;" % first_needing_work(QC_SHIFT["NFC_QC"]))
    out.append("const uint32_t QLTP_NFKC_MIN_LOOKUP = 0x%04X;" % first_needing_work(QC_SHIFT["NFKC_QC"]))
    out.append("")
    emit_names(out, "QLTP_PyUnicode_CategoryNames", categories)
    emit_names(out, "QLTP_PyUnicode_BidirectionalNames", bidis)
    emit_names(out, "QLTP_PyUnicode_EastAsianWidthNames", widths)
    emit_names(out, "QLTP_decomp_prefix", prefixes)
    out.append("const QLTP_unicode_record QLTP_PyUnicode_Database_Records[%d] = {" % len(records))
    for r in records:
        out.append("    {%d, %d, %d, %d, %d, %d}," % r)
    out.append("};")
    out.append("")
    emit_array(out, "uint16_t", "QLTP_index1", index1)
    emit_array(out, "uint16_t", "QLTP_index2", index2)
    emit_array(out, "uint16_t", "QLTP_decomp_index1", decomp_index1)
    emit_array(out, "uint16_t", "QLTP_decomp_index2", decomp_index2)
    emit_array(out, "uint32_t", "QLTP_decomp_data", decomp_data, 8, "0x{:04X}")
    out.append("const QLTP_comp_range QLTP_nfc_first[%d] = {" % (len(first_ranges) + 1))
    for r in first_ranges + [[0, 0, 0]]:
        out.append("    {0x%04X, %d, %d}," % tuple(r))
    out.append("};")
    out.append("")
    out.append("const QLTP_comp_range QLTP_nfc_last[%d] = {" % (len(last_ranges) + 1))
    for r in last_ranges + [[0, 0, 0]]:
        out.append("    {0x%04X, %d, %d}," % tuple(r))
    out.append("};")
    out.append("")
    emit_array(out, "uint64_t", "QLTP_nfc_simple", simple_bitmap(QC_SHIFT["NFC_QC"]), 4, "0x{:016X}u")
    emit_array(out, "uint64_t", "QLTP_nfkc_simple", simple_bitmap(QC_SHIFT["NFKC_QC"]), 4, "0x{:016X}u")
    emit_array(out, "uint8_t", "QLTP_nfc_simple_lead", simple_leads(QC_SHIFT["NFC_QC"]))
    emit_array(out, "uint8_t", "QLTP_nfkc_simple_lead", simple_leads(QC_SHIFT["NFKC_QC"]))
    emit_array(out, "uint16_t", "QLTP_comp_index", comp_index)
    emit_array(out, "uint32_t", "QLTP_comp_data", comp_data, 8, "0x{:04X}")

    for name, values in (("QLTP_index1", index1), ("QLTP_index2", index2),
                         ("QLTP_decomp_index1", decomp_index1),
                         ("QLTP_decomp_index2", decomp_index2),
                         ("QLTP_comp_index", comp_index)):
        assert max(values) < 65536, name

    with open(target, "w", encoding="utf-8") as f:
        f.write("\n".join(out))
    print("wrote %s: %d records, %d decomposition entries, %d x %d composition pairs"
          % (target, len(records), len(decomp_data), len(firsts), len(lasts)))


if __name__ == "__main__":
    main()
