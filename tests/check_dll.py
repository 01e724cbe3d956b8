"""Refuses a built DLL the loader or a player's machine would trip over: a missing, extra or
decorated export, an import that is not a Windows system DLL, no base relocation table. Given
the entry-code objects, it also proves the DLL's hook entries and register thunks are the code
the 32-bit Linux tests run: the same source built for both gives the same bytes, relocated
fields aside, found in the DLL with a base relocation at every absolute address."""
import argparse
import os
import re
import struct
import subprocess
import sys
import tempfile

REQUIRED = {"SA2ModInfo", "Init", "OnFrame", "OnControl"}
# DLLs every Windows installation has.
SYSTEM_DLLS = {"kernel32.dll", "user32.dll", "shell32.dll", "winhttp.dll", "bcrypt.dll", "advapi32.dll",
               "msvcrt.dll", "ntdll.dll", "ws2_32.dll", "ole32.dll", "crypt32.dll"}
SYSTEM_PREFIXES = ("api-ms-win-",)
# What the mod itself calls: the transport, hashing, boxes and the download page, the kernel.
NEEDED_DLLS = {"kernel32.dll", "user32.dll", "shell32.dll", "winhttp.dll", "bcrypt.dll"}
# The flags the i386 test build assembles with (cmake/linux-i386.cmake).
ELF_AS = ["gcc", "-m32", "-fno-pie", "-c"]
# Sections of the entry code whose bytes are compared.
CODE_SECTIONS = (".text", ".data")
# The flags the i386 test build compiles C++ with (a Release build, like the DLL's).
ELF_CXX = ["g++", "-m32", "-fno-pie", "-O3", "-DNDEBUG", "-std=c++20", "-c"]
# The routines reached through the register thunks of host/game_thunks.h: where the
# compiler's choice of registers is the whole of the call, so their code must be the same.
THUNK_ROUTINES = ("_ZN4game17alloc_item_recordEj", "_ZN4game17garden_save_checkEj",
                  "_ZN4game17garden_save_storeEj", "_ZN4game16set_chao_routineEjj")
PADDING = re.compile(r"^(nop\w*|xchg\s+%ax,%ax|lea\s+0x0\(%[a-z]+(,%eiz,1)?\),%[a-z]+|int3)")


def loaded_sections(objdump, dll, image_base):
    """[(rva, bytes)] of every section with contents, from objdump's hex dump."""
    out = subprocess.run([objdump, "-s", dll], capture_output=True, text=True, check=True).stdout
    sections = []
    for line in out.splitlines():
        if line.startswith("Contents of section "):
            sections.append([None, bytearray()])
        m = re.match(r"^ ([0-9a-f]+) ((?:[0-9a-f]{2,8} )+)", line)
        if m and sections:
            sections[-1][0] = int(m.group(1), 16) - image_base if sections[-1][0] is None else sections[-1][0]
            sections[-1][1] += bytes.fromhex(m.group(2))
    return sections


def export_bytes(listing, sections, name, size):
    """The first `size` bytes of an exported data symbol, by its ordinal's address in the listing."""
    index = re.search(r"^\s+\[\s*(\d+)\] " + name + "$", listing, re.M)
    rva = index and re.search(r"^\s+\[\s*%s\] \+base\[\s*\d+\] ([0-9a-f]+) Export RVA" % index.group(1), listing, re.M)
    for start, data in sections if rva else []:
        if start <= int(rva.group(1), 16) < start + len(data):
            return data[int(rva.group(1), 16) - start:][:size]
    return None


def section_bytes(objcopy, obj, section):
    with tempfile.TemporaryDirectory() as tmp:
        out = os.path.join(tmp, "section.bin")
        subprocess.run([objcopy, "-O", "binary", "--only-section=" + section, obj, out], check=True,
                       capture_output=True)
        return open(out, "rb").read()


