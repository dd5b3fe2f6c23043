#!/usr/bin/env python3
"""Checks the MQL5 include against the C header and the built library.

There is no MQL5 compiler on the build machines, so this compares the include's
`#import "movu_mt5.dll"` block with include/movu_mt5.h (names, return types,
parameter count and how each parameter crosses the boundary) and with the
library's export table, and checks that every Movu_ call in the include's own
code and in the MQL5 examples names an import and passes as many arguments as
it declares. Each group of checks is one testcase of the JUnit report.
"""
import argparse
import os
import re
import shutil
import subprocess
import sys
from xml.sax.saxutils import escape

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import check_exports  # noqa: E402  (export-table readers shared with the export check)

# The MQL5 spellings the terminal passes the way each C parameter type expects.
# A string is passed as a copy, so a buffer the library writes must be an array.
ACCEPTED = {
    "const movu_char16*": {"string", "const ushort&[]", "const short&[]"},
    "movu_char16*": {"ushort&[]", "short&[]"},
    "const char*": {"const uchar&[]", "const char&[]", "uchar&[]", "char&[]"},
    "char*": {"uchar&[]", "char&[]"},
    "int32_t": {"int"},
    "int32_t*": {"int&"},
    "int64_t": {"long"},
}
C_RETURNS = {"void": "void", "int32_t": "int"}
LOCAL_HOSTS = {"127.0.0.1", "localhost", "[::1]"}
# A string literal first, so "//" inside one is not taken for a comment.
TOKENS = re.compile(r'"(?:\\.|[^"\\\n])*"|\'(?:\\.|[^\'\\\n])*\'|//[^\n]*|/\*.*?\*/', re.S)


def strip(text, strings=True):
    """Blanks comments (and string contents when strings) keeping every newline,
    so offsets still give line numbers."""
    def blank(m):
        t = m.group(0)
        if t[0] in "\"'":
            return t[0] + " " * (len(t) - 2) + t[0] if strings else t
        return re.sub(r"[^\n]", " ", t)
    return TOKENS.sub(blank, text)


def read_source(path):
    """MetaEditor saves sources as UTF-8 or as UTF-16 with a byte order mark."""
    raw = open(path, "rb").read()
    text = raw.decode("utf-16") if raw[:2] in (b"\xff\xfe", b"\xfe\xff") else raw.decode("utf-8-sig")
    return text.replace("\r\n", "\n")


def line_of(text, offset):
    return text.count("\n", 0, offset) + 1


def params(inner):
    inner = " ".join(inner.split())
    return [] if inner in ("", "void") else [p.strip() for p in inner.split(",")]


def c_type(param):
    """'const char* url' -> 'const char*'."""
    m = re.fullmatch(r"((?:const )?\w+) ?(\*?) ?\w+", param)
    return m.group(1) + m.group(2) if m else param


def mql_type(param):
    """'const uchar &url[]' -> 'const uchar&[]'; a default value is dropped."""
    m = re.fullmatch(r"((?:const )?\w+) ?(&?) ?\w+ ?(\[ ?\])?", param.split("=")[0].strip())
    return m.group(1) + m.group(2) + ("[]" if m.group(3) else "") if m else param


def parse_header(text):
    """{name: (return, [C types], line)} and problems."""
    code, decls, problems = strip(text), {}, []
    for m in re.finditer(r"MOVU_API\s+(\w+)\s+MOVU_CALL\s+(Movu_\w+)\s*\(([^)]*)\)\s*;", code):
        ret, name, types = m.group(1), m.group(2), [c_type(p) for p in params(m.group(3))]
        problems += ["header: %s: type '%s' is not one this check knows" % (name, t)
                     for t in [ret] + types if t not in C_RETURNS and t not in ACCEPTED]
        if name in decls:
            problems.append("header declares %s twice" % name)
        decls[name] = (C_RETURNS.get(ret, ret), types, line_of(code, m.start()))
    return decls, problems + ([] if decls else ["header: no MOVU_API ... MOVU_CALL Movu_...() declaration"])


