#!/usr/bin/env python3
"""Rewrites an MQL5 include into C++ that compiles against mql5_shim.h.

Only what C++ cannot say is touched, so the code compiled is the code shipped:
the #import block goes (the tests define those functions), a program's
#property lines become comments, a program's functions are declared before
its first line of code (MQL5 needs no declarations), and dynamic arrays
("const T &a[]" parameters, "T a[],b[];" declarations) become MqlArray<T>.
"""
import os
import re
import sys

PROPERTY = re.compile(r'^([ \t]*#property\b)', re.M)
IMPORT = re.compile(r'^[ \t]*#import[ \t]+"[^"]*"[^\n]*\n.*?^[ \t]*#import[ \t]*$', re.M | re.S)
PARAM = re.compile(r'\b(const\s+)?(\w+)\s*&\s*(\w+)\s*\[\s*\]')
FUNCTION = re.compile(r'^(?!return\b)(\w[\w ]*?\s+\w+\s*\([^;{}]*?\))[ \t]*\n[ \t]*\{', re.M)
DEFAULT = re.compile(r'\s*=\s*[^,()]+(?:\([^()]*\))?')
DECL = re.compile(r'^([ \t]*)(?!return\b)(\w+)[ \t]+(\w+[ \t]*\[[ \t]*\](?:[ \t]*,[ \t]*\w+[ \t]*\[[ \t]*\])*)[ \t]*;', re.M)

os.makedirs(sys.argv[1], exist_ok=True)
for src in sys.argv[2:]:  # usage: mql_to_cpp.py OUTDIR FILE.mqh|FILE.mq5...
    text = IMPORT.sub("", open(src, encoding="utf-8-sig").read())
    text = PROPERTY.sub(r"// \1", text)  # a program's properties are the terminal's business
    text = PARAM.sub(lambda m: "%sMqlArray<%s> &%s" % (m.group(1) or "", m.group(2), m.group(3)), text)
    text = DECL.sub(lambda m: m.group(1) + " ".join("MqlArray<%s> %s;" % (m.group(2), n.split("[")[0].strip())
                                                    for n in m.group(3).split(",")), text)
    if src.endswith(".mq5"):  # a program may call a function defined further down: declare them all first
        heads = FUNCTION.findall(text)
        text = FUNCTION.sub(lambda m: DEFAULT.sub("", m.group(1)) + m.group(0)[len(m.group(1)):], text)
        text += "\n" if text.endswith("\n") else ""
        at = max(m.end() for m in re.finditer(r'^[ \t]*#include[^\n]*', text, re.M)) + 1
        text = text[:at] + "".join(h + ";\n" for h in heads) + text[at:]
    with open(os.path.join(sys.argv[1], os.path.basename(src)), "w", encoding="utf-8") as f:
        f.write('#include "mql5_shim.h"\n#line 1 "%s"\n' % src + text)