def relocations(objdump, obj, section):
    """(offset, absolute) of every relocated 32-bit field of one section."""
    out = subprocess.run([objdump, "-r", "-j", section, obj], capture_output=True, text=True).stdout
    return [(int(m.group(1), 16), m.group(2) in ("dir32", "R_386_32", "DIR32"))
            for m in re.finditer(r"^([0-9a-fA-F]{8})\s+(\S+)\s+\S+", out, re.M)]


def masked(data, fields):
    hide = {i for at, _ in fields for i in range(at, at + 4)}
    return [None if i in hide else b for i, b in enumerate(data)]


def find_masked(haystack, pattern):
    """Every position where the pattern (None matches anything) lies in haystack."""
    if all(b is None for b in pattern):
        return []
    wild = b"".join(b"." if b is None else re.escape(bytes([b])) for b in pattern)
    return [m.start() for m in re.finditer(b"(?=" + wild + b")", haystack, re.S)]


def check_same_code(sections, relocs_in_dll, coff_obj, source, tools, errors):
    name = os.path.basename(source)
    with tempfile.TemporaryDirectory() as tmp:
        elf_obj = os.path.join(tmp, "elf.o")
        subprocess.run(ELF_AS + ["-I", tools["include"], source, "-o", elf_obj], check=True)
        for section in CODE_SECTIONS:
            coff = section_bytes(tools["objcopy"], coff_obj, section)
            elf = section_bytes("objcopy", elf_obj, section)
            coff_fields = relocations(tools["objdump"], coff_obj, section)
            elf_fields = relocations("objdump", elf_obj, section)
            if not elf and not coff:
                continue
            # The two assemblers pad a section differently at its end, with no-ops or zeros.
            if len(coff) < len(elf) or any(b not in (0x00, 0x90) for b in coff[len(elf):]):
                errors.append(f"{name} {section}: {len(coff)} bytes for the DLL, {len(elf)} for the tests")
                continue
            a, b = masked(coff[:len(elf)], coff_fields), masked(elf, elf_fields)
            if sorted(f for f, _ in coff_fields) != sorted(f for f, _ in elf_fields) or a != b:
                errors.append(f"{name} {section}: the DLL's machine code differs from the tests'")
                continue
            places = [start + at for start, data in sections for at in find_masked(data, a)]
            if len(places) != 1:
                errors.append(f"{name} {section}: found {len(places)} times in the DLL, not once")
                continue
            base = places[0]
            for at, absolute in coff_fields:
                if absolute and base + at not in relocs_in_dll:
                    errors.append(f"{name} {section}+{at:#x}: absolute address without a base relocation")
            print(f"same code: {name} {section}, {len(elf)} bytes at rva {base:#x}, "
                  f"{sum(1 for _, x in coff_fields if x)} relocated addresses")


def functions(objdump, obj):
    """name -> [(instruction text, bytes)] of every function in an object, without the
    padding after its last instruction. COFF names lose the extra leading underscore."""
    out = subprocess.run([objdump, "-d", "-w", obj], capture_output=True, text=True, check=True).stdout
    found, name = {}, None
    for line in out.splitlines():
        m = re.match(r"^[0-9a-f]+ <(\S+)>:$", line)
        if m:
            name = m.group(1)[1:] if m.group(1).startswith("__Z") else m.group(1)
            found[name] = []
            continue
        m = re.match(r"^\s+[0-9a-f]+:\t((?:[0-9a-f]{2} )+)\s*\t(.*)$", line)
        if m and name:
            text = re.sub(r"\s+", " ", m.group(2).strip())
            found[name].append((text, bytes.fromhex(m.group(1).replace(" ", ""))))
    for instructions in found.values():
        while instructions and PADDING.match(instructions[-1][0]):
            instructions.pop()
    return found