def parse_mqh(text):
    """{name: (return, [MQL5 types], line)}, problems, and the code outside the
    import block with comments and string contents blanked."""
    code, plain = strip(text, strings=False), strip(text)
    opens = list(re.finditer(r'^[ \t]*#import[ \t]+"movu_mt5\.dll"', code, re.M | re.I))
    if len(opens) != 1:
        return {}, ['expected one #import "movu_mt5.dll" block, found %d' % len(opens)], plain
    close = re.compile(r'^[ \t]*#import[ \t]*$', re.M).search(code, opens[0].end())
    body_end = close.start() if close else len(code)
    if not close or "#import" in code[opens[0].end():body_end]:
        return {}, ['the #import "movu_mt5.dll" block is not closed by a bare #import line'], plain
    decls, problems, pos = {}, [], opens[0].end()
    for stmt in code[pos:body_end].split(";"):
        line, pos = line_of(code, pos + len(stmt) - len(stmt.lstrip())), pos + len(stmt) + 1
        if not stmt.strip():
            continue
        m = re.fullmatch(r"\s*(\w+)\s+(\w+)\s*\(([^)]*)\)\s*", stmt)
        if not m:
            problems.append("line %d: cannot read the declaration '%s'" % (line, " ".join(stmt.split())))
            continue
        if m.group(2) in decls:
            problems.append("line %d: %s is declared twice" % (line, m.group(2)))
        decls[m.group(2)] = (m.group(1), [mql_type(p) for p in params(m.group(3))], line)
    rest = plain[:opens[0].start()] + re.sub(r"[^\n]", " ", plain[opens[0].start():body_end]) + plain[body_end:]
    return decls, problems + ([] if decls else ["the import block declares nothing"]), rest


def compare_names(header, mqh):
    return (["%s is declared in the header but not imported" % n for n in sorted(set(header) - set(mqh))] +
            ["%s (line %d) is imported but not declared in the header" % (n, mqh[n][2])
             for n in sorted(set(mqh) - set(header))])


def compare_signatures(header, mqh):
    out = []
    for name in sorted(set(header) & set(mqh)):
        (c_ret, c_types, _), (q_ret, q_types, line) = header[name], mqh[name]
        where = "%s (line %d)" % (name, line)
        if c_ret != q_ret:
            out.append("%s returns %s; the library returns %s" % (where, q_ret, c_ret))
        if len(c_types) != len(q_types):
            out.append("%s takes %d parameters; the library takes %d" % (where, len(q_types), len(c_types)))
            continue
        out += ["%s parameter %d is '%s', which does not pass a C '%s'" % (where, i, q, c)
                for i, (c, q) in enumerate(zip(c_types, q_types), 1) if q not in ACCEPTED.get(c, ())]
    return out


def compare_exports(exported, mqh):
    if not exported:
        return ["the library file exports no name"]
    exported = set(exported)
    return (["%s (line %d) is imported but the library does not export it" % (n, mqh[n][2])
             for n in sorted(set(mqh) - exported)] +
            ["the library exports %s, which the include does not import" % n
             for n in sorted(exported - set(mqh)) if n.startswith("Movu_")])


def calls(code):
    """(name, argument count, offset) of each Movu_ call in code that has
    comments and strings blanked; nested brackets hold no top-level comma."""
    for m in re.finditer(r"\bMovu_\w+(?=\s*\()", code):
        depth, commas, start = 0, 0, code.index("(", m.end())
        for j in range(start, len(code)):
            depth += (code[j] in "([{") - (code[j] in ")]}")
            commas += code[j] == "," and depth == 1
            if depth == 0:
                break
        yield m.group(0), (commas + 1 if code[start + 1:j].strip() else 0), m.start()


def check_calls(code, label, mqh):
    out = []
    for name, count, off in calls(code):
        where = "%s:%d calls %s" % (label, line_of(code, off), name)
        if name not in mqh:
            out.append("%s, which the include does not import" % where)
        elif count != len(mqh[name][1]):
            out.append("%s with %d arguments; it takes %d" % (where, count, len(mqh[name][1])))
    return out


