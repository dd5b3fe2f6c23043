#!/usr/bin/env python3
"""The library's layers point down only. Each folder of src/ is a layer; a
file may include its own layer's headers and those of the layers below it:

    platform <- api <- settings <- transport <- token <- requests <- jobs

platform/ includes nothing of the core, include/ nothing of the library, and
the movu host (tools/movu) reaches the library through include/ alone.
Prints each include that points up and exits 1 when there is one."""
import os
import re
import sys

LAYERS = ["platform", "api", "settings", "transport", "token", "requests", "jobs"]
INCLUDE = re.compile(r'^\s*#\s*include\s*"([^"]+)"', re.M)


def sources(folder):
    for root, _dirs, files in os.walk(folder):
        for name in sorted(files):
            if name.endswith((".h", ".cpp")):
                yield os.path.join(root, name)


def includes(path):
    text = open(path, encoding="utf-8").read()
    for m in INCLUDE.finditer(text):
        yield text.count("\n", 0, m.start()) + 1, m.group(1)


def check(root):
    problems = []
    src = os.path.join(root, "src")
    for path in sources(src):
        layer = os.path.relpath(path, src).split(os.sep)[0]
        if layer not in LAYERS:
            problems.append(f"{os.path.relpath(path, root)}: src/{layer}/ is no layer")
            continue
        for line, target in includes(path):
            head = target.split("/")[0]
            if target == "movu_mt5.h" and layer != "platform":
                continue
            if head in LAYERS and LAYERS.index(head) <= LAYERS.index(layer):
                continue
            problems.append(f"{os.path.relpath(path, root)}:{line}: {layer}/ includes \"{target}\"")
    for path in sources(os.path.join(root, "include")):
        problems += [f"{os.path.relpath(path, root)}:{line}: includes \"{t}\"" for line, t in includes(path)]
    movu = os.path.join(root, "tools", "movu")
    for path in sources(movu):
        for line, target in includes(path):
            if target != "movu_mt5.h" and not os.path.isfile(os.path.join(movu, target)):
                problems.append(f"{os.path.relpath(path, root)}:{line}: the movu host includes \"{target}\"")
    return problems


def main():
    root = sys.argv[1] if len(sys.argv) > 1 else os.path.join(os.path.dirname(__file__), "..")
    problems = check(os.path.abspath(root))
    print("\n".join(problems) or "layers: every include points down")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
