#!/usr/bin/env python3
"""sfxpack list --json on the sample installer: the document has the documented members and
types, and its numbers agree with the installer's own bytes (each file entry's data at its
offset, the CRC-32 over the payload); a damaged copy shows a CRC that does not match.
"""

import json
import subprocess
import sys
import unittest
import zlib
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "e2e"))
import harness  # noqa: E402

INT, STR, BOOL, NULL = "int", "str", "bool", None

# The members of format 1, as the guide describes them: {member: schema}; [schema] a list of
# such; a tuple the alternatives; a set the allowed values.
ENTRY = {"index": INT, "name": (STR, NULL), "kind": {"file", "folder"}, "size": INT,
         "offset": INT, "required": BOOL, "leftInInstaller": BOOL}
IDENTITY = {"icons": [{"width": INT, "height": INT, "bitCount": INT, "bytes": INT}],
            "version": (NULL, {"fileVersion": (STR, NULL), "productVersion": (STR, NULL),
                               "strings": dict}),
            "executionLevel": (NULL, {"asInvoker", "highestAvailable", "requireAdministrator"})}
SCHEMA = {
    "format": {1},
    "file": {"size": INT, "signature": (NULL, {"offset": INT, "size": INT})},
    "footer": {"offset": INT, "packageSize": INT, "crc32": INT},
    "header": {"offset": INT, "version": {0, 1}, "entries": INT},
    "autorun": {"flags": INT, "program": {"native", "java", "javax"}, "pathId": INT,
                "path": (STR, NULL), "argumentsId": INT, "arguments": (STR, NULL)},
    "required": {"allEntries": BOOL, "ids": [INT]},
    "dataOffset": INT,
    "entries": [ENTRY],
    "crc": {"stored": INT, "computed": (INT, NULL), "checked": BOOL, "matches": BOOL},
    "identity": (NULL, IDENTITY),
}
TYPES = {INT: int, STR: str, BOOL: bool}


def mismatch(value, schema, where="$"):
    """Where value departs from schema first; None when it does not."""
    if isinstance(schema, tuple):
        found = [mismatch(value, alternative, where) for alternative in schema]
        return None if None in found else found[0]
    if schema is None:
        return None if value is None else f"{where}: {value!r} is not null"
    if isinstance(schema, set):
        return None if value in schema and type(value) is type(next(iter(schema))) \
            else f"{where}: {value!r} is none of {sorted(schema)}"
    if isinstance(schema, list):
        if not isinstance(value, list):
            return f"{where}: not a list"
        return next(filter(None, (mismatch(v, schema[0], f"{where}[{i}]")
                                  for i, v in enumerate(value))), None)
    if isinstance(schema, dict):
        if not isinstance(value, dict) or list(value) != list(schema):
            return f"{where}: members {list(value) if isinstance(value, dict) else value!r}, " \
                   f"not {list(schema)}"
        return next(filter(None, (mismatch(value[k], schema[k], f"{where}.{k}")
                                  for k in schema)), None)
    if schema is dict:
        return None if isinstance(value, dict) else f"{where}: not an object"
    # bool is an int to Python: the types must be exact.
    return None if type(value) is TYPES[schema] else f"{where}: {value!r} is not {schema}"


class ListJson(unittest.TestCase):
    def listing(self, installer):
        done = subprocess.run([str(harness.sfxpack()), "list", "--json", str(installer)],
                              capture_output=True, stdin=subprocess.DEVNULL, timeout=60)
        self.assertEqual(done.returncode, 0, done.stderr)
        self.assertEqual(done.stderr, b"")
        document = json.loads(done.stdout.decode("ascii"))
        self.assertIsNone(mismatch(document, SCHEMA))
        return document

    def test_sample_installer(self):
        work = harness.scratch_dir(self, "list-json-")
        tree = work / "tree"
        subprocess.run([sys.executable, str(harness.SOURCE_DIR / "scripts" / "sample" /
                                            "make_sample.py"), "--out", str(tree), "--program",
                        sys.executable, "--big-mib", "1"], check=True, stdout=subprocess.DEVNULL)
        installer = work / "sample.run"
        harness.pack(harness.native_launcher(), tree, installer, "installer\\installer.exe",
                     "--folders-twice", "--require", "installer\\*", "--require", "plugins\\*",
                     "--require", "features\\*")
        data = installer.read_bytes()
        doc = self.listing(installer)

        entries = doc["entries"]
        self.assertEqual((doc["header"]["entries"], len(entries)), (589, 589))
        self.assertEqual(doc["footer"]["offset"], len(data) - 8)
        self.assertEqual(doc["header"]["offset"] + doc["footer"]["packageSize"],
                         doc["footer"]["offset"])
        self.assertEqual(doc["autorun"]["path"], "installer\\installer.exe")
        self.assertEqual(sum(e["kind"] == "folder" for e in entries), 154)
        self.assertEqual(sum(e["required"] for e in entries), 513)
        for entry in entries:
            self.assertEqual(entry["leftInInstaller"],
                             not entry["required"] or entry["name"].endswith(".zip"), entry)
            if entry["kind"] == "file":
                path = tree / entry["name"].replace("\\", "/")
                self.assertEqual(data[entry["offset"]:entry["offset"] + entry["size"]],
                                 path.read_bytes(), entry["name"])
        payload = data[doc["header"]["offset"]:doc["footer"]["offset"]]
        self.assertEqual(doc["crc"], {"stored": zlib.crc32(payload), "computed": zlib.crc32(
            payload), "checked": True, "matches": True})

        # A flipped byte in an entry left in the installer: still listed, the CRC named wrong.
        left = next(e for e in entries if e["leftInInstaller"] and e["size"])
        damaged = bytearray(data)
        damaged[left["offset"]] ^= 0xFF
        (work / "damaged.run").write_bytes(damaged)
        crc = self.listing(work / "damaged.run")["crc"]
        self.assertEqual((crc["checked"], crc["matches"]), (True, False))
        self.assertEqual(crc["computed"], zlib.crc32(bytes(damaged[doc["header"]["offset"]:
                                                                  doc["footer"]["offset"]])))


if __name__ == "__main__":
    harness.main()
