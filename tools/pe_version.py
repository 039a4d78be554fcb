#!/usr/bin/env python3
"""Prints the version resource of a Windows executable (PE32 or PE32+).

    tools/pe_version.py FILE

Output: "FILEVERSION a.b.c.d", "PRODUCTVERSION a.b.c.d", then one "Key=Value" line per string of
the StringFileInfo tables. Exit status 1 when the file carries no version resource, 2 when it is
no PE file.
"""
import struct
import sys

RT_VERSION = 16


def u16(data, off):
    return struct.unpack_from("<H", data, off)[0]


def u32(data, off):
    return struct.unpack_from("<I", data, off)[0]


def read_pe_resources(data):
    """Returns (resource section bytes' file offset mapper, resource directory RVA)."""
    if data[:2] != b"MZ":
        raise ValueError("no MZ header")
    pe = u32(data, 0x3C)
    if data[pe:pe + 4] != b"PE\0\0":
        raise ValueError("no PE signature")
    coff = pe + 4
    sections = u16(data, coff + 2)
    optional_size = u16(data, coff + 16)
    optional = coff + 20
    magic = u16(data, optional)
    directories = optional + (112 if magic == 0x20B else 96)
    resource_rva = u32(data, directories + 2 * 8)
    table = optional + optional_size
    spans = []
    for i in range(sections):
        s = table + 40 * i
        virtual_size, virtual_address, raw_size, raw_pointer = struct.unpack_from("<IIII", data, s + 8)
        spans.append((virtual_address, max(virtual_size, raw_size), raw_pointer))

    def offset(rva):
        for start, size, raw in spans:
            if start <= rva < start + size:
                return raw + rva - start
        raise ValueError("RVA 0x%x outside every section" % rva)

    return offset, resource_rva


def find_version_data(data):
    offset, root_rva = read_pe_resources(data)
    if root_rva == 0:
        return None
    root = offset(root_rva)

    def entries(directory):
        named, ids = u16(data, directory + 12), u16(data, directory + 14)
        for i in range(named + ids):
            e = directory + 16 + 8 * i
            yield u32(data, e), u32(data, e + 4)

    for name, target in entries(root):
        if name != RT_VERSION or not target & 0x80000000:
            continue
        # type -> name -> language -> data entry; the first of each is the one Windows uses.
        node = root + (target & 0x7FFFFFFF)
        while True:
            first = next(entries(node), None)
            if first is None:
                return None
            _, target = first
            if target & 0x80000000:
                node = root + (target & 0x7FFFFFFF)
                continue
            leaf = root + target
            rva, size = u32(data, leaf), u32(data, leaf + 4)
            start = offset(rva)
            return data[start:start + size]
    return None


def align4(n):
    return (n + 3) & ~3


def parse_block(data, off):
    """One VS_VERSIONINFO-style block: (key, value bytes, value is text, children)."""
    length, value_length, kind = struct.unpack_from("<HHH", data, off)
    end = off + length
    p = off + 6
    key_end = p
    while data[key_end:key_end + 2] != b"\0\0":
        key_end += 2
    key = data[p:key_end].decode("utf-16-le")
    p = align4(key_end + 2)
    value_size = value_length * 2 if kind == 1 else value_length
    value = data[p:p + value_size]
    p = align4(p + value_size)
    children = []
    while p < end:
        child = parse_block(data, p)
        children.append(child)
        child_length = u16(data, p)
        if child_length == 0:
            break
        p = align4(p + child_length)
    return key, value, kind == 1, children


def main():
    if len(sys.argv) != 2:
        print(__doc__.strip(), file=sys.stderr)
        return 2
    try:
        with open(sys.argv[1], "rb") as f:
            data = f.read()
    except OSError as e:
        print("%s: %s" % (sys.argv[1], e.strerror), file=sys.stderr)
        return 2
    try:
        version = find_version_data(data)
    except (ValueError, struct.error) as e:
        print("%s: %s" % (sys.argv[1], e), file=sys.stderr)
        return 2
    if not version:
        print("%s: no version resource" % sys.argv[1], file=sys.stderr)
        return 1
    key, value, _, children = parse_block(version, 0)
    if key != "VS_VERSION_INFO" or len(value) < 52 or u32(value, 0) != 0xFEEF04BD:
        print("%s: malformed version resource" % sys.argv[1], file=sys.stderr)
        return 1
    file_ms, file_ls, product_ms, product_ls = struct.unpack_from("<IIII", value, 8)
    quad = lambda ms, ls: "%d.%d.%d.%d" % (ms >> 16, ms & 0xFFFF, ls >> 16, ls & 0xFFFF)
    print("FILEVERSION " + quad(file_ms, file_ls))
    print("PRODUCTVERSION " + quad(product_ms, product_ls))
    for child_key, _, _, tables in children:
        if child_key != "StringFileInfo":
            continue
        for _, _, _, strings in tables:
            for name, text, is_text, _ in strings:
                if is_text:
                    print("%s=%s" % (name, text.decode("utf-16-le").rstrip("\0")))
    return 0


if __name__ == "__main__":
    sys.exit(main())
