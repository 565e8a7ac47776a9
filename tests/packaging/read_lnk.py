#!/usr/bin/env python3
"""Prints what a Windows shortcut (.lnk) starts, one "name=value" line each:

  target=C:\\...\\program.exe   (the link's local base path)
  arguments=...
  workdir=...
  icon=...

Usage: read_lnk.py FILE.lnk. Reads the shell link binary format (the header,
the item ID list, the link information and the string data); exits with 1 and
a message for a file that is not a shortcut.
"""
import struct
import sys

HAS_ID_LIST, HAS_LINK_INFO, HAS_NAME, HAS_RELATIVE_PATH = 0x1, 0x2, 0x4, 0x8
HAS_WORKING_DIR, HAS_ARGUMENTS, HAS_ICON_LOCATION, IS_UNICODE = 0x10, 0x20, 0x40, 0x80
LINK_CLSID = bytes.fromhex("0114020000000000c000000000000046")


def c_string(data, at, wide):
    if wide:
        end = at
        while data[end:end + 2] != b"\0\0":
            end += 2
        return data[at:end].decode("utf-16-le")
    return data[at:data.index(b"\0", at)].decode("latin-1")


def read(data):
    if len(data) < 76 or struct.unpack_from("<I", data, 0)[0] != 76 or data[4:20] != LINK_CLSID:
        raise ValueError("not a shell link")
    flags = struct.unpack_from("<I", data, 20)[0]
    at = 76
    if flags & HAS_ID_LIST:
        at += 2 + struct.unpack_from("<H", data, at)[0]
    fields = {}
    if flags & HAS_LINK_INFO:
        size, header, info_flags, _, base = struct.unpack_from("<IIIII", data, at)
        if info_flags & 1:  # VolumeIDAndLocalBasePath
            if header >= 0x24:  # the Unicode local base path
                wide_base = struct.unpack_from("<I", data, at + 28)[0]
                fields["target"] = c_string(data, at + wide_base, True)
            else:
                fields["target"] = c_string(data, at + base, False)
        at += size
    for flag, name in ((HAS_NAME, "description"), (HAS_RELATIVE_PATH, "relative"),
                       (HAS_WORKING_DIR, "workdir"), (HAS_ARGUMENTS, "arguments"),
                       (HAS_ICON_LOCATION, "icon")):
        if flags & flag:
            count = struct.unpack_from("<H", data, at)[0]
            at += 2
            width = 2 if flags & IS_UNICODE else 1
            raw = data[at:at + count * width]
            # Some writers count the terminating NUL too.
            fields[name] = raw.decode("utf-16-le" if width == 2 else "latin-1").rstrip("\0")
            at += count * width
    return fields


def main():
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    try:
        with open(sys.argv[1], "rb") as f:
            fields = read(f.read())
    except (OSError, ValueError, struct.error, UnicodeDecodeError) as e:
        sys.exit(f"read_lnk.py: {sys.argv[1]}: {e}")
    for name in ("target", "arguments", "workdir", "icon"):
        print(f"{name}={fields.get(name, '')}")


main()
