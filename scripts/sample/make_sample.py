#!/usr/bin/env python3
"""Writes a deterministic installer tree shaped like the payloads the launcher carries.

The tree holds an application folder with its start program, ini file and configuration,
plug-in archives and unpacked plug-in folders (manifests, descriptors, icons, class files),
a 24-bit splash bitmap inside the branding plug-in, the product manifest that carries the
installer's version, and a repository of .zip and .jar archives that the install run leaves in
the payload. Packed with --folders-twice and the --require patterns it prints, the default tree
gives 589 entries, 154 of them folder entries, 513 of them required.

usage: make_sample.py --out DIR --program FILE [--program-name NAME] [--config TEXT]
                      [--entries N] [--big-mib N] [--big-count N]
"""
import argparse
import os
import random
import shutil
import struct
import sys

VERSION = "3.1.0.v20261208-1200"
PRODUCT = "com.kestrom.tarnix.ide.installer_" + VERSION
BRANDING = "com.kestrom.tarnix.ide.branding_" + VERSION

# The patterns that mark what the install run extracts at start: everything but the repository.
REQUIRE = ["installer\\*", "plugins\\*", "features\\*"]


def splash_bitmap(width=480, height=300):
    """A 24-bit bottom-up BMP with a dark gradient, readable by any BMP loader."""
    row = (width * 3 + 3) & ~3
    pixels = bytearray()
    for y in range(height):
        line = bytearray()
        for x in range(width):
            line += bytes((0x60 + (x * 0x60) // width, 0x30 + (y * 0x40) // height, 0x20))
        pixels += line + bytes(row - len(line))
    header = struct.pack("<2sIHHI", b"BM", 54 + len(pixels), 0, 0, 54)
    info = struct.pack("<IiiHHIIiiII", 40, width, height, 1, 24, 0, len(pixels), 2835, 2835, 0, 0)
    return header + info + bytes(pixels)


class Tree:
    def __init__(self, root, rng):
        self.root, self.rng = root, rng
        self.files = 0
        self.folders = set()

    def write(self, name, data):
        path = os.path.join(self.root, *name.split("/"))
        os.makedirs(os.path.dirname(path), exist_ok=True)
        parts = name.split("/")[:-1]
        for i in range(1, len(parts) + 1):
            self.folders.add("/".join(parts[:i]))
        with open(path, "wb") as out:
            out.write(data)
        self.files += 1

    def noise(self, size):
        return self.rng.randbytes(size)

    def class_file(self, size):
        # A class file's magic, then bytes that do not compress.
        return b"\xca\xfe\xba\xbe\x00\x00\x00\x34" + self.noise(size)


def plugin_manifest(name, version):
    return ("Manifest-Version: 1.0\r\nBundle-ManifestVersion: 2\r\nBundle-SymbolicName: %s;"
            " singleton:=true\r\nBundle-Version: %s\r\nBundle-Vendor: Kestrom\r\n\r\n"
            % (name, version)).encode()


def build(out, program, program_name, config, unpacked, big_mib, big_count=4):
    rng = random.Random(20261208)
    if os.path.exists(out):
        shutil.rmtree(out)
    tree = Tree(out, rng)

    with open(program, "rb") as source:
        tree.write("installer/" + program_name, source.read())
    tree.write("installer/" + os.path.splitext(program_name)[0] + ".ini",
               b"-startup\r\nplugins/org.kestrom.launcher.jar\r\n--launcher.library\r\n"
               b"plugins/org.kestrom.launcher.native\r\n-vmargs\r\n-Xms64m\r\n-Xmx512m")
    tree.write("installer/probe.cfg", config.encode())
    tree.write("installer/configuration/config.ini",
               b"osgi.bundles.defaultStartLevel=4\r\neclipse.product=tarnix.installer\r\n")
    tree.write("installer/configuration/org.kestrom.update/platform.xml", tree.noise(900))
    tree.write("installer/artifacts.xml", tree.noise(3000))
    tree.write("installer/.eclipseproduct", b"name=Tarnix IDE Installer\nversion=3.1.0\n")
    tree.write("installer/readme.txt", b"Tarnix IDE Installer\r\n")
    tree.write("installer/notice.html", tree.noise(2500))
    tree.write("installer/license.html", tree.noise(9000))

    for i in range(40):
        tree.write("plugins/org.kestrom.lib%02d_1.%d.0.jar" % (i, i % 7),
                   tree.noise(rng.randrange(2000, 60000)))

    tree.write("plugins/%s/splash.bmp" % BRANDING, splash_bitmap())
    tree.write("plugins/%s/META-INF/MANIFEST.MF" % BRANDING,
               plugin_manifest("com.kestrom.tarnix.ide.branding", VERSION))
    tree.write("plugins/%s/plugin.properties" % BRANDING, b"providerName=Kestrom\r\n")

    for p in range(unpacked):
        name = "org.kestrom.tarnix.part%03d" % p
        base = "plugins/%s_1.0.%d" % (name, p)
        tree.write(base + "/META-INF/MANIFEST.MF", plugin_manifest(name, "1.0.%d" % p))
        tree.write(base + "/plugin.xml", tree.noise(rng.randrange(300, 3000)))
        tree.write(base + "/icons/obj16.gif", tree.noise(rng.randrange(90, 400)))
        tree.write(base + "/icons/wizban.png", tree.noise(rng.randrange(400, 2000)))
        for c in range(24):
            tree.write(base + "/org/kestrom/part%03d/Class%02d.class" % (p, c),
                       tree.class_file(rng.randrange(400, 6000)))

    feature = "features/" + PRODUCT
    tree.write(feature + "/META-INF/MANIFEST.MF",
               ("Manifest-Version: 1.0\r\nBundle-SymbolicName: com.kestrom.tarnix.ide.installer\r\n"
                "Bundle-Version: %s\r\nBundle-Name: Tarnix IDE Installer\r\n\r\n" % VERSION).encode())
    tree.write(feature + "/feature.xml", tree.noise(1500))

    for r in range(72):
        kind = ".zip" if r % 2 == 0 else ".jar"
        size = big_mib * 1048576 + r if r < big_count else rng.randrange(1000, 200000)
        tree.write("repository/plugins/org.kestrom.repo%02d_2.0.0%s" % (r, kind), tree.noise(size))
    return tree


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--out", required=True)
    parser.add_argument("--program", required=True, help="the start program to ship")
    parser.add_argument("--program-name", default="installer.exe")
    parser.add_argument("--config", default="exit=0\n", help="the start program's probe.cfg")
    parser.add_argument("--entries", type=int, default=589,
                        help="about this many entries (scales the unpacked plug-ins)")
    parser.add_argument("--big-mib", type=int, default=3, help="size of the largest archives")
    parser.add_argument("--big-count", type=int, default=4,
                        help="how many of the repository's 72 archives are that large")
    args = parser.parse_args()
    # Each unpacked plug-in adds 28 files and 6 folders listed twice: 40 entries.
    unpacked = max(1, round((args.entries - 589) / 40) + 11)
    tree = build(args.out, args.program, args.program_name, args.config, unpacked, args.big_mib,
                 args.big_count)
    entries = tree.files + 2 * len(tree.folders)
    print("tree %s: %d files, %d folders, %d entries with folders twice"
          % (args.out, tree.files, len(tree.folders), entries))
    print("require: " + " ".join(REQUIRE))
    return 0


if __name__ == "__main__":
    sys.exit(main())
