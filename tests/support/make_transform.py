#!/usr/bin/env python3
"""Writes a small transform (.mst) that changes rows of a package's Property table, for tests.

A second, independent writer of the stored form the packer reads (a compound file holding the
transform's summary, its string pool and its Property rows), so that what the packer reads and
what Windows Installer applies are checked against bytes the packer did not make.

  make_transform.py OUT.mst --product-code {GUID} [--template x64;1033] [--code-page 1252]
                    [--conditions 0x0002003F] NAME=VALUE...

Each NAME=VALUE updates an existing row. The summary names the base by --product-code (Revision)
and --template; --conditions is summary property 16 (validation conditions in the high word, the
errors to ignore in the low word).
"""
import argparse
import struct

ALPHABET = "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz._"
TRANSFORM_CLASS = bytes.fromhex("82100c0000000000c000000000000046")
SUMMARY_FORMAT = bytes.fromhex("e0859ff2f94f6810ab9108002b27b3d9")
SECTOR = 512
MINI_SECTOR = 64
FREE, END_OF_CHAIN, FAT_SECTOR, NO_STREAM = 0xFFFFFFFF, 0xFFFFFFFE, 0xFFFFFFFD, 0xFFFFFFFF


def table_stream_name(table):
    """A table's stream name: alphabet characters two to a unit after the table mark."""
    units, i = [0x4840], 0
    while i < len(table):
        first = ALPHABET.find(table[i])
        if first < 0:
            units.append(ord(table[i]))
            i += 1
            continue
        second = ALPHABET.find(table[i + 1]) if i + 1 < len(table) else -1
        if second < 0:
            units.append(0x4800 + first)
            i += 1
        else:
            units.append(0x3800 + first + (second << 6))
            i += 2
    return "".join(map(chr, units))


def summary_stream(properties):
    """An OLE property set of one section; properties: id -> int (VT_I4), ("i2", int) or str."""
    entries = []
    for pid, value in sorted(properties.items()):
        if isinstance(value, tuple):
            data = struct.pack("<HHhH", 2, 0, value[1], 0)
        elif isinstance(value, int):
            data = struct.pack("<Ii", 3, value)
        else:
            text = value.encode("ascii") + b"\0"
            data = struct.pack("<II", 30, len(text)) + text
            data += b"\0" * (-len(data) % 4)
        entries.append((pid, data))
    offset = 8 + 8 * len(entries)
    table, values = b"", b""
    for pid, data in entries:
        table += struct.pack("<II", pid, offset + len(values))
        values += data
    section = struct.pack("<II", 8 + len(table) + len(values), len(entries)) + table + values
    header = struct.pack("<HHI", 0xFFFE, 0, 0x00020006) + b"\0" * 16 + struct.pack("<I", 1)
    return header + SUMMARY_FORMAT + struct.pack("<I", 48) + section


def property_streams(code_page, changes):
    strings = []
    for name, value in changes:
        for text in (name, value):
            if text not in strings:
                strings.append(text)
    encoded = [text.encode("cp%d" % code_page if code_page else "ascii") for text in strings]
    pool = struct.pack("<I", code_page) + b"".join(struct.pack("<HH", len(text), 1) for text in encoded)
    rows = b"".join(struct.pack("<HHH", 0x0002, strings.index(name) + 1, strings.index(value) + 1)
                    for name, value in changes)
    return {table_stream_name("_StringPool"): pool, table_stream_name("_StringData"): b"".join(encoded),
            table_stream_name("Property"): rows}


def directory_entry(name, kind, child=NO_STREAM, right=NO_STREAM, start=END_OF_CHAIN, size=0, clsid=b"\0" * 16):
    encoded = (name + "\0").encode("utf-16-le")
    return (encoded.ljust(64, b"\0") + struct.pack("<HBB", len(encoded), kind, 1) +
            struct.pack("<III", NO_STREAM, right, child) + clsid + b"\0" * 20 +
            struct.pack("<III", start, size, 0))


