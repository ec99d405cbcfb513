#!/usr/bin/env python3
"""The installed launcher.exe as Windows loads it: a 64-bit GUI-subsystem program, its
manifest, icon and version details embedded as resources, and imports that the folder or
Windows itself provides.

    check_exe.py OBJDUMP INSTALL_ROOT VERSION
"""
import os
import re
import struct
import subprocess
import sys

RT_ICON, RT_GROUP_ICON, RT_VERSION, RT_MANIFEST = 3, 14, 16, 24
# Windows' own DLLs a Qt 5 program built with mingw-w64 may import.
SYSTEM_DLLS = {
    "kernel32.dll", "user32.dll", "gdi32.dll", "shell32.dll", "advapi32.dll", "ole32.dll",
    "oleaut32.dll", "msvcrt.dll", "ws2_32.dll", "comdlg32.dll", "winmm.dll", "uxtheme.dll",
    "dwmapi.dll", "imm32.dll", "version.dll", "netapi32.dll", "userenv.dll", "mpr.dll",
    "iphlpapi.dll", "dnsapi.dll", "crypt32.dll", "shlwapi.dll", "wtsapi32.dll", "psapi.dll",
}


def resources(path):
    """{type id: {name id: data}} of the first language of each resource in a PE file."""
    data = open(path, "rb").read()
    pe = struct.unpack_from("<I", data, 0x3C)[0]
    sections, optional_size = struct.unpack_from("<H12xH", data, pe + 6)
    optional = pe + 24
    magic = struct.unpack_from("<H", data, optional)[0]
    directories = optional + (112 if magic == 0x20B else 96)
    rsrc_rva, _ = struct.unpack_from("<II", data, directories + 2 * 8)
    table = optional + optional_size

    def offset(rva):
        for i in range(sections):
            _, size, address, raw_size, raw = struct.unpack_from("<8sIIII", data, table + 40 * i)
            if address <= rva < address + max(size, raw_size):
                return raw + rva - address
        raise ValueError("RVA %#x is in no section" % rva)

    base = offset(rsrc_rva)

    def entries(directory):
        named, ids = struct.unpack_from("<HH", data, base + directory + 12)
        for i in range(named + ids):
            name, target = struct.unpack_from("<II", data, base + directory + 16 + 8 * i)
            yield name, target

    found = {}
    for kind, names in entries(0):
        for name, languages in entries(names & 0x7FFFFFFF):
            _, leaf = next(entries(languages & 0x7FFFFFFF))
            rva, size = struct.unpack_from("<II", data, base + leaf)
            found.setdefault(kind, {})[name] = data[offset(rva):offset(rva) + size]
    return found


def version_strings(data):
    """The fixed file version and the StringFileInfo texts of a VERSIONINFO resource."""
    texts = {}

    def node(offset, depth):
        length, value_length, text = struct.unpack_from("<HHH", data, offset)
        end = offset + 6
        while data[end:end + 2] != b"\0\0":
            end += 2
        key = data[offset + 6:end].decode("utf-16-le")
        value = (end + 2 + 3) & ~3
        size = value_length * 2 if text else value_length
        if depth == 3:
            texts[key] = data[value:value + size].decode("utf-16-le").rstrip("\0")
        child = (value + size + 3) & ~3
        while child < offset + length:
            child = (child + node(child, depth + 1) + 3) & ~3
        return length

    node(0, 0)
    value = (6 + len("VS_VERSION_INFO\0") * 2 + 3) & ~3
    ms, ls = struct.unpack_from("<II", data, value + 8)
    return "%d.%d.%d" % (ms >> 16, ms & 0xFFFF, ls >> 16), texts


def icon_sizes(found):
    """The pixel sizes of the first icon group."""
    group = next(iter(found.get(RT_GROUP_ICON, {}).values()), b"\0" * 6)
    count = struct.unpack_from("<H", group, 4)[0]
    sizes = []
    for i in range(count):
        width, _, _, _, _, _, _, icon = struct.unpack_from("<BBBBHHIH", group, 6 + 14 * i)
        if icon in found.get(RT_ICON, {}):
            sizes.append(width or 256)
    return sorted(sizes)


def main(objdump, root, version):
    exe = os.path.join(root, "bin", "launcher.exe")
    headers = subprocess.run([objdump, "-p", exe], check=True, capture_output=True,
                             text=True).stdout
    passed, failures = [], []

    def check(ok, what):
        print(("ok    " if ok else "FAIL  ") + what)
        (passed if ok else failures).append(what)

    check(re.search(r"^Magic\s+020b", headers, re.M) is not None, "PE32+ (64-bit)")
    check(re.search(r"^Subsystem\s+00000002", headers, re.M) is not None, "GUI subsystem")

    found = resources(exe)
    manifest = found.get(RT_MANIFEST, {}).get(1, b"").decode("utf-8", "replace")
    check('level="asInvoker"' in manifest and 'uiAccess="false"' in manifest,
          "manifest resource 1 asks for the invoker's level without UI access")
    check("Microsoft.Windows.Common-Controls" in manifest and 'version="6.0.0.0"' in manifest,
          "manifest resource 1 asks for common controls 6")

    sizes = icon_sizes(found)
    check({16, 32, 48, 256} <= set(sizes), "an icon from 16 to 256 px (%s)" % sizes)
    fixed, texts = version_strings(next(iter(found.get(RT_VERSION, {}).values()), b"\0" * 64))
    check(fixed == version, "file version %s (%s)" % (version, fixed))
    for key, expected in (("FileVersion", version), ("ProductVersion", version),
                          ("ProductName", "Ludovane"), ("CompanyName", "Ludovane developers"),
                          ("OriginalFilename", "launcher.exe")):
        check(texts.get(key) == expected, "%s is %r (%r)" % (key, expected, texts.get(key)))
    check("Ludovane developers" in texts.get("LegalCopyright", ""), "copyright holder")
    check(bool(texts.get("FileDescription")), "a file description")

    folder = {name.lower() for name in os.listdir(os.path.dirname(exe))}
    imports = [name.lower() for name in re.findall(r"DLL Name: (\S+)", headers)]
    check(any(name.startswith("qt5widgets") for name in imports), "imports Qt 5 Widgets")
    for name in imports:
        if name.startswith("qt5") or name.startswith("lib"):
            check(name in folder, "%s deployed beside it" % name)
        else:
            check(name in SYSTEM_DLLS, "%s is Windows' own" % name)
    for plugin in ("platforms/qwindows.dll", "styles/qwindowsvistastyle.dll"):
        check(os.path.isfile(os.path.join(root, "bin", plugin)), plugin + " deployed")
    print("%d passed, %d failed" % (len(passed), len(failures)))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main(*sys.argv[1:]))
