#!/usr/bin/env python3
"""Makes a POS dictionary text file from a word/tag-probability lexicon.

Each input line is ("word" ((tag logprob) (tag logprob) ...) () ); the
word's entry gets its most probable tag (the first one on a tie). Words are
written escaped, since '_' separates the parts of a key.

usage: poslex_to_pos.py LEXICON OUTPUT
"""
import re
import sys

LINE = re.compile(r'^\("([^"]*)" \(((?:\(\S+ \S+\) )*)\)')
PAIR = re.compile(r'\((\S+) (\S+)\)')
ESCAPES = {'#': '&#35;', '&': '&amp;', ':': '&#58;', '_': '&#95;', '|': '&#124;'}


def escape(text):
    return ''.join(ESCAPES.get(c, c) for c in text)


def main(source, target):
    entries = []
    with open(source, encoding='latin-1') as lexicon:
        for line in lexicon:
            match = LINE.match(line)
            if not match or not match.group(1):
                continue
            pairs = [(tag, float(p)) for tag, p in PAIR.findall(match.group(2))]
            if not pairs:
                continue
            best = max(range(len(pairs)), key=lambda i: (pairs[i][1], -i))
            entries.append((match.group(1), pairs[best][0]))
    with open(target, 'w', encoding='utf-8') as out:
        out.write('DEFAULT nn\n')
        out.write('# affix rules: kind, affix, tag\n')
        out.write('S ing vbg\nS ly rb\nS ed vbd\nP un jj\n')
        out.write('# not read\n-\n')
        out.write('# entries\n')
        for word, tag in entries:
            out.write('%s 1:%s|X\n' % (escape(word), escape(tag)))
    return 0


if __name__ == '__main__':
    if len(sys.argv) != 3:
        sys.exit(__doc__)
    sys.exit(main(sys.argv[1], sys.argv[2]))