def compound_file(streams):
    """A version 3 compound file whose root holds `streams` (name -> bytes, each under 4096)."""
    # Siblings as a tree ordered as readers search it: shorter names first, then upper case.
    names = sorted(streams, key=lambda n: (len(n.encode("utf-16-le")), n.upper()))
    mini, mini_fat, starts = b"", [], {}
    for name in names:
        data = streams[name]
        starts[name] = len(mini) // MINI_SECTOR
        count = max(1, -(-len(data) // MINI_SECTOR)) if data else 0
        if not data:
            starts[name] = END_OF_CHAIN
        for i in range(count):
            mini_fat.append(starts[name] + i + 1 if i + 1 < count else END_OF_CHAIN)
        mini += data + b"\0" * (-len(data) % MINI_SECTOR)
    entries = [directory_entry("Root Entry", 5, child=1, clsid=TRANSFORM_CLASS)]
    for i, name in enumerate(names):
        right = i + 2 if i + 1 < len(names) else NO_STREAM
        entries.append(directory_entry(name, 2, right=right, start=starts[name], size=len(streams[name])))
    directory = b"".join(entries)
    directory += b"\0" * (-len(directory) % SECTOR)
    mini_fat_bytes = b"".join(struct.pack("<I", e) for e in mini_fat)
    mini_fat_bytes += b"\xff" * (-len(mini_fat_bytes) % SECTOR)
    mini += b"\0" * (-len(mini) % SECTOR)
    # Sectors: the sector table, the directory, the mini sector table, the mini stream.
    layout = [("fat", SECTOR), ("directory", len(directory)), ("minifat", len(mini_fat_bytes)), ("mini", len(mini))]
    first, fat, at = {}, [], 0
    for part, size in layout:
        count = size // SECTOR
        first[part] = at if count else END_OF_CHAIN
        for i in range(count):
            fat.append(FAT_SECTOR if part == "fat" else at + i + 1 if i + 1 < count else END_OF_CHAIN)
        at += count
    assert len(fat) <= SECTOR // 4, "a test transform fits one sector table sector"
    fat += [FREE] * (SECTOR // 4 - len(fat))
    # The root entry holds the mini stream.
    directory = (directory[:116] + struct.pack("<II", first["mini"], len(mini)) + directory[124:])
    header = (bytes.fromhex("d0cf11e0a1b11ae1") + b"\0" * 16 +
              struct.pack("<HHHHH", 0x3E, 3, 0xFFFE, 9, 6) + b"\0" * 6 +
              struct.pack("<IIIIIIIII", 0, 1, first["directory"], 0, 4096, first["minifat"],
                          len(mini_fat_bytes) // SECTOR, END_OF_CHAIN, 0) +
              struct.pack("<I", 0) + b"\xff" * (4 * 108))
    return header + b"".join(struct.pack("<I", e) for e in fat) + directory + mini_fat_bytes + mini


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("output")
    parser.add_argument("--product-code", required=True)
    parser.add_argument("--template", default="x64;1033")
    parser.add_argument("--code-page", type=int, default=1252)
    parser.add_argument("--conditions", type=lambda text: int(text, 0), default=0x0002003F)
    parser.add_argument("changes", nargs="+", metavar="NAME=VALUE")
    options = parser.parse_args()
    changes = [tuple(change.split("=", 1)) for change in options.changes]
    code = options.product_code.upper()
    streams = property_streams(options.code_page, changes)
    streams["\x05SummaryInformation"] = summary_stream({
        1: ("i2", options.code_page if options.code_page < 0x8000 else options.code_page - 0x10000),
        7: options.template, 8: options.template, 9: "%s1.0.0;%s1.0.0;" % (code, code),
        14: 200, 16: options.conditions, 19: 4})
    with open(options.output, "wb") as out:
        out.write(compound_file(streams))


if __name__ == "__main__":
    main()
