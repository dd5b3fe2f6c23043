#!/usr/bin/env python3
# The library's exports against include/movu_mt5.h: --binary exports exactly its names. With no MQL5
# compiler here, --mqh/--examples read the #import "movu_mt5.dll" block (same names, types that pass each C
# parameter) and check every Movu_ call of the include and the .mq5 examples against it.
import argparse
import os
import re
import subprocess
import sys

# A string is passed as a copy, so a buffer the library writes must be an array.
ACCEPTED = {
    "const movu_char16*": {"string", "const ushort&[]", "const short&[]"}, "movu_char16*": {"ushort&[]", "short&[]"},
    "const char*": {"const uchar&[]", "const char&[]", "uchar&[]", "char&[]"}, "char*": {"uchar&[]", "char&[]"},
    "int32_t": {"int"}, "int32_t*": {"int&"}, "int64_t": {"long"},
}
C_RETURNS = {"void": "void", "int32_t": "int"}
LOCAL_HOSTS = {"127.0.0.1", "localhost", "[::1]"}
# An example may reach these setters through CMovuClient (which skips the DLL in the tester).
SETTERS = {"Movu_SetBaseUrl": r"\.SetBaseUrls?\s*\(", "Movu_SetTerminalDataPath": r"\.\w*TerminalDataPath\s*\("}
# A string literal first, so "//" inside one is not taken for a comment.
TOKENS = re.compile(r'"(?:\\.|[^"\\\n])*"|\'(?:\\.|[^\'\\\n])*\'|//[^\n]*|/\*.*?\*/', re.S)


def strip(text, strings=True):
    """Blanks comments (and string contents when strings), keeping line numbers."""

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


def param_type(param):
    """'const char* url' -> 'const char*', 'const uchar &url[]' -> 'const uchar&[]'; defaults dropped."""
    m = re.fullmatch(r"\s*(.*?)\s*\w+\s*(\[\s*\])?\s*(=.*)?", param)
    return re.sub(r"\s*([&*])\s*", r"\1", m.group(1)) + ("[]" if m.group(2) else "") if m else param


def declarations(code, pattern):
    """[(name, return, [parameter types])] of each match of pattern (return, name, parameters)."""
    out = []
    for m in re.finditer(pattern, code):
        inner = " ".join(m.group(3).split())
        types = [param_type(p) for p in inner.split(",")] if inner not in ("", "void") else []
        out.append((m.group(2), C_RETURNS.get(m.group(1), m.group(1)), types))
    return out


def header(path):
    decls = declarations(strip(read_source(path)), r"MOVU_API\s+(\w+)\s+MOVU_CALL\s+(Movu_\w+)\s*\(([^)]*)\)")
    return {name: (ret, types) for name, ret, types in decls}


def exports(binary, objdump="objdump"):
    run = lambda *cmd: subprocess.run(cmd, check=True, capture_output=True, text=True).stdout
    if not binary.lower().endswith(".dll"):
        return {line.split()[-1].split("@")[0] for line in run("nm", "-D", "--defined-only", binary).splitlines()}
    table = run(objdump, "-p", binary).partition("[Ordinal/Name Pointer] Table")[2].split("\n\n")[0]
    return set(re.findall(r"^\s*\[\s*\d+\]\s+(\S+)\s*$", table, re.M))


def differ(what, got, want):
    return [f"{what} lacks {sorted(want - got)}"] * bool(want - got) + [
        f"{what} has names the header does not declare: {sorted(got - want)[:20]}"
    ] * bool(got - want)


def calls(code, label, imports):
    """Each Movu_ call in code (comments and strings blanked) against its import."""
    out = []
    for m in re.finditer(r"\bMovu_\w+(?=\s*\()", code):
        depth, commas, start = 0, 0, code.index("(", m.end())
        for j in range(start, len(code)):
            depth += (code[j] in "([{") - (code[j] in ")]}")
            commas += code[j] == "," and depth == 1
            if depth == 0:
                break
        count = commas + 1 if code[start + 1 : j].strip() else 0
        where = "%s:%d calls %s" % (label, code.count("\n", 0, m.start()) + 1, m.group(0))
        if m.group(0) not in imports:
            out.append(where + ", which the include does not import")
        elif count != len(imports[m.group(0)][1]):
            out.append("%s with %d arguments; it takes %d" % (where, count, len(imports[m.group(0)][1])))
    return out


def check_mqh(path, want):
    """The import block against the header, and the include's own calls."""
    code = strip(read_source(path), strings=False)
    blocks = re.findall(r'^[ \t]*#import[ \t]+"movu_mt5\.dll"(.*?)^[ \t]*#import[ \t]*$', code, re.M | re.S | re.I)
    if len(blocks) != 1:
        return ['expected one #import "movu_mt5.dll" block closed by a bare #import, found %d' % len(blocks)], {}
    found = declarations(blocks[0], r"(\w+)\s+(Movu_\w+)\s*\(([^)]*)\)\s*;")
    imports = {name: (ret, types) for name, ret, types in found}
    out = ["a name is imported twice"] * (len(found) != len(imports))
    out += differ("the import block", set(imports), set(want))
    for name in sorted(set(imports) & set(want)):
        (c_ret, c_types), (q_ret, q_types) = want[name], imports[name]
        if c_ret != q_ret or len(c_types) != len(q_types):
            out.append(f"{name} is {q_ret}({', '.join(q_types)}); the library has {c_ret}({', '.join(c_types)})")
            continue
        out += [f"{name} parameter {i} is '{q}', which does not pass a C '{c}'"
                for i, (c, q) in enumerate(zip(c_types, q_types), 1) if q not in ACCEPTED.get(c, ())]
    return out + calls(strip(read_source(path)), "movu_mt5.mqh", imports), imports


def check_examples(folder, imports):
    out, sources = [], sorted(os.path.join(r, f) for r, _d, fs in os.walk(folder) for f in fs if f.endswith(".mq5"))
    for source in sources:
        label, text = os.path.relpath(source, folder), read_source(source)
        code, plain = strip(text, strings=False), strip(text)
        out += calls(plain, label, imports)
        out += [label + " does not include movu_mt5.mqh"] * (not re.search(r'#include\s*[<"]movu_mt5\.mqh[>"]', code))
        out += [f"{label} never calls {n}" for n, w in SETTERS.items() if not re.search(rf"\b{n}\s*\(|{w}", plain)]
        out += [f"{label} names the host {h}; examples use the local development service"
                for h in re.findall(r"https?://([^/:\"'\s]+)", code) if h not in LOCAL_HOSTS]
    return out + ["no .mq5 example found under " + folder] * (not sources)


def report(groups):
    for name, fails in groups:
        print("\n".join("FAIL [%s] %s" % (name, f) for f in fails) or f"{name}: passed")
    return 1 if any(f for _n, f in groups) else 0


def main():
    ap = argparse.ArgumentParser()
    for option in ("--header", "--binary", "--mqh", "--examples"):
        ap.add_argument(option)
    ap.add_argument("--objdump", default="objdump")
    args = ap.parse_args()
    want, groups = header(args.header), []  # an unreadable header leaves every name unmatched
    if args.binary:
        groups.append(("exports", differ(args.binary, exports(args.binary, args.objdump), set(want))))
    if args.mqh:
        problems, imports = check_mqh(args.mqh, want)
        groups += [("import_block", problems), ("examples", check_examples(args.examples, imports))]
    return report(groups)


if __name__ == "__main__":
    sys.exit(main())
