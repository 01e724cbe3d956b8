"""Reads the built DLL's export and import tables and refuses anything the loader or a
player's machine would trip over: a missing or decorated export, a non-system import."""
import argparse
import re
import struct
import subprocess
import sys

REQUIRED = {"SA2ModInfo", "Init", "OnFrame", "OnControl"}
# DLLs every Windows installation has.
SYSTEM_DLLS = {"kernel32.dll", "user32.dll", "shell32.dll", "winhttp.dll", "bcrypt.dll", "advapi32.dll",
               "msvcrt.dll", "ntdll.dll", "ws2_32.dll", "ole32.dll", "crypt32.dll"}
SYSTEM_PREFIXES = ("api-ms-win-",)


def export_bytes(path, name, size):
    """The first `size` bytes of an exported data symbol, read from the PE file itself."""
    data = open(path, "rb").read()
    pe = struct.unpack_from("<I", data, 0x3C)[0]
    sections = struct.unpack_from("<H", data, pe + 6)[0]
    opt_size = struct.unpack_from("<H", data, pe + 20)[0]
    opt = pe + 24
    export_rva = struct.unpack_from("<I", data, opt + 96)[0]
    table = [struct.unpack_from("<IIII4xI", data, pe + 24 + opt_size + 40 * i + 8) for i in range(sections)]

    def offset(rva):
        for vsize, vaddr, rawsize, rawptr, _ in table:
            if vaddr <= rva < vaddr + max(vsize, rawsize):
                return rawptr + rva - vaddr
        raise ValueError("rva outside every section")

    e = offset(export_rva)
    count, functions, names, ordinals = struct.unpack_from("<IIII", data, e + 24)
    for i in range(count):
        name_rva = struct.unpack_from("<I", data, offset(names) + 4 * i)[0]
        n = data[offset(name_rva):data.index(b"\0", offset(name_rva))].decode()
        if n == name:
            ordinal = struct.unpack_from("<H", data, offset(ordinals) + 2 * i)[0]
            rva = struct.unpack_from("<I", data, offset(functions) + 4 * ordinal)[0]
            return data[offset(rva):offset(rva) + size]
    return None


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--objdump", required=True)
    ap.add_argument("dll")
    args = ap.parse_args()
    out = subprocess.run([args.objdump, "-p", args.dll], capture_output=True, text=True, check=True).stdout

    errors = []
    if "file format pei-i386" not in out:
        errors.append("not a 32-bit Windows DLL")
    exports = set()
    table = out.split("[Ordinal/Name Pointer] Table", 1)
    if len(table) == 2:
        for line in table[1].splitlines()[1:]:
            m = re.match(r"\s+\[\s*\d+\]\s+(\S+)", line)
            if not m:
                break
            exports.add(m.group(1))
    for name in sorted(REQUIRED - exports):
        errors.append(f"missing export {name}")
    for name in sorted(exports):
        if name.startswith("_") or "@" in name:
            errors.append(f"decorated export {name}")
    imports = {m.group(1).lower() for m in re.finditer(r"^\s*DLL Name: (\S+)", out, re.M)}
    for dll in sorted(imports):
        if dll not in SYSTEM_DLLS and not dll.startswith(SYSTEM_PREFIXES):
            errors.append(f"imports {dll}, which is not a Windows system DLL")
    entry = re.search(r"^AddressOfEntryPoint\s+([0-9a-fA-F]+)", out, re.M)
    if not entry or int(entry.group(1), 16) == 0:
        errors.append("no library entry point")
    flags = re.search(r"^Characteristics\s+0x([0-9a-fA-F]+)", out, re.M)
    if not flags or not int(flags.group(1), 16) & 0x2000:
        errors.append("not marked as a DLL")

    info = export_bytes(args.dll, "SA2ModInfo", 40)
    if info is None or struct.unpack("<10I", info) != (16,) + (0,) * 9:
        errors.append("SA2ModInfo is not version 16 followed by nine zero words")

    print("exports:", " ".join(sorted(exports)))
    print("imports:", " ".join(sorted(imports)))
    for e in errors:
        print("FAIL:", e)
    return 1 if errors else 0


if __name__ == "__main__":
    sys.exit(main())
