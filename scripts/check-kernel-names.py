#!/usr/bin/env python3
"""Checks that the module calls only what a Linux 2.6.9 kernel offers a module.

The names the module takes from outside itself are read from its sources: every identifier
a module file uses that no module file declares (platform/kernel.h, the simulated kernel's
side of the door, does not count as a module file). Each must be listed in
platform/linux-2.6.9-names.txt, the subset of 2.6.9's names the module uses. What the module
declares itself, the version layer in platform/ included, is its own; its bodies are scanned
like the rest, so a name the version layer builds must be built from 2.6.9 names.

The list is kept exact: a name it lists that the module no longer uses fails the check too.
--update TREE rewrites it from a directory holding 2.6.9's exported-symbols.txt and
header-names.txt; without TREE it only drops names no longer used.

usage: scripts/check-kernel-names.py [--root ROOT] [--update [TREE]] [--list]
"""
import argparse
import os
import re
import sys

MODULE_DIRS = ["platform", "interface", "base", "blockmap", "shared", "automap", "intercept",
               "reader", "cow", "snapshot", "backup", "module"]
KERNEL_HEADER = "platform/kernel.h"
NAMES_FILE = "platform/linux-2.6.9-names.txt"
# Where the build defines the module's configuration macros.
BUILD_FILE = "CMakeLists.txt"
MODULE_TARGET = "kestrel_module"

# The language's own words: keywords, and what the compiler itself defines.
LANGUAGE = set("""
alignas alignof asm auto bool break case catch char char8_t char16_t char32_t class const
consteval constexpr constinit const_cast continue decltype default delete do double
dynamic_cast else enum explicit export extern false float for friend goto if inline int long
mutable namespace new noexcept nullptr operator private protected public register
reinterpret_cast return short signed sizeof static static_assert static_cast struct switch
template this thread_local throw true try typedef typeid typename union unsigned using
virtual void volatile wchar_t while
__func__ __FILE__ __LINE__ __attribute__ __typeof__ __builtin_expect __builtin_offsetof
defined
""".split())
# Words after which an identifier is used, not declared.
NOT_A_TYPE = set("""
return case goto else do sizeof alignof new delete throw typedef operator using namespace
struct union enum class co_return co_yield co_await
""".split())
BASIC_TYPES = set("void char short int long signed unsigned bool float double auto wchar_t".split())
TYPE_WORDS = BASIC_TYPES | set("""
const volatile static inline extern register constexpr mutable thread_local struct union
enum class typename
""".split())

TOKEN = re.compile(r"""
    (?P<ws>\s+)
  | (?P<comment>//[^\n]*|/\*.*?\*/)
  | (?P<string>[uUL]?(?:"(?:\\.|[^"\\\n])*"|'(?:\\.|[^'\\\n])*'))
  | (?P<number>\.?[0-9](?:[eEpP][+-]|[0-9A-Za-z_.'])*)
  | (?P<ident>[A-Za-z_][A-Za-z0-9_]*)
  | (?P<punct>::|->\*?|\.\.\.|<<=?|>>=?|[-+*/%&|^!=<>]=|&&|\|\||\+\+|--|\#\#|.)
""", re.S | re.X)


class Tok:
    __slots__ = ("kind", "text", "line")

    def __init__(self, kind, text, line):
        self.kind, self.text, self.line = kind, text, line


def lex(text, first_line=1):
    out, line = [], first_line
    for m in TOKEN.finditer(text):
        kind, value = m.lastgroup, m.group()
        if kind in ("ident", "punct", "number", "string"):
            out.append(Tok(kind, value, line))
        line += value.count("\n")
    return out


def logical_lines(text):
    """Splits a file into (line number, text) with continuation lines joined and comments
    blanked, so that a directive is one line."""
    text = re.sub(r"/\*.*?\*/", lambda m: " " * len(m.group()) if "\n" not in m.group()
                  else "\n" * m.group().count("\n"), text, flags=re.S)
    text = re.sub(r"//[^\n]*", "", text)
    lines, start, buf = [], 1, ""
    for n, raw in enumerate(text.split("\n"), 1):
        if not buf:
            start = n
        if raw.endswith("\\"):
            buf += raw[:-1] + " "
            continue
        lines.append((start, buf + raw))
        buf = ""
    if buf:
        lines.append((start, buf))
    return lines


class Scan:
    """What one source file declares and uses."""

    def __init__(self):
        self.declared = set()
        self.uses = []  # (name, line)
        # struct, union and enum tags live apart from other names: "struct bio *bio".
        self.tags = set()
        self.tag_uses = []


def skip_balanced(toks, i, open_, close):
    """Index just past the bracket that closes toks[i] (an opening bracket)."""
    depth = 0
    while i < len(toks):
        if toks[i].text == open_:
            depth += 1
        elif toks[i].text == close:
            depth -= 1
            if depth == 0:
                return i + 1
        i += 1
    return i


