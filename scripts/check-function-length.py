#!/usr/bin/env python3
"""Refuses a user-space function whose body (from its opening brace to its closing one) is
longer than 100 lines, unless scripts/long-functions.txt lists it with the reason it stays;
a listed function that is no longer long, or an entry without a reason, is refused too, so
the list only shrinks.

usage: scripts/check-function-length.py [--root ROOT] [--list] [--limit N]
  --list   prints every user-space function over the limit, longest first, and exits 0
"""
import argparse
import os
import re
import sys

FOLDERS = ("repo", "agent", "machine", "jobs", "serve", "nbd", "tools")
EXCEPTIONS = os.path.join("scripts", "long-functions.txt")
SCOPE_KEYWORDS = re.compile(r"^\s*(template\s*<.*>\s*)?(namespace|class|struct|union|enum|extern)\b", re.S)
CTOR_INIT = re.compile(r"\)\s*(noexcept\s*)?:(?!:)")
NAME = re.compile(r"((?:~?[A-Za-z_]\w*\s*::\s*)*(?:operator\s*\S+?|~?[A-Za-z_]\w*))\s*\($")


def blank(text):
    """The text with comments, strings and character literals blanked out, lines kept."""
    out = []
    i, n = 0, len(text)
    while i < n:
        c = text[i]
        if text.startswith("//", i):
            j = text.find("\n", i)
            j = n if j < 0 else j
            out.append(" " * (j - i))
            i = j
        elif text.startswith("/*", i):
            j = text.find("*/", i + 2)
            j = n if j < 0 else j + 2
            out.append(re.sub(r"[^\n]", " ", text[i:j]))
            i = j
        elif c == 'R' and text.startswith('R"', i):
            m = re.match(r'R"([^(]*)\(', text[i:])
            end = text.find(")" + m.group(1) + '"', i) if m else -1
            j = n if end < 0 else end + len(m.group(1)) + 2
            out.append('""' + re.sub(r"[^\n]", " ", text[i + 2:j]))
            i = j
        elif c in "\"'":
            j = i + 1
            while j < n and text[j] != c and text[j] != "\n":
                j += 2 if text[j] == "\\" else 1
            out.append(c + " " * (min(j, n) - i - 1) + (c if j < n else ""))
            i = j + 1
        else:
            out.append(c)
            i += 1
    return "".join(out)


def matching(text, i):
    """The index of the brace that closes the one at i."""
    depth = 0
    for j in range(i, len(text)):
        if text[j] == "{":
            depth += 1
        elif text[j] == "}":
            depth -= 1
            if depth == 0:
                return j
    return len(text) - 1


def functions(text):
    """(name, first line, length in lines) of each function body outside other functions."""
    code = blank(text)
    found = []
    seg_start = 0
    i = 0
    while i < len(code):
        c = code[i]
        if c in ";}":
            seg_start = i + 1
        elif c == "{":
            seg = code[seg_start:i]
            if "(" not in seg or SCOPE_KEYWORDS.match(seg) or "=" in seg.split("(")[0]:
                if SCOPE_KEYWORDS.match(seg) or "(" not in seg and "=" not in seg:
                    seg_start = i + 1  # a namespace's or a class's body: look inside it
                else:
                    i = matching(code, i)  # an initializer
                    seg_start = i + 1
            elif CTOR_INIT.search(seg) and re.search(r"[\w>]\s*$", seg):
                i = matching(code, i)  # a member's braced initializer in a constructor
            else:
                end = matching(code, i)
                head = seg[:seg.find("(") + 1] if "(" in seg else seg
                m = NAME.search(head.rstrip())
                name = re.sub(r"\s+", "", m.group(1)) if m else "(lambda)"
                first = code.count("\n", 0, i) + 1
                found.append((name, first, code.count("\n", i, end) + 1))
                i = end
                seg_start = i + 1
        i += 1
    return found


def sources(root):
    for folder in FOLDERS:
        for dirpath, _, files in os.walk(os.path.join(root, folder)):
            for f in sorted(files):
                if f.endswith((".cpp", ".h")):
                    path = os.path.join(dirpath, f)
                    yield os.path.relpath(path, root), path


def read_exceptions(root, problems):
    listed = {}
    path = os.path.join(root, EXCEPTIONS)
    if not os.path.exists(path):
        return listed
    with open(path) as f:
        for number, line in enumerate(f, 1):
            if not line.strip() or line.startswith("#"):
                continue
            entry, _, reason = line.partition("#")
            fields = entry.split()
            if len(fields) != 2 or not reason.strip():
                problems.append(f"{EXCEPTIONS}:{number}: an entry is 'file function  # why it stays long'")
                continue
            listed[tuple(fields)] = number
    return listed


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--root", default=os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
    ap.add_argument("--limit", type=int, default=100)
    ap.add_argument("--list", action="store_true")
    args = ap.parse_args()
    long = []
    for rel, path in sources(args.root):
        with open(path, errors="replace") as f:
            text = f.read()
        long += [(n, rel, name, line) for name, line, n in functions(text) if n > args.limit]
    if args.list:
        for n, rel, name, line in sorted(long, reverse=True):
            print(f"{n:5d} {rel}:{line} {name}")
        return 0
    problems = []
    listed = read_exceptions(args.root, problems)
    seen = set()
    for n, rel, name, line in long:
        seen.add((rel, name))
        if (rel, name) not in listed:
            problems.append(f"{rel}:{line}: {name} is {n} lines, over {args.limit}: split it into "
                            f"named steps, or list it in {EXCEPTIONS} with the reason it stays")
    for key, number in listed.items():
        if key not in seen:
            problems.append(f"{EXCEPTIONS}:{number}: {key[0]} {key[1]} is no longer over "
                            f"{args.limit} lines (or gone): remove the entry")
    for p in problems:
        print(p, file=sys.stderr)
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