def check_same_thunks(sections, coff_obj, source, tools, errors):
    with tempfile.TemporaryDirectory() as tmp:
        elf_obj = os.path.join(tmp, "elf.o")
        subprocess.run(ELF_CXX + ["-I", tools["include"], source, "-o", elf_obj], check=True)
        coff, elf = functions(tools["objdump"], coff_obj), functions("objdump", elf_obj)
    for name in THUNK_ROUTINES:
        if not coff.get(name) or not elf.get(name):
            errors.append(f"{name}: not in both builds")
            continue
        a, b = [t for t, _ in coff[name]], [t for t, _ in elf[name]]
        if a != b:
            errors.append(f"{name}: the DLL's machine code differs from the tests' ({'; '.join(a)} / {'; '.join(b)})")
            continue
        code = b"".join(raw for _, raw in coff[name])
        if not any(code in data for _, data in sections):
            errors.append(f"{name}: not found in the DLL")
            continue
        print(f"same code: {name}, {len(a)} instructions: {'; '.join(a)}")


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--objdump", required=True)
    ap.add_argument("--objcopy")
    ap.add_argument("--include")  # the source tree, for the entry code's includes
    # An entry-code object of the DLL and the source both builds assemble; the DLL's object of
    # the game's routines and the source both builds compile.
    ap.add_argument("--same-code", action="append", default=[], metavar="COFF_OBJECT=SOURCE")
    ap.add_argument("--same-thunks", metavar="COFF_OBJECT=SOURCE")
    ap.add_argument("dll")
    args = ap.parse_args()
    out = subprocess.run([args.objdump, "-p", args.dll], capture_output=True, text=True, check=True).stdout
    base = re.search(r"^ImageBase\s+([0-9a-fA-F]+)", out, re.M)
    sections = loaded_sections(args.objdump, args.dll, int(base.group(1), 16) if base else 0)

    errors = []
    if "file format pei-i386" not in out:
        errors.append("not a 32-bit Windows DLL")
    table = out.partition("[Ordinal/Name Pointer] Table")[2].split("\n\n")[0]
    exports = set(re.findall(r"^\s+\[\s*\d+\]\s+(\S+)$", table, re.M))
    errors += [f"missing export {name}" for name in sorted(REQUIRED - exports)]
    errors += [f"unexpected export {name}" for name in sorted(exports - REQUIRED)]
    imports = {m.group(1).lower() for m in re.finditer(r"^\s*DLL Name: (\S+)", out, re.M)}
    errors += [f"imports {dll}, which is not a Windows system DLL" for dll in sorted(imports)
               if dll not in SYSTEM_DLLS and not dll.startswith(SYSTEM_PREFIXES)]
    errors += [f"does not import {dll}" for dll in sorted(NEEDED_DLLS - imports)]
    entry = re.search(r"^AddressOfEntryPoint\s+([0-9a-fA-F]+)", out, re.M)
    if not entry or int(entry.group(1), 16) == 0:
        errors.append("no library entry point")
    characteristics = int((re.search(r"^Characteristics\s+0x([0-9a-fA-F]+)", out, re.M) or [0, "0"])[1], 16)
    if not characteristics & 0x2000:
        errors.append("not marked as a DLL")
    if characteristics & 0x0001:
        errors.append("relocations stripped: the DLL can only load at its preferred base")
    # RVAs of the 32-bit words the loader adjusts when it moves the DLL.
    relocs = {int(rva, 16) for rva in re.findall(r"^\s+reloc\s+\d+ offset\s+[0-9a-f]+ \[([0-9a-f]+)\] HIGHLOW$", out, re.M)}
    if not relocs:
        errors.append("no base relocation table")

    info = export_bytes(out, sections, "SA2ModInfo", 40)
    if info is None or struct.unpack("<10I", info) != (16,) + (0,) * 9:
        errors.append("SA2ModInfo is not version 16 followed by nine zero words")

    tools = {"objdump": args.objdump, "objcopy": args.objcopy, "include": args.include}
    for pair in args.same_code:
        check_same_code(sections, relocs, *pair.split("=", 1), tools, errors)
    if args.same_thunks:
        check_same_thunks(sections, *args.same_thunks.split("=", 1), tools, errors)

    print("exports:", " ".join(sorted(exports)))
    print("imports:", " ".join(sorted(imports)))
    print("base relocations:", len(relocs))
    for e in errors:
        print("FAIL:", e)
    return 1 if errors else 0


if __name__ == "__main__":
    sys.exit(main())