def scan_directive(line_no, body, scan):
    m = re.match(r"\s*#\s*(\w+)(.*)", body)
    if not m:
        return
    word, rest = m.group(1), m.group(2)
    if word in ("include", "pragma", "error", "warning", "line", "endif", "else"):
        return
    if word == "define":
        d = re.match(r"\s*([A-Za-z_]\w*)(\(([^)]*)\))?(.*)", rest)
        if not d:
            return
        scan.declared.add(d.group(1))
        params = {p.strip() for p in (d.group(3) or "").split(",")}
        toks = lex(d.group(4), line_no)
        for k, t in enumerate(toks):
            if t.kind != "ident" or t.text in params or t.text in LANGUAGE:
                continue
            if k and toks[k - 1].text in (".", "->", "#", "##"):
                continue
            if k + 1 < len(toks) and toks[k + 1].text == "##":
                continue
            scan.uses.append((t.text, t.line))
        return
    # #if, #ifdef, #ifndef, #elif, #undef: the names they test are uses.
    for t in lex(rest, line_no):
        if t.kind == "ident" and t.text not in LANGUAGE:
            scan.uses.append((t.text, t.line))


def scan_code(toks, scan):
    n = len(toks)
    local = set()  # parameters: the file's own, not names of the module
    i = 0
    enum_depth = []  # brace depths at which an enum body is open
    depth = 0
    brackets = 0  # every bracket open
    decl_at = None  # bracket depth of the declaration being read ("int a, b;")
    while i < n:
        t = toks[i]
        text = t.text
        if text == "__attribute__":
            i = skip_balanced(toks, i + 1, "(", ")")
            continue
        if text == "[" and i + 1 < n and toks[i + 1].text == "[":
            i = skip_balanced(toks, i, "[", "]")
            continue
        if text in ("(", "[", "{"):
            brackets += 1
        elif text in (")", "]", "}"):
            brackets -= 1
            if decl_at is not None and brackets < decl_at:
                decl_at = None
        elif text == ";" and decl_at == brackets:
            decl_at = None
        elif text == "," and decl_at == brackets:
            j = i + 1
            while j < n and toks[j].text in ("*", "&", "const"):
                j += 1
            if j < n and toks[j].kind == "ident":
                scan.declared.add(toks[j].text)
                i = j + 1
                continue
        if text == "{":
            depth += 1
        elif text == "}":
            if enum_depth and enum_depth[-1] == depth:
                enum_depth.pop()
            depth -= 1
        if t.kind != "ident":
            i += 1
            continue
        prev = toks[i - 1].text if i else ";"
        nxt = toks[i + 1].text if i + 1 < n else ";"
        if prev in (".", "->", "::") and not (prev == "::" and i >= 2 and toks[i - 2].kind != "ident"):
            # a field, or a name inside a namespace: the qualifier is what is checked
            i += 1
            continue
        if text in LANGUAGE:
            if text in ("enum",):
                # enum [class] [NAME] [: type] { ... }
                j = i + 1
                while j < n and toks[j].text not in ("{", ";", ")", ","):
                    j += 1
                if j < n and toks[j].text == "{":
                    enum_depth.append(depth + 1)
            i += 1
            continue
        # Enumerators.
        if enum_depth and enum_depth[-1] == depth and prev in ("{", ","):
            scan.declared.add(text)
            i += 1
            continue
        # A tag after struct/union/enum/class/namespace is declared when a body follows.
        if prev == "namespace":
            scan.declared.add(text)
            i += 1
            continue
        if prev in ("struct", "union", "enum", "class"):
            if nxt in ("{", ":"):
                scan.tags.add(text)
            else:
                scan.tag_uses.append((text, t.line))
            i += 1
            continue
        # Labels.
        if nxt == ":" and prev in (";", "{", "}") and not (i + 2 < n and toks[i + 2].text == ":"):
            scan.declared.add(text)
            i += 1
            continue
        if is_declarator(toks, i):
            scan.declared.add(text)
            if nxt == "(":
                i = scan_params(toks, i + 1, scan, local)
                continue
            decl_at = brackets
            i += 1
            continue
        # typedef int (*name)(...); and a function-pointer declaration: (*name)
        if prev == "*" and i >= 2 and toks[i - 2].text == "(" and nxt == ")" and \
                i + 2 < n and toks[i + 2].text == "(" and i >= 3 and \
                (toks[i - 3].kind == "ident" and toks[i - 3].text not in NOT_A_TYPE):
            scan.declared.add(text)
            i += 1
            continue
        if text not in local:
            scan.uses.append((text, t.line))
        i += 1


