#!/usr/bin/env python3
"""The source checks CI runs before it builds: the 2.6.9-names check and the layers check,
each on small trees made for the case, and the names check on the project itself."""
import os
import shutil
import subprocess
import sys
import tempfile
import textwrap
import unittest

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
NAMES = os.path.join(ROOT, "scripts", "check-kernel-names.py")
LAYERS = os.path.join(ROOT, "scripts", "check-layers.sh")

KERNEL_H = """\
#define KERN_ERR "<3>"
typedef struct { int counter; } atomic_t;
int printk(const char *fmt, ...);
#define cmpxchg(p, o, n) __cmpxchg((p), (o), (n))
static inline int atomic_cmpxchg(atomic_t *v, int o, int n) { return cmpxchg(&v->counter, o, n); }
"""


class Tree:
    """A module tree in a temporary directory."""

    def __init__(self, files, names=None):
        self.dir = tempfile.mkdtemp(prefix="kestrel-checks-")
        files = dict(files)
        files.setdefault("platform/kernel.h", KERNEL_H)
        for rel, text in files.items():
            path = os.path.join(self.dir, rel)
            os.makedirs(os.path.dirname(path), exist_ok=True)
            with open(path, "w") as f:
                f.write(textwrap.dedent(text))
        if names is not None:
            with open(os.path.join(self.dir, "platform/linux-2.6.9-names.txt"), "w") as f:
                f.write("# test list\n" + "".join(f"{n} {w}\n" for n, w in names.items()))

    def names(self, *args):
        return subprocess.run([sys.executable, NAMES, "--root", self.dir, *args],
                              capture_output=True, text=True)

    def layers(self):
        return subprocess.run(["bash", LAYERS, self.dir], capture_output=True, text=True)

    def read(self, rel):
        with open(os.path.join(self.dir, rel)) as f:
            return f.read()

    def close(self):
        shutil.rmtree(self.dir)


