#!/usr/bin/env python3
"""A library planted beside the Windows launcher (a downloads folder) is not loaded into it, under
Wine of the build's architecture.

- The launcher's start-up restriction, made by dllsearch.exe through the launcher's own platform
  layer: a library beside the program, loaded by its bare name, is loaded without the
  restriction (the control) and not with it.
- The executable names its load configuration, whose dependent-load flags keep the libraries
  that its imported system libraries load to the system folder.

What Wine cannot show: it loads its own libraries before the launcher's first instruction, out of
the launcher's reach; it prefers its built-in libraries to a planted file of the same name (a
planted theme library is not loaded into any program without an override); with the override
"uxtheme=n,b" the delay loading of its built-in common controls takes the planted file also after
the restriction, where Windows' delay loading follows it; and it does not read the dependent-load
flags, so the second case reads them from the file.
"""

import shutil
import struct
import unittest

import harness

LOAD_CONFIG_DIRECTORY = 10
SEARCH_SYSTEM32 = 0x800


def equipment(name):
    return harness.require_file(harness.windows_build() / "tests" / "equipment" / "dllsearch" / name,
                                f"{name} ({harness.WINEARCH})")


class LibrarySearch(unittest.TestCase):

    def dllsearch(self, folder, *args):
        done = harness.run_wine([folder / "dllsearch.exe", *args])
        self.assertEqual(done.returncode, 0, done.stdout + done.stderr)
        return dict(line.strip().split("=", 1) for line in done.stdout.splitlines() if "=" in line)

    def test_start_up_restriction(self):
        folder = harness.scratch_dir(self, "e2e-libsearch-")
        shutil.copyfile(equipment("dllsearch.exe"), folder / "dllsearch.exe")
        shutil.copyfile(equipment("planted.dll"), folder / "planted.dll")
        marker = folder / "planted.dll.loaded"
        harness.ensure_wine_prefix()
        try:
            control = self.dllsearch(folder, "planted.dll")
            self.assertEqual(control.get("loaded"), "1", control)
            self.assertTrue(marker.exists(), "the control run did not load the planted library")
            marker.unlink()

            restricted = self.dllsearch(folder, "planted.dll", "restrict")
            self.assertEqual(restricted, {"restricted": "1", "loaded": "0"})
            self.assertFalse(marker.exists(), "the restricted run loaded the planted library")
        finally:
            harness.stop_wine()

    def test_load_configuration(self):
        image = harness.windows_launcher().read_bytes()
        pe = struct.unpack_from("<I", image, 0x3C)[0]
        sections, optional_size = struct.unpack_from("<H12xH", image, pe + 6)
        optional = pe + 24
        magic = struct.unpack_from("<H", image, optional)[0]
        directories = optional + (112 if magic == 0x20B else 96)
        rva, size = struct.unpack_from("<II", image, directories + 8 * LOAD_CONFIG_DIRECTORY)
        self.assertNotEqual(rva, 0, "no load configuration directory")
        for i in range(sections):
            vsize, vaddr, _, raw = struct.unpack_from("<IIII", image, optional + optional_size
                                                      + 40 * i + 8)
            if vaddr <= rva < vaddr + vsize:
                record = raw + rva - vaddr
        self.assertEqual(struct.unpack_from("<I", image, record)[0], size)
        # DependentLoadFlags: behind CSDVersion, 54 bytes into the 32-bit record, 78 into the
        # 64-bit one.
        flags = struct.unpack_from("<H", image, record + (78 if magic == 0x20B else 54))[0]
        self.assertEqual(flags, SEARCH_SYSTEM32)


if __name__ == "__main__":
    harness.main()
