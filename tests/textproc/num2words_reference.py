"""Prints num2words(n, lang=<argv[1]>) for every number read from stdin."""
import sys

# The Debian package installs for the system interpreter.
sys.path.append("/usr/lib/python3/dist-packages")
from num2words import num2words  # noqa: E402

lang = sys.argv[1] if len(sys.argv) > 1 else "en"
for line in sys.stdin:
    line = line.strip()
    if line:
        print(num2words(int(line), lang=lang))