def check_examples(folder, mqh, include_code):
    out = check_calls(include_code, "movu_mt5.mqh", mqh)
    examples = sorted(os.path.join(r, f) for r, _d, fs in os.walk(folder) for f in fs if f.endswith(".mq5"))
    if not examples:
        return out + ["no .mq5 example found under %s" % folder]
    for path in examples:
        label, text = os.path.relpath(path, folder), read_source(path)
        code, plain = strip(text, strings=False), strip(text)
        out += check_calls(plain, label, mqh)
        if not re.search(r'#include\s*[<"]movu_mt5\.mqh[>"]', code):
            out.append("%s does not include movu_mt5.mqh" % label)
        called = {name for name, _c, _o in calls(plain)}
        # directly, or through CMovuClient (which skips the DLL in the tester)
        wrapped = {"Movu_SetBaseUrl": r"\.SetBaseUrls?\s*\(",
                   "Movu_SetTerminalDataPath": r"\.(?:SetTerminalDataPath|UseTerminalDataPath)\s*\("}
        out += ["%s never calls %s" % (label, n) for n, w in wrapped.items()
                if n not in called and not re.search(w, plain)]
        out += ["%s names the host %s; examples use the local development service" % (label, h)
                for h in re.findall(r"https?://([^/:\"'\s]+)", code) if h not in LOCAL_HOSTS]
    return out


def write_junit(path, groups):
    failed = sum(1 for _n, f in groups if f)
    cases = "".join(
        '<testcase classname="mqh_import_block" name="%s">%s</testcase>' % (name, (
            '<failure message="%d problem(s)">%s</failure>' % (len(fails), escape("\n".join(fails)))
            if fails else "")) for name, fails in groups)
    with open(path, "w", encoding="utf-8") as f:
        f.write('<?xml version="1.0"?>\n<testsuites tests="%d" failures="%d"><testsuite name="mqh_import_block" '
                'tests="%d" failures="%d">%s</testsuite></testsuites>\n'
                % (len(groups), failed, len(groups), failed, cases))


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--mqh", required=True, help="MQL5/Include/movu_mt5.mqh")
    ap.add_argument("--header", required=True, help="include/movu_mt5.h")
    ap.add_argument("--dll", required=True, help="the built movu_mt5.dll (or libmovu_mt5.so)")
    ap.add_argument("--examples", required=True, help="folder searched for .mq5 examples")
    ap.add_argument("--objdump", default=shutil.which("x86_64-w64-mingw32-objdump") or "objdump")
    ap.add_argument("--junit")
    args = ap.parse_args()

    header, header_problems = parse_header(read_source(args.header))
    mqh, mqh_problems, include_code = parse_mqh(read_source(args.mqh))
    try:
        if not os.path.isfile(args.dll):
            raise OSError("library file %s not found" % args.dll)
        read = check_exports.dll_exports if args.dll.lower().endswith(".dll") else check_exports.so_exports
        export_problems = compare_exports(read(args.dll, args.objdump), mqh)
    except (RuntimeError, OSError, subprocess.CalledProcessError) as e:
        export_problems = ["cannot read the export table: %s" % e]

    groups = [("import_block", header_problems + mqh_problems)]
    checks = [("names_match_header", lambda: compare_names(header, mqh)),
              ("signatures_match_header", lambda: compare_signatures(header, mqh)),
              ("names_match_library", lambda: export_problems),
              ("calls_match_imports", lambda: check_examples(args.examples, mqh, include_code))]
    unread = ["not checked: the import block or the header could not be read (see import_block)"]
    groups += [(name, check() if mqh and header else unread) for name, check in checks]
    if args.junit:
        write_junit(args.junit, groups)
    for name, fails in groups:
        for f in fails:
            print("FAIL [%s] %s" % (name, f))
    bad = [n for n, f in groups if f]
    if bad:
        print("%d of %d groups failed: %s" % (len(bad), len(groups), ", ".join(bad)))
        return 1
    print("include matches header and library: %d imports, %d groups passed" % (len(mqh), len(groups)))
    return 0


if __name__ == "__main__":
    sys.exit(main())