def is_declarator(toks, i):
    """Whether toks[i] is the name in a declaration: it follows a type (an identifier or a
    type word), possibly through '*', '&' and 'const'."""
    j = i - 1
    stars = False
    while j >= 0 and toks[j].text in ("*", "&", "&&", "const", "volatile"):
        stars = stars or toks[j].text != "const"
        j -= 1
    if j < 0:
        return False
    before = toks[j]
    if before.kind != "ident" or before.text in NOT_A_TYPE:
        return False
    if before.text in LANGUAGE and before.text not in BASIC_TYPES:
        return False
    if not stars:
        return True
    # "a * b" is a product unless "a" starts a statement or follows a type word.
    k = j - 1
    while k >= 0 and toks[k].text == "::":
        k -= 2
    if k < 0:
        return True
    lead = toks[k].text
    return lead in (";", "{", "}", ")", ":") or lead in TYPE_WORDS


def scan_params(toks, i, scan, local):
    """Scans a parameter list starting at '(' (toks[i]); its names are local. Returns the
    index past the list."""
    end = skip_balanced(toks, i, "(", ")")
    param_list(toks[i + 1:end - 1], scan, local)
    return end


def param_list(toks, scan, local):
    depth, segment = 0, []
    for t in toks + [Tok("punct", ",", 0)]:
        if t.text in ("(", "[", "{"):
            depth += 1
        elif t.text in (")", "]", "}"):
            depth -= 1
        if t.text == "," and depth == 0:
            param_segment(segment, scan, local)
            segment = []
        else:
            segment.append(t)


def use_all(toks, scan):
    for k, t in enumerate(toks):
        if t.kind == "ident" and t.text not in LANGUAGE and not (k and toks[k - 1].text in (".", "->")):
            scan.uses.append((t.text, t.line))


def param_segment(seg, scan, local):
    # A default value is a use; the name is the last identifier before it, or the one in
    # "(*name)" of a function pointer, whose own parameters are a list of their own.
    eq = next((k for k, t in enumerate(seg) if t.text == "="), None)
    if eq is not None:
        use_all(seg[eq + 1:], scan)
        seg = seg[:eq]
    for k, t in enumerate(seg):
        if t.text == "(" and k + 3 < len(seg) and seg[k + 1].text == "*" and \
                seg[k + 2].kind == "ident" and seg[k + 3].text == ")":
            use_all(seg[:k], scan)
            local.add(seg[k + 2].text)
            rest = seg[k + 4:]
            if rest and rest[0].text == "(":
                param_list(rest[1:skip_balanced(rest, 0, "(", ")") - 1], scan, local)
            return
    name = None
    idents = [k for k, t in enumerate(seg) if t.kind == "ident" and t.text not in LANGUAGE]
    # "int x", "struct page *p": a name after a type; "void", "int *" have none.
    if idents and (len(idents) >= 2 or any(t.text in BASIC_TYPES for t in seg[:idents[-1]])):
        name = idents[-1]
        if seg[name - 1].text in ("struct", "union", "enum"):
            name = None
    for k, t in enumerate(seg):
        if k == name:
            local.add(t.text)
        elif t.kind == "ident" and t.text not in LANGUAGE:
            if k and seg[k - 1].text in ("struct", "union", "enum"):
                scan.tag_uses.append((t.text, t.line))
            else:
                scan.uses.append((t.text, t.line))


def scan_file(path):
    with open(path, encoding="utf-8") as f:
        text = f.read()
    scan = Scan()
    code = []
    for line_no, body in logical_lines(text):
        if re.match(r"\s*#", body):
            scan_directive(line_no, body, scan)
        else:
            code.append((line_no, body))
    toks = []
    for line_no, body in code:
        toks.extend(lex(body, line_no))
    scan_code(toks, scan)
    return scan


def module_files(root):
    files = []
    for d in MODULE_DIRS:
        base = os.path.join(root, d)
        if not os.path.isdir(base):
            continue
        for name in sorted(os.listdir(base)):
            rel = f"{d}/{name}"
            if rel != KERNEL_HEADER and name.endswith((".h", ".cpp")):
                files.append(rel)
    return files


def build_definitions(root):
    """Macros the build defines for the module (its target kernel, its build number)."""
    path = os.path.join(root, BUILD_FILE)
    if not os.path.exists(path):
        return set()
    with open(path, encoding="utf-8") as f:
        text = f.read()
    names = set()
    for m in re.finditer(r"target_compile_definitions\(\s*" + MODULE_TARGET + r"\b([^)]*)\)", text):
        names.update(re.findall(r"(?:^|\s)([A-Za-z_]\w*)(?==|\s|$)", m.group(1)))
    return names - {"PUBLIC", "PRIVATE", "INTERFACE"}


