#!/usr/bin/env python3
"""Checks tapstrike.dll's tables with the toolchain's objdump: exactly keypress at ordinal 1
and keyrelease at ordinal 2 (base 1), undecorated, and imports from system DLLs only, so
that a client can load it on a bare Windows.

    check_dll.py OBJDUMP tapstrike.dll
"""
import re
import subprocess
import sys

ALLOWED_IMPORTS = {"USER32.DLL", "KERNEL32.DLL"}


def main(objdump, dll):
    text = subprocess.run([objdump, "-p", dll], check=True, capture_output=True,
                          text=True).stdout
    failures = []

    base = re.search(r"^Ordinal Base\s+(\d+)", text, re.M)
    if not base or base.group(1) != "1":
        failures.append(f"ordinal base is {base.group(1) if base else 'missing'}, not 1")
    names = text.split("[Ordinal/Name Pointer] Table", 1)[-1]
    exports = re.findall(r"^\s*\[\s*(\d+)\]\s+(\S+)\s*$", names, re.M)
    ordinals = sorted((int(index) + 1, name) for index, name in exports)
    if ordinals != [(1, "keypress"), (2, "keyrelease")]:
        failures.append(f"exports are {ordinals}")
    if len(re.findall(r"\+base\[", text)) != 2:
        failures.append("the export address table does not hold exactly two entries")

    imports = {name.upper() for name in re.findall(r"DLL Name:\s*(\S+)", text)}
    if not imports or not imports <= ALLOWED_IMPORTS:
        failures.append(f"imports {sorted(imports)}; only {sorted(ALLOWED_IMPORTS)} may appear")
    if "USER32.DLL" not in imports:
        failures.append("SendInput must come from USER32.dll")

    for failure in failures:
        print("FAIL:", failure)
    print("check_dll:", "all checks passed" if not failures else f"{len(failures)} checks failed")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main(*sys.argv[1:]))
