#!/usr/bin/env python3
"""sfxpack list --json on the sample installer: the documented members and types, numbers that
agree with the installer's bytes, and a damaged copy's CRC-32 shown as not matching.
"""

import json
import subprocess
import sys
import unittest
import zlib
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "e2e"))
import harness  # noqa: E402

I, S, B, N = int, str, bool, type(None)
# Format 1 as the guide describes it: {member: schema} in order, [schema] a list, a tuple the
# alternatives, a type the exact type (a bool is no int here).
SCHEMA = {
    "format": I, "file": {"size": I, "signature": (N, {"offset": I, "size": I})},
    "footer": {"offset": I, "packageSize": I, "crc32": I},
    "header": {"offset": I, "version": I, "entries": I},
    "autorun": {"flags": I, "program": S, "pathId": I, "path": (S, N), "argumentsId": I,
                "arguments": (S, N)},
    "required": {"allEntries": B, "ids": [I]}, "dataOffset": I,
    "entries": [{"index": I, "name": (S, N), "kind": S, "size": I, "offset": I, "required": B,
                 "leftInInstaller": B}],
    "crc": {"stored": I, "computed": (I, N), "checked": B, "matches": B},
    "identity": (N, {"icons": [{"width": I, "height": I, "bitCount": I, "bytes": I}],
                     "version": (N, {"fileVersion": (S, N), "productVersion": (S, N),
                                     "strings": dict}), "executionLevel": (S, N)}),
}


def conforms(value, schema):
    if isinstance(schema, tuple):
        return any(conforms(value, alternative) for alternative in schema)
    if isinstance(schema, list):
        return isinstance(value, list) and all(conforms(v, schema[0]) for v in value)
    if isinstance(schema, dict):
        return isinstance(value, dict) and list(value) == list(schema) and all(
            conforms(value[k], schema[k]) for k in schema)
    return type(value) is schema


class ListJson(unittest.TestCase):
    def listing(self, installer):
        done = subprocess.run([str(harness.sfxpack()), "list", "--json", str(installer)],
                              capture_output=True, stdin=subprocess.DEVNULL, timeout=60)
        self.assertEqual((done.returncode, done.stderr), (0, b""))
        document = json.loads(done.stdout.decode("ascii"))
        self.assertTrue(conforms(document, SCHEMA), document)
        self.assertEqual(document["format"], 1)
        return document

    def test_sample_installer(self):
        work = harness.scratch_dir(self, "list-json-")
        tree, installer = work / "tree", work / "sample.run"
        subprocess.run([sys.executable, harness.SOURCE_DIR / "scripts" / "sample" /
                        "make_sample.py", "--out", tree, "--program", sys.executable,
                        "--big-mib", "1"], check=True, stdout=subprocess.DEVNULL)
        harness.pack(harness.native_launcher(), tree, installer, "installer\\installer.exe",
                     "--folders-twice", "--require", "installer\\*", "--require", "plugins\\*",
                     "--require", "features\\*")
        data = installer.read_bytes()
        doc = self.listing(installer)
        entries, start, end = doc["entries"], doc["header"]["offset"], doc["footer"]["offset"]
        self.assertEqual((doc["header"]["entries"], len(entries), end), (589, 589, len(data) - 8))
        self.assertEqual(start + doc["footer"]["packageSize"], end)
        self.assertEqual([sum(e["kind"] == "folder" for e in entries),
                          sum(e["required"] for e in entries)], [154, 513])
        for entry in entries:
            self.assertEqual(entry["leftInInstaller"],
                             not entry["required"] or entry["name"].endswith(".zip"), entry)
            if entry["kind"] == "file":
                self.assertEqual(data[entry["offset"]:entry["offset"] + entry["size"]],
                                 (tree / entry["name"].replace("\\", "/")).read_bytes())
        crc = zlib.crc32(data[start:end])
        self.assertEqual(doc["crc"], {"stored": crc, "computed": crc, "checked": True,
                                      "matches": True})

        # A flipped byte in an entry left in the installer: listed still, the CRC not matching.
        left = next(e for e in entries if e["leftInInstaller"] and e["size"])
        damaged = bytearray(data)
        damaged[left["offset"]] ^= 0xFF
        (work / "damaged.run").write_bytes(damaged)
        self.assertEqual(self.listing(work / "damaged.run")["crc"],
                         {"stored": crc, "computed": zlib.crc32(damaged[start:end]),
                          "checked": True, "matches": False})


if __name__ == "__main__":
    harness.main()