def foreign_names(root):
    """name -> sorted files, for every name the module uses but does not declare."""
    scans = {rel: scan_file(os.path.join(root, rel)) for rel in module_files(root)}
    own = set(build_definitions(root))
    tags = set()
    for s in scans.values():
        own |= s.declared
        tags |= s.tags
    used = {}
    for rel, s in scans.items():
        for name, line in s.uses:
            if name not in own and name not in tags:
                used.setdefault(name, set()).add(f"{rel}:{line}")
        for name, line in s.tag_uses:
            if name not in tags:
                used.setdefault(name, set()).add(f"{rel}:{line}")
    return used


def read_names_file(path):
    """name -> where 2.6.9 has it ("exported", "header", or a header's path, with the note
    that may follow it)."""
    names = {}
    if not os.path.exists(path):
        return names
    with open(path, encoding="utf-8") as f:
        for line in f:
            line = line.strip()
            if line and not line.startswith("#"):
                parts = line.split(None, 1)
                names[parts[0]] = parts[1] if len(parts) > 1 else ""
    return names


def kind_of(where):
    return where.split()[0] if where else ""


HEADER = """\
# The names of Linux 2.6.9 the module uses: every identifier the module's sources take from
# the kernel, read from those sources by scripts/check-kernel-names.py, which fails on a
# name used and not listed here, and on a name listed and no longer used.
#
# Source: an unmodified Linux 2.6.9 tree (SUBLEVEL 9, no vendor patches). "exported": an
# EXPORT_SYMBOL, EXPORT_SYMBOL_GPL or EXPORT_SYMBOL_NOVERS of a .c file of the tree, which
# a module can link against. "header": a #define, static inline function, extern
# declaration, struct/union/enum tag or typedef of include/linux, include/asm-i386 or
# include/asm-generic. A header path instead: a name that header of the tree defines but the
# mechanical extraction of the tree's names misses (a typedef of an unnamed struct or of a
# function type, an enumerator), with the definition in the note. "simulated": a name the
# simulated kernel must have in place of 2.6.9's because it runs in a 64-bit process; the
# note says what 2.6.9 has instead.
#
# Regenerate with: scripts/check-kernel-names.py --update DIR, where DIR holds the tree's
# exported-symbols.txt and header-names.txt; the other entries are kept.
"""


def write_names_file(path, names):
    width = max((len(n) for n in names), default=0) + 2
    with open(path, "w", encoding="utf-8") as f:
        f.write(HEADER)
        for name in sorted(names, key=lambda s: (s.lower(), s)):
            f.write(f"{name.ljust(width)}{names[name]}\n".rstrip() + "\n")


def load_tree(tree):
    sets = {}
    for kind, file in (("exported", "exported-symbols.txt"), ("header", "header-names.txt")):
        with open(os.path.join(tree, file), encoding="utf-8") as f:
            sets[kind] = {line.strip() for line in f if line.strip()}
    return sets


def main(argv):
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--root", default=os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
    ap.add_argument("--update", nargs="?", const="", metavar="TREE",
                    help="rewrite the list from TREE's name lists (or only drop unused names)")
    ap.add_argument("--list", action="store_true", help="print every foreign name and where it is used")
    args = ap.parse_args(argv)
    root = args.root
    names_path = os.path.join(root, NAMES_FILE)
    used = foreign_names(root)
    listed = read_names_file(names_path)

    if args.list:
        for name in sorted(used):
            print(f"{name}: {listed.get(name, '-')}: {', '.join(sorted(used[name]))}")
        return 0

    if args.update is not None:
        tree = load_tree(args.update) if args.update else None
        new, missing = {}, []
        for name in used:
            if tree and name in tree["exported"]:
                new[name] = "exported"
            elif tree and name in tree["header"]:
                new[name] = "header"
            elif name in listed and (tree is None or kind_of(listed[name]) not in ("exported", "header")):
                new[name] = listed[name]
            else:
                missing.append(name)
        write_names_file(names_path, new)
        for name in sorted(missing):
            print(f"kernel names: {name} is not a 2.6.9 name ({', '.join(sorted(used[name]))})",
                  file=sys.stderr)
        return 1 if missing else 0

    status = 0
    for name in sorted(used):
        if name not in listed:
            files = sorted({w.split(":")[0] for w in used[name]})
            print(f"kernel names: {name} is not a Linux 2.6.9 name the module may use "
                  f"(used in {', '.join(files)}; first at {min(used[name])})", file=sys.stderr)
            status = 1
    for name in sorted(set(listed) - set(used)):
        print(f"kernel names: {name} is listed in {NAMES_FILE} but no longer used; "
              f"scripts/check-kernel-names.py --update drops it", file=sys.stderr)
        status = 1
    if status == 0:
        print(f"kernel names: the module uses {len(used)} names of Linux 2.6.9, all listed in {NAMES_FILE}")
    return status


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
