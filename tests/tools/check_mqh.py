#!/usr/bin/env python3
"""Checks the MQL5 include against the C header and the built library.

There is no MQL5 compiler on the build machines, so this reads the include's
`#import "movu_mt5.dll"` block and compares every declaration with
include/movu_mt5.h: the name, the number of parameters, the kind of each
parameter as it crosses the boundary (UTF-16 text, 8-bit text or buffer,
UTF-16 buffer, int, int out, 64-bit int) and the return type. The names are
also compared with the export table of the library file. Finally every call of
a Movu_ function in the include's own code and in the MQL5 examples must name
an import and pass the number of arguments it declares.

Each group of checks becomes one testcase of the JUnit report. The last group
breaks copies of the include and of the export list on purpose and makes sure
the other groups notice, so the check cannot quietly decay into one that
passes everything.
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

UTF16_TEXT = "UTF-16 text"
BYTES = "8-bit text or buffer"
UTF16_BUFFER = "UTF-16 buffer"
INT = "int"
INT_OUT = "int out"
INT64 = "64-bit int"

# How the include spells each kind; used to break copies on purpose.
MQL_SPELLING = {
    UTF16_TEXT: "string {0}",
    BYTES: "uchar &{0}[]",
    UTF16_BUFFER: "ushort &{0}[]",
    INT: "int {0}",
    INT_OUT: "int &{0}",
    INT64: "long {0}",
}

IMPORT_DLL = "movu_mt5.dll"
LOCAL_HOSTS = {"127.0.0.1", "localhost", "[::1]"}


class Param:
    def __init__(self, kind, writable, name, span):
        self.kind, self.writable, self.name, self.span = kind, writable, name, span


class Decl:
    def __init__(self, name, ret, params, line):
        self.name, self.ret, self.params, self.line = name, ret, params, line


# ---- text helpers ------------------------------------------------------------

def blank_comments_and_strings(text):
    """Returns two texts of the same length as text: one with comments blanked,
    one with comments and the contents of string and character literals
    blanked. Newlines are kept, so offsets and line numbers stay valid."""
    no_comments, no_strings = [], []
    i, n = 0, len(text)
    while i < n:
        c = text[i]
        if text.startswith("//", i):
            j = text.find("\n", i)
            j = n if j < 0 else j
            no_comments.append(" " * (j - i))
            no_strings.append(" " * (j - i))
            i = j
        elif text.startswith("/*", i):
            j = text.find("*/", i + 2)
            j = n if j < 0 else j + 2
            blank = re.sub(r"[^\n]", " ", text[i:j])
            no_comments.append(blank)
            no_strings.append(blank)
            i = j
        elif c in "\"'":
            j = i + 1
            while j < n and text[j] != c and text[j] != "\n":
                j += 2 if text[j] == "\\" else 1
            j = min(j + 1, n)
            no_comments.append(text[i:j])
            no_strings.append(c + " " * max(0, j - i - 2) + (c if j - i >= 2 else ""))
            i = j
        else:
            no_comments.append(c)
            no_strings.append(c)
            i += 1
    return "".join(no_comments), "".join(no_strings)


def read_source(path):
    """MetaEditor saves sources as UTF-8 or as UTF-16 with a byte order mark."""
    raw = open(path, "rb").read()
    if raw[:2] in (b"\xff\xfe", b"\xfe\xff"):
        return raw.decode("utf-16").replace("\r\n", "\n")
    return raw.decode("utf-8-sig").replace("\r\n", "\n")


def line_of(text, offset):
    return text.count("\n", 0, offset) + 1


def split_params(inner, base):
    """Splits a parameter list at top-level commas; yields (text, start, end)
    with offsets into the whole text (base is the offset of inner)."""
    if inner.strip() in ("", "void"):
        return []
    parts, depth, start = [], 0, 0
    for i, c in enumerate(inner):
        if c in "([{":
            depth += 1
        elif c in ")]}":
            depth -= 1
        elif c == "," and depth == 0:
            parts.append((start, i))
            start = i + 1
    parts.append((start, len(inner)))
    out = []
    for s, e in parts:
        piece = inner[s:e]
        lead = len(piece) - len(piece.lstrip())
        trail = len(piece.rstrip())
        out.append((piece.strip(), base + s + lead, base + s + trail))
    return out


# ---- the C header ------------------------------------------------------------

C_RETURNS = {"void": "void", "int32_t": "int"}


def classify_c_param(text):
    m = re.fullmatch(r"(const\s+)?(\w+)\s*(\*?)\s*(\w+)", " ".join(text.split()))
    if not m:
        return None, False, text
    const, base, ptr, name = bool(m.group(1)), m.group(2), bool(m.group(3)), m.group(4)
    if base == "movu_char16" and ptr:
        return (UTF16_TEXT, False, name) if const else (UTF16_BUFFER, True, name)
    if base == "char" and ptr:
        return BYTES, not const, name
    if base == "int32_t":
        return (INT_OUT, True, name) if ptr else (INT, False, name)
    if base == "int64_t" and not ptr:
        return INT64, False, name
    return None, False, name


def parse_header(text):
    """Returns (declarations by name, problems)."""
    code, _ = blank_comments_and_strings(text)
    decls, problems = {}, []
    for m in re.finditer(r"MOVU_API\s+(\w+)\s+MOVU_CALL\s+(Movu_\w+)\s*\(([^)]*)\)\s*;", code):
        ret, name = m.group(1), m.group(2)
        params = []
        for ptext, s, e in split_params(m.group(3), m.start(3)):
            kind, writable, pname = classify_c_param(ptext)
            if kind is None:
                problems.append("header: %s: parameter '%s' has a type this check does not know" % (name, ptext))
            params.append(Param(kind, writable, pname, (s, e)))
        if ret not in C_RETURNS:
            problems.append("header: %s returns '%s', a type this check does not know" % (name, ret))
        if name in decls:
            problems.append("header declares %s twice" % name)
        decls[name] = Decl(name, C_RETURNS.get(ret, ret), params, line_of(code, m.start()))
    if not decls:
        problems.append("header: no MOVU_API ... MOVU_CALL Movu_...() declaration found")
    return decls, problems


# ---- the MQL5 include ---------------------------------------------------------

def classify_mql_param(text):
    """Returns (kind, writable, name, note); kind None when the spelling is not
    one the boundary accepts."""
    t = " ".join(text.split("=")[0].split())
    m = re.fullmatch(r"(const\s+)?(\w+)\s*(&)?\s*(\w+)\s*(\[\s*\])?", t)
    if not m:
        return None, False, text, "cannot read parameter '%s'" % text
    const, base, ref, name, arr = bool(m.group(1)), m.group(2), bool(m.group(3)), m.group(4), bool(m.group(5))
    if arr and not ref:
        return None, False, name, "array parameter '%s' is not passed by reference" % text
    if arr:
        if base in ("uchar", "char"):
            return BYTES, not const, name, None
        if base in ("ushort", "short"):
            return (UTF16_TEXT, False, name, None) if const else (UTF16_BUFFER, True, name, None)
        return "%s array" % base, not const, name, None
    if base == "string":
        if ref:
            return "string by reference", True, name, None
        return UTF16_TEXT, False, name, None
    if base == "int":
        return (INT_OUT, True, name, None) if ref else (INT, False, name, None)
    if base == "long" and not ref:
        return INT64, False, name, None
    return base + (" by reference" if ref else ""), ref, name, None


def parse_mqh(text):
    """Returns (declarations by name, problems, code outside the import block
    with comments and string contents blanked)."""
    code, plain = blank_comments_and_strings(text)
    problems = []
    opens = [m for m in re.finditer(r'^[ \t]*#import[ \t]+"([^"]*)"', code, re.M)]
    ours = [m for m in opens if m.group(1).lower() == IMPORT_DLL]
    if len(ours) != 1:
        problems.append('expected exactly one #import "%s" block, found %d' % (IMPORT_DLL, len(ours)))
        return {}, problems, plain
    start = ours[0]
    close = re.compile(r'^[ \t]*#import[ \t]*$', re.M).search(code, start.end())
    next_open = [m for m in opens if m.start() > start.start()]
    if not close or (next_open and next_open[0].start() < close.start()):
        problems.append('the #import "%s" block (line %d) is not closed by a bare #import line'
                        % (IMPORT_DLL, line_of(code, start.start())))
        return {}, problems, plain
    body_start, body_end = start.end(), close.start()
    decls = {}
    pos = body_start
    for stmt in code[body_start:body_end].split(";"):
        s_off = pos
        pos += len(stmt) + 1
        if not stmt.strip():
            continue
        m = re.fullmatch(r"\s*(\w+)\s+(\w+)\s*\((.*)\)\s*", stmt, re.S)
        line = line_of(code, s_off + len(stmt) - len(stmt.lstrip()))
        if not m:
            problems.append("line %d: cannot read the declaration '%s'" % (line, " ".join(stmt.split())))
            continue
        ret, name = m.group(1), m.group(2)
        params = []
        for ptext, ps, pe in split_params(m.group(3), s_off + m.start(3)):
            kind, writable, pname, note = classify_mql_param(ptext)
            if note:
                problems.append("line %d: %s: %s" % (line, name, note))
            params.append(Param(kind, writable, pname, (ps, pe)))
        if ret not in ("int", "void"):
            problems.append("line %d: %s returns '%s'; imports of this library return int or void"
                            % (line, name, ret))
        if name in decls:
            problems.append("line %d: %s is declared twice" % (line, name))
        decls[name] = Decl(name, ret, params, line)
    if not decls:
        problems.append('the #import "%s" block declares nothing' % IMPORT_DLL)
    rest = plain[:start.start()] + " " * (body_end - start.start()) + plain[body_end:]
    return decls, problems, rest


# ---- comparisons ----------------------------------------------------------------

def compare_names(header, mqh):
    out = []
    for name in sorted(set(header) - set(mqh)):
        out.append("%s is declared in the header but not imported by the include" % name)
    for name in sorted(set(mqh) - set(header)):
        out.append("%s (line %d) is imported by the include but not declared in the header"
                   % (name, mqh[name].line))
    return out


def compare_signatures(header, mqh):
    out = []
    for name in sorted(set(header) & set(mqh)):
        c, q = header[name], mqh[name]
        where = "%s (line %d)" % (name, q.line)
        if c.ret != q.ret:
            out.append("%s returns %s; the library returns %s" % (where, q.ret, c.ret))
        if len(c.params) != len(q.params):
            out.append("%s takes %d parameters; the library takes %d" % (where, len(q.params), len(c.params)))
            continue
        for i, (cp, qp) in enumerate(zip(c.params, q.params), 1):
            if cp.kind != qp.kind:
                out.append("%s parameter %d (%s) is %s; the library's %s is %s"
                           % (where, i, qp.name, qp.kind, cp.name, cp.kind))
            elif cp.writable and not qp.writable:
                out.append("%s parameter %d (%s) is declared const, but the library writes into it"
                           % (where, i, qp.name))
    return out


def compare_exports(exported, mqh):
    out = []
    exported = set(exported)
    if not exported:
        return ["the library file exports no name"]
    for name in sorted(set(mqh) - exported):
        out.append("%s (line %d) is imported but the library does not export it" % (name, mqh[name].line))
    for name in sorted(n for n in exported - set(mqh) if n.startswith("Movu_")):
        out.append("the library exports %s, which the include does not import" % name)
    return out


def find_calls(code):
    """Yields (name, argument count, offset) for each Movu_ call in code whose
    comments and string contents are already blanked."""
    for m in re.finditer(r"\bMovu_\w+(?=\s*\()", code):
        i = code.index("(", m.end())
        depth, args, seen, j = 0, 0, False, i
        while j < len(code):
            c = code[j]
            if c in "([{":
                depth += 1
            elif c in ")]}":
                depth -= 1
                if depth == 0:
                    break
            elif c == "," and depth == 1:
                args += 1
            elif depth >= 1 and not c.isspace():
                seen = True
            j += 1
        yield m.group(0), (args + 1 if seen else 0), m.start()


def check_calls(code, label, mqh):
    out = []
    for name, count, off in find_calls(code):
        if name not in mqh:
            out.append("%s:%d calls %s, which the include does not import" % (label, line_of(code, off), name))
        elif count != len(mqh[name].params):
            out.append("%s:%d calls %s with %d arguments; it takes %d"
                       % (label, line_of(code, off), name, count, len(mqh[name].params)))
    return out


def check_examples(folder, mqh, wrapper_code):
    out = check_calls(wrapper_code, "movu_mt5.mqh", mqh)
    examples = []
    for root, _dirs, files in os.walk(folder):
        examples += [os.path.join(root, f) for f in sorted(files) if f.endswith(".mq5")]
    if not examples:
        return out + ["no .mq5 example found under %s" % folder]
    for path in sorted(examples):
        label = os.path.relpath(path, folder)
        text = read_source(path)
        code, plain = blank_comments_and_strings(text)
        out += check_calls(plain, label, mqh)
        if not re.search(r'#include\s*[<"]movu_mt5\.mqh[>"]', code):
            out.append("%s does not include movu_mt5.mqh" % label)
        called = {name for name, _c, _o in find_calls(plain)}
        for needed in ("Movu_SetBaseUrl", "Movu_SetTerminalDataPath"):
            if needed not in called:
                out.append("%s never calls %s" % (label, needed))
        for host in re.findall(r"https?://([^/:\"'\s]+)", code):
            if host not in LOCAL_HOSTS:
                out.append("%s names the host %s; examples use the local development service" % (label, host))
    return out


# ---- making sure the comparisons can fail -----------------------------------------

# How the terminal passes each MQL5 spelling, against the C parameter it meets.
ABI_PAIRS = [
    ("const movu_char16* p", "string p"),
    ("movu_char16* p", "ushort &p[]"),
    ("const char* p", "const uchar &p[]"),
    ("char* p", "uchar &p[]"),
    ("int32_t p", "int p"),
    ("int32_t* p", "int &p"),
    ("int64_t p", "long p"),
]
# Spellings that compile but break at run time: a string is passed as a copy,
# so the library's writes are lost; a value where a pointer is expected, or a
# 32-bit value where 64 bits are expected, shifts or corrupts the arguments.
ABI_MISMATCHES = [
    ("movu_char16* p", "string p"),
    ("movu_char16* p", "string &p"),
    ("char* p", "ushort &p[]"),
    ("const movu_char16* p", "const uchar &p[]"),
    ("int32_t* p", "int p"),
    ("int64_t p", "int p"),
    ("int64_t p", "datetime p"),
    ("int32_t p", "uint p"),
]


def abi_table_problems():
    out = []

    def same(c, q):
        ck, cw, _ = classify_c_param(c)
        qk, qw, _n, _note = classify_mql_param(q)
        return ck is not None and ck == qk and (qw or not cw)

    for c, q in ABI_PAIRS:
        if not same(c, q):
            out.append("'%s' is not taken as matching the library's '%s'" % (q, c))
    for c, q in ABI_MISMATCHES:
        if same(c, q):
            out.append("'%s' is taken as matching the library's '%s'" % (q, c))
    kinds = [classify_c_param(c)[:2] for c, _q in ABI_PAIRS]
    if len(set(kinds)) != len(kinds):
        out.append("two different C parameter types are classified alike: %s" % kinds)
    return out


def check_sensitivity(mqh_text, header, exported, wrapper_code):
    """Breaks copies on purpose; every break must be reported."""
    out = abi_table_problems()
    mqh, _problems, _rest = parse_mqh(mqh_text)
    kinds = sorted({p.kind for d in header.values() for p in d.params if p.kind})
    order = list(MQL_SPELLING)
    for kind in kinds:
        target = next(((d.name, i) for d in header.values() for i, p in enumerate(d.params)
                       if p.kind == kind and d.name in mqh and i < len(mqh[d.name].params)), None)
        if target is None:
            continue
        name, i = target
        param = mqh[name].params[i]
        wrong = order[(order.index(kind) + 1) % len(order)] if kind in order else INT
        s, e = param.span
        broken = mqh_text[:s] + MQL_SPELLING[wrong].format(param.name) + mqh_text[e:]
        if not compare_signatures(header, parse_mqh(broken)[0]):
            out.append("declaring %s parameter %d as %s went unnoticed" % (name, i + 1, wrong))
    written = next(((d.name, i) for d in header.values() for i, p in enumerate(d.params)
                    if p.kind == BYTES and p.writable and d.name in mqh and i < len(mqh[d.name].params)), None)
    if written:
        name, i = written
        s, e = mqh[name].params[i].span
        broken = mqh_text[:s] + "const uchar &%s[]" % mqh[name].params[i].name + mqh_text[e:]
        if not compare_signatures(header, parse_mqh(broken)[0]):
            out.append("declaring the result buffer of %s const went unnoticed" % name)
    if mqh:
        victim = sorted(mqh)[0]
        fewer = {k: v for k, v in mqh.items() if k != victim}
        if not compare_names(header, fewer):
            out.append("dropping the import of %s went unnoticed" % victim)
        if exported and not compare_exports(sorted(set(exported) - {victim}), mqh):
            out.append("a library without %s went unnoticed" % victim)
        decl = mqh[victim]
        call = "%s(%s)" % (victim, ",".join(["x"] * (len(decl.params) + 1)))
        if not check_calls(wrapper_code + "\n" + call + ";\n", "probe", mqh):
            out.append("a call of %s with one argument too many went unnoticed" % victim)
    else:
        out.append("nothing to break: the include declares no import")
    return out


# ---- driver ---------------------------------------------------------------------------

def library_exports(path, objdump):
    if not os.path.isfile(path):
        raise RuntimeError("library file %s not found" % path)
    if path.lower().endswith(".dll"):
        return check_exports.dll_exports(path, objdump)
    return check_exports.so_exports(path, objdump)


def write_junit(path, groups):
    failed = sum(1 for _n, f in groups if f)
    cases = []
    for name, fails in groups:
        body = ""
        if fails:
            body = '<failure message="%s">%s</failure>' % (
                escape("%d problem(s)" % len(fails), {'"': "&quot;"}), escape("\n".join(fails)))
        cases.append('<testcase classname="mqh_import_block" name="%s">%s</testcase>' % (name, body))
    with open(path, "w", encoding="utf-8") as f:
        f.write('<?xml version="1.0"?>\n<testsuites tests="%d" failures="%d"><testsuite name="mqh_import_block" '
                'tests="%d" failures="%d">%s</testsuite></testsuites>\n'
                % (len(groups), failed, len(groups), failed, "".join(cases)))


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
    mqh_text = read_source(args.mqh)
    mqh, mqh_problems, wrapper_code = parse_mqh(mqh_text)
    try:
        exported = library_exports(args.dll, args.objdump)
        export_problems = compare_exports(exported, mqh)
    except (RuntimeError, OSError, subprocess.CalledProcessError) as e:
        exported, export_problems = [], ["cannot read the export table: %s" % e]

    groups = [("import_block", header_problems + mqh_problems)]
    if mqh and header:
        groups += [
            ("names_match_header", compare_names(header, mqh)),
            ("signatures_match_header", compare_signatures(header, mqh)),
            ("names_match_library", export_problems),
            ("calls_match_imports", check_examples(args.examples, mqh, wrapper_code)),
            ("check_sensitivity", check_sensitivity(mqh_text, header, exported, wrapper_code)),
        ]
    else:
        unread = ["not checked: the import block or the header could not be read (see import_block)"]
        groups += [(name, list(unread)) for name in ("names_match_header", "signatures_match_header",
                                                     "names_match_library", "calls_match_imports",
                                                     "check_sensitivity")]
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
