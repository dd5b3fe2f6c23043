#!/usr/bin/env python3
"""Rewrites an MQL5 include into C++ that compiles against mql5_shim.h.

Only what C++ cannot say is touched, so the code compiled is the code shipped:
- the #import "x.dll" ... #import block is dropped (the tests define those functions);
- dynamic array declarators become MqlArray<T>: "const T &a[]" in parameter
  lists, "T a[],b[];" in declarations.
Everything else (the preprocessor, classes, structs, references) is common to
both languages as the kit uses them.
"""
import re
import sys

IMPORT = re.compile(r'^[ \t]*#import[ \t]+"[^"]*"[^\n]*\n.*?^[ \t]*#import[ \t]*$', re.M | re.S)
PARAM = re.compile(r'\b(const\s+)?(\w+)\s*&\s*(\w+)\s*\[\s*\]')
DECL = re.compile(r'^([ \t]*)(\w+)[ \t]+(\w+[ \t]*\[[ \t]*\](?:[ \t]*,[ \t]*\w+[ \t]*\[[ \t]*\])*)[ \t]*;', re.M)


def rewrite(text):
    text = IMPORT.sub("", text)
    text = PARAM.sub(lambda m: "%sMqlArray<%s> &%s" % (m.group(1) or "", m.group(2), m.group(3)), text)

    def decl(m):
        if m.group(2) in ("return", "else", "case"):
            return m.group(0)
        names = [n.split("[")[0].strip() for n in m.group(3).split(",")]
        return m.group(1) + " ".join("MqlArray<%s> %s;" % (m.group(2), n) for n in names)
    return DECL.sub(decl, text)


if __name__ == "__main__":
    src, dst = sys.argv[1], sys.argv[2]
    with open(src, encoding="utf-8-sig") as f:
        out = rewrite(f.read())
    with open(dst, "w", encoding="utf-8") as f:
        f.write('#include "mql5_shim.h"\n#line 1 "%s"\n' % src + out)