class KernelNamesTest(unittest.TestCase):
    def check(self, files, names):
        tree = Tree(files, names)
        self.addCleanup(tree.close)
        return tree, tree.names()

    def test_the_project_passes(self):
        r = subprocess.run([sys.executable, NAMES], capture_output=True, text=True)
        self.assertEqual(r.returncode, 0, r.stderr)

    def test_a_name_2_6_9_lacks_is_refused_until_the_version_layer_defines_it(self):
        user = {"cow/cache.cpp": """\
            #include "platform/kernel.h"
            int swap(atomic_t *v) { return atomic_cmpxchg(v, 0, 1); }
            """}
        listed = {"atomic_t": "include/asm-i386/atomic.h"}
        _, r = self.check(user, listed)
        self.assertEqual(r.returncode, 1)
        self.assertIn("atomic_cmpxchg is not a Linux 2.6.9 name", r.stderr)
        self.assertIn("cow/cache.cpp", r.stderr)

        # Built in platform/ from 2.6.9's cmpxchg: the module's own, and cmpxchg is checked.
        user["platform/shim.h"] = """\
            static inline int atomic_cmpxchg(atomic_t *v, int old, int n)
            { return cmpxchg(&v->counter, old, n); }
            """
        _, r = self.check(user, listed)
        self.assertIn("cmpxchg is not a Linux 2.6.9 name", r.stderr)
        self.assertNotIn("atomic_cmpxchg", r.stderr)
        _, r = self.check(user, dict(listed, cmpxchg="header"))
        self.assertEqual(r.returncode, 0, r.stderr)

    def test_a_listed_name_no_longer_used_fails_and_update_drops_it(self):
        tree, r = self.check({"module/a.cpp": "int f(void) { return printk(\"x\"); }\n"},
                             {"printk": "exported", "kfree": "exported"})
        self.assertEqual(r.returncode, 1)
        self.assertIn("kfree is listed", r.stderr)
        self.assertEqual(tree.names("--update").returncode, 0)
        self.assertEqual(tree.names().returncode, 0)
        self.assertNotIn("kfree", tree.read("platform/linux-2.6.9-names.txt"))

    def test_what_the_module_declares_is_its_own_and_every_other_name_is_a_use(self):
        src = """\
            /* printk_ratelimit in a comment, and in a string: "schedule_timeout" */
            #define SQUARE(x) ((x) * (x))
            enum Fate { FATE_NONE, FATE_NEW = 2 };
            struct page;
            struct Map { struct page **pages; unsigned long flags, used; };
            typedef int (*handler_t)(struct Map *m, int count);
            static int table[4], *cursor;
            static int walk(struct Map *map, int (*visit)(int block), unsigned n)
            {
                unsigned long saved, other = 0;
                int i, total = SQUARE(n) * PAGE_SIZE;
                for (i = 0; i < 4; i++)
                    total += visit(table[i]) + map->used + FATE_NEW;
                if (!total)
                    goto out;
                saved = other * KM_USER0;
                (void)saved;
            out:
                return total + *cursor;
            }
            """
        listed = {"PAGE_SIZE": "header", "KM_USER0": "include/asm-i386/kmap_types.h",
                  "page": "header"}
        _, r = self.check({"blockmap/a.cpp": src}, listed)
        self.assertEqual(r.returncode, 0, r.stderr)
        # A product is not a declaration: PAGE_SIZE and KM_USER0 are uses.
        _, r = self.check({"blockmap/a.cpp": src}, {"page": "header"})
        self.assertIn("PAGE_SIZE is not", r.stderr)
        self.assertIn("KM_USER0 is not", r.stderr)
        # A struct tag is looked up apart from variables of the same name.
        _, r = self.check({"blockmap/a.cpp": src.replace("struct page;", "int page;")},
                          {"PAGE_SIZE": "header", "KM_USER0": "header"})
        self.assertIn("page is not", r.stderr)

    def test_build_macros_are_the_modules_and_other_tested_macros_are_uses(self):
        files = {
            "CMakeLists.txt": "target_compile_definitions(kestrel_module PUBLIC\n  KES_BUILD=7)\n",
            "module/a.cpp": "#if KES_BUILD && CONFIG_SMP\nint x;\n#endif\n",
        }
        _, r = self.check(files, {})
        self.assertIn("CONFIG_SMP is not", r.stderr)
        self.assertNotIn("KES_BUILD", r.stderr)

    def test_update_sorts_names_by_where_2_6_9_has_them(self):
        tree = Tree({"module/a.cpp": "void f(atomic_t *v) { kfree(v); printk(KERN_ERR); nosuch(); }\n"},
                    {"atomic_t": "include/asm-i386/atomic.h  # typedef of an unnamed struct"})
        self.addCleanup(tree.close)
        lists = os.path.join(tree.dir, "lists")
        os.makedirs(lists)
        with open(os.path.join(lists, "exported-symbols.txt"), "w") as f:
            f.write("kfree\nprintk\n")
        with open(os.path.join(lists, "header-names.txt"), "w") as f:
            f.write("KERN_ERR\nkfree\n")
        r = tree.names("--update", lists)
        self.assertEqual(r.returncode, 1)
        self.assertIn("nosuch is not a 2.6.9 name", r.stderr)
        text = tree.read("platform/linux-2.6.9-names.txt")
        rows = {line.split()[0]: line.split(None, 1)[1] for line in text.splitlines()
                if line and not line.startswith("#")}
        self.assertEqual(rows, {"atomic_t": "include/asm-i386/atomic.h  # typedef of an unnamed struct",
                                "kfree": "exported", "KERN_ERR": "header", "printk": "exported"})


class LayersTest(unittest.TestCase):
    def test_the_module_may_not_include_the_simulated_kernel_or_the_tests(self):
        for header in ("sim/lockdep.h", "sim/machine.h", "tests/support/fixture.h"):
            tree = Tree({"blockmap/a.cpp": f'#include "platform/kernel.h"\n#include "{header}"\n'})
            self.addCleanup(tree.close)
            r = tree.layers()
            self.assertEqual(r.returncode, 1, header)
            self.assertIn(f"includes {header}, which is not the module's", r.stderr)
        tree = Tree({"blockmap/a.cpp": '#include "platform/kernel.h"\n'})
        self.addCleanup(tree.close)
        self.assertEqual(tree.layers().returncode, 0)


class TestsReadmeTest(unittest.TestCase):
    def test_the_folder_table_names_every_test_folder_and_no_other(self):
        import re
        with open(os.path.join(ROOT, "tests", "README.md")) as f:
            text = f.read()
        table = [line for line in text.splitlines() if line.startswith("| `")]
        named = set()
        for row in table:
            first_cell = row.split("|")[1]
            named |= {n.rstrip("/") for n in re.findall(r"`([^`]+/)`", first_cell)}
        tests = os.path.join(ROOT, "tests")
        folders = {d for d in os.listdir(tests) if os.path.isdir(os.path.join(tests, d))}
        folders.add("../fuzz")
        self.assertEqual(named, folders)


if __name__ == "__main__":
    unittest.main()
