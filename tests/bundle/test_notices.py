#!/usr/bin/env python3
"""THIRD-PARTY-NOTICES names every runtime archive and start-up object that the static links of
this Windows build's launcher and sfxpack.exe took in, as their linker maps show; the import
libraries of system DLLs and the project's own archives aside.

    test_notices.py <build folder>
"""

import re
import sys
import unittest
from pathlib import Path

BUILD = Path(sys.argv.pop(1)) if len(sys.argv) > 1 else Path("build/win64")
NOTICES = (Path(__file__).resolve().parents[2] / "THIRD-PARTY-NOTICES").read_text()
OWN = {"objects.a", "liblaunchercore.a", "libsfxpackcore.a"}
# Members of a MinGW-w64 import library: its head, tail and one stub per function.
IMPORT_STUB = re.compile(r"^(lib\w+?(h|t|s\d+)|d\d+)\.o$")


def linked(map_text):
    """The runtime parts a map shows: archives with members taken in, and loaded objects."""
    included = map_text.split("Archive member included to satisfy reference by file")[1]
    included = included.split("Memory Configuration")[0]
    members = {}
    for archive, member in re.findall(r"^(\S+\.a)\((.+?)\)\s*$", included, re.M):
        members.setdefault(Path(archive).name, set()).add(member)
    archives = {name for name, taken in members.items()
                if name not in OWN and not all(IMPORT_STUB.match(m) for m in taken)}
    objects = {Path(o).name for o in re.findall(r"^LOAD (\S+\.o)$", map_text, re.M)
               if "CMakeFiles" not in o}
    return archives | objects


class Notices(unittest.TestCase):
    def test_every_linked_part_is_named(self):
        for name in ("launcher.map", "tools/sfxpack.map"):
            parts = linked((BUILD / name).read_text(errors="replace"))
            self.assertIn("libmingw32.a", parts, name)
            self.assertEqual(sorted(p for p in parts if p not in NOTICES), [], name)


if __name__ == "__main__":
    unittest.main(verbosity=2)
