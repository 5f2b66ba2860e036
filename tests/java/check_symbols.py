#!/usr/bin/env python3
"""Checks the dynamic symbol table of liborvelle_java.so.

It must define every native method of com.quorlane.orvelle.orvelleJNI under
its JNI name and the 28 ov functions, and export nothing else (JNI_OnLoad
aside).

Usage: check_symbols.py <nm> <library> <list of the ov functions, one a line>
"""

import subprocess
import sys

NUMBER_FIELDS = ["phone_length_in_bytes", "sample_rate", "sapi_viseme", "disney_viseme",
                 "stress", "sapi_phoneid", "next_sapi_phoneid", "next_sapi_viseme",
                 "struct_size"]
NAME_FIELDS = ["phoneme", "next_phoneme"]


# Java programs can neither destroy a connection nor cancel a request.
WITHOUT_NATIVE = {"ovDestroyConnection", "ovCancelRequest"}

CALLBACK_METHODS = [
    "OrvelleCallback_OrvelleDataToShort", "OrvelleCallback_OrvelleDataToString",
    "OrvelleCallback_OrvelleDataToPhoneme", "new_OrvelleCallback", "delete_OrvelleCallback",
    "OrvelleCallback_run", "OrvelleCallback_runSwigExplicitOrvelleCallback",
    "OrvelleCallback_director_connect", "OrvelleCallback_change_ownership",
    "_java_orvelle_callback", "new_OrvelleCaller", "delete_OrvelleCaller",
    "OrvelleCaller_delOrvelleCallback", "OrvelleCaller_setOrvelleCallback", "swig_module_init",
]


def native_methods(ov_functions):
    methods = ["new_phoneme_data", "delete_phoneme_data"]
    for field in NAME_FIELDS + NUMBER_FIELDS:
        methods += ["phoneme_data_%s_set" % field, "phoneme_data_%s_get" % field]
    methods += [f for f in ov_functions if f not in WITHOUT_NATIVE]
    methods += CALLBACK_METHODS
    return methods


def jni_name(method):
    return "Java_com_quorlane_orvelle_orvelleJNI_" + method.replace("_", "_1")


def main():
    nm, library, listing = sys.argv[1], sys.argv[2], sys.argv[3]
    with open(listing, encoding="ascii") as f:
        ov_functions = [line.strip() for line in f if line.strip()]
    out = subprocess.run([nm, "-D", "--defined-only", library], check=True,
                         capture_output=True, text=True).stdout
    defined = {}
    for line in out.splitlines():
        parts = line.split()
        if len(parts) == 3:
            defined[parts[2].split("@")[0]] = parts[1]

    methods = native_methods(ov_functions)
    failures = []
    if len(methods) != 65:
        failures.append("expected list holds %d natives, not 65" % len(methods))
    expected = {jni_name(m) for m in methods} | set(ov_functions)
    if jni_name("phoneme_data_sample_rate_get") != \
            "Java_com_quorlane_orvelle_orvelleJNI_phoneme_1data_1sample_1rate_1get":
        failures.append("mangling rule is wrong")
    for name in sorted(expected):
        if name not in defined:
            failures.append("missing: " + name)
        elif defined[name] != "T":
            failures.append("not a function: %s (%s)" % (name, defined[name]))
    for name in sorted(set(defined) - expected - {"JNI_OnLoad"}):
        failures.append("exported but not part of the interface: " + name)

    for f in failures:
        print(f)
    print("%d expected symbols, %d defined, %d problems" % (len(expected), len(defined), len(failures)))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
