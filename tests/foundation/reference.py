"""Reference answers for the foundation tests, computed by Python.

Reads one case per line on standard input and writes one answer per line:
  utf8 <hex bytes>          -> offset of the first sequence Python's strict
                               UTF-8 decoder rejects, or -1
  ftoa <float bits hex> <decimals> <f|e>
                            -> the float printed with that many decimals in
                               fixed or scientific notation (C printf rules)
  cmath <function> <re> <im>
                            -> the cmath function (abs and phase too) of the
                               complex number, parts as float.hex, or "pole"
                               (ValueError at a finite argument), "overflow"
                               (OverflowError) or "domain" (other ValueError)
"""
import cmath
import math
import struct
import sys


def utf8(hexbytes):
    data = bytes.fromhex(hexbytes)
    try:
        data.decode("utf-8", "strict")
        return "-1"
    except UnicodeDecodeError as e:
        return str(e.start)


def ftoa(bits, decimals, fmt):
    value = struct.unpack("<f", struct.pack("<I", int(bits, 16)))[0]
    return ("%." + decimals + fmt) % value


def complex_function(name, re, im):
    z = complex(float.fromhex(re), float.fromhex(im))
    try:
        w = getattr(cmath, name)(z) if name not in ("abs", "phase") else None
        if name == "abs":
            w = complex(abs(z), 0.0)
        elif name == "phase":
            w = complex(cmath.phase(z), 0.0)
    except OverflowError:
        return "overflow"
    except ValueError:
        finite = math.isfinite(z.real) and math.isfinite(z.imag)
        return "pole" if finite else "domain"
    return w.real.hex() + " " + w.imag.hex()


def main():
    out = []
    for line in sys.stdin:
        parts = line.split()
        if not parts:
            continue
        if parts[0] == "utf8":
            out.append(utf8(parts[1] if len(parts) > 1 else ""))
        elif parts[0] == "ftoa":
            out.append(ftoa(parts[1], parts[2], parts[3]))
        elif parts[0] == "cmath":
            out.append(complex_function(parts[1], parts[2], parts[3]))
    sys.stdout.write("\n".join(out) + "\n")


main()
