#!/usr/bin/env python3
"""The installed launcher.exe as Windows loads it: a 64-bit GUI-subsystem program, its
manifest, icon and version details embedded as resources, and imports that the folder or
Windows itself provides.

    check_exe.py INSTALL_ROOT VERSION
"""
import os
import re
import struct
import sys

import pefile

RT_ICON, RT_GROUP_ICON, RT_MANIFEST = 3, 14, 24
# Windows' own DLLs a Qt 5 program built with mingw-w64 may import.
SYSTEM_DLLS = {
    "kernel32.dll", "user32.dll", "gdi32.dll", "shell32.dll", "advapi32.dll", "ole32.dll",
    "oleaut32.dll", "msvcrt.dll", "ws2_32.dll", "comdlg32.dll", "winmm.dll", "uxtheme.dll",
    "dwmapi.dll", "imm32.dll", "version.dll", "netapi32.dll", "userenv.dll", "mpr.dll",
    "iphlpapi.dll", "dnsapi.dll", "crypt32.dll", "shlwapi.dll", "wtsapi32.dll", "psapi.dll",
}


def resources(pe):
    """{type id: {name id: data}} of the first language of each resource."""
    found = {}
    for kind in pe.DIRECTORY_ENTRY_RESOURCE.entries:
        for name in kind.directory.entries:
            leaf = name.directory.entries[0].data.struct
            found.setdefault(kind.id, {})[name.id] = pe.get_data(leaf.OffsetToData, leaf.Size)
    return found


def icon_sizes(found):
    """The pixel sizes of the first icon group (a GRPICONDIR, which pefile leaves as bytes)."""
    group = next(iter(found.get(RT_GROUP_ICON, {}).values()), b"\0" * 6)
    sizes = []
    for i in range(struct.unpack_from("<H", group, 4)[0]):
        width, _, _, _, _, _, _, icon = struct.unpack_from("<BBBBHHIH", group, 6 + 14 * i)
        if icon in found.get(RT_ICON, {}):
            sizes.append(width or 256)
    return sorted(sizes)


def version_strings(pe):
    """The fixed file and product versions, the StringFileInfo texts of the VERSIONINFO
    resource, the string tables' language and code page ("040904b0") and the VarFileInfo
    translations in the same form."""
    if not getattr(pe, "VS_FIXEDFILEINFO", None):
        return None, None, {}, set(), set()
    fixed = pe.VS_FIXEDFILEINFO[0]
    tables = [table for info in pe.FileInfo[0] for table in getattr(info, "StringTable", [])]
    texts = {key.decode(): value.decode() for table in tables for key, value in table.entries.items()}
    translations = set()
    for info in pe.FileInfo[0]:
        for var in getattr(info, "Var", []):
            words = (var.entry.get(b"Translation") or var.entry.get("Translation", "")).split()
            translations |= {"%04x%04x" % (int(words[i], 16), int(words[i + 1], 16))
                             for i in range(0, len(words) - 1, 2)}
    version = lambda ms, ls: "%d.%d.%d" % (ms >> 16, ms & 0xFFFF, ls >> 16)
    return (version(fixed.FileVersionMS, fixed.FileVersionLS),
            version(fixed.ProductVersionMS, fixed.ProductVersionLS), texts,
            {table.LangID.decode().lower() for table in tables}, translations)


def main(root, version):
    exe = os.path.join(root, "bin", "launcher.exe")
    pe = pefile.PE(exe)
    passed, failures = [], []

    def check(ok, what):
        print(("ok    " if ok else "FAIL  ") + what)
        (passed if ok else failures).append(what)

    check(pe.OPTIONAL_HEADER.Magic == pefile.OPTIONAL_HEADER_MAGIC_PE_PLUS, "PE32+ (64-bit)")
    check(pe.OPTIONAL_HEADER.Subsystem == pefile.SUBSYSTEM_TYPE["IMAGE_SUBSYSTEM_WINDOWS_GUI"],
          "GUI subsystem")

    found = resources(pe)
    manifest = found.get(RT_MANIFEST, {}).get(1, b"").decode("utf-8", "replace")
    check('level="asInvoker"' in manifest and 'uiAccess="false"' in manifest,
          "manifest resource 1 asks for the invoker's level without UI access")
    check("Microsoft.Windows.Common-Controls" in manifest and 'version="6.0.0.0"' in manifest,
          "manifest resource 1 asks for common controls 6")
    # A 64-bit Windows refuses to start a 64-bit program that asks for x86 ones.
    arch = re.search(r'name="Microsoft\.Windows\.Common-Controls"[^>]*processorArchitecture="([^"]*)"',
                     manifest)
    check(arch and arch.group(1) in ("amd64", "*"),
          "common controls for amd64 or any (%s)" % (arch and arch.group(1)))

    sizes = icon_sizes(found)
    check({16, 32, 48, 256} <= set(sizes), "an icon from 16 to 256 px (%s)" % sizes)
    fixed, product, texts, tables, translations = version_strings(pe)
    check(fixed == version, "file version %s (%s)" % (version, fixed))
    check(product == version, "product version %s (%s)" % (version, product))
    check(bool(tables) and tables <= translations,
          "the translation names the string block (%s, %s)" % (sorted(translations), sorted(tables)))
    for key, expected in (("FileVersion", version), ("ProductVersion", version),
                          ("ProductName", "Ludovane"), ("CompanyName", "Ludovane developers"),
                          ("OriginalFilename", "launcher.exe")):
        check(texts.get(key) == expected, "%s is %r (%r)" % (key, expected, texts.get(key)))
    check("Ludovane developers" in texts.get("LegalCopyright", ""), "copyright holder")
    check(bool(texts.get("FileDescription")), "a file description")

    folder = {name.lower() for name in os.listdir(os.path.dirname(exe))}
    imports = [entry.dll.decode().lower() for entry in getattr(pe, "DIRECTORY_ENTRY_IMPORT", [])]
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
