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


def run(*command):
    return subprocess.run(command, capture_output=True, text=True, check=True).stdout


def loaded_sections(objdump, dll, image_base):
    """[(rva, bytes)] of every section with contents, from objdump's hex dump."""
    sections = []
    for line in run(objdump, "-s", dll).splitlines():
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


def section(objcopy, objdump, obj, name, tmp):
    """The bytes of one section and (offset, absolute) of each relocated 32-bit field in it."""
    run(objcopy, "-O", "binary", "--only-section=" + name, obj, os.path.join(tmp, "section.bin"))
    out = subprocess.run([objdump, "-r", "-j", name, obj], capture_output=True, text=True).stdout
    return open(os.path.join(tmp, "section.bin"), "rb").read(), [
        (int(m.group(1), 16), m.group(2) in ("dir32", "R_386_32", "DIR32"))
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
        run(*ELF_AS, "-I", tools["include"], source, "-o", elf_obj)
        for part in CODE_SECTIONS:
            coff, coff_fields = section(tools["objcopy"], tools["objdump"], coff_obj, part, tmp)
            elf, elf_fields = section("objcopy", "objdump", elf_obj, part, tmp)
            a, b = masked(coff[:len(elf)], coff_fields), masked(elf, elf_fields)
            places = [start + at for start, data in sections for at in find_masked(data, a)]
            # The two assemblers pad a section differently at its end, with no-ops or zeros.
            if len(coff) < len(elf) or any(x not in (0x00, 0x90) for x in coff[len(elf):]):
                errors.append(f"{name} {part}: {len(coff)} bytes for the DLL, {len(elf)} for the tests")
            elif sorted(f for f, _ in coff_fields) != sorted(f for f, _ in elf_fields) or a != b:
                errors.append(f"{name} {part}: the DLL's machine code differs from the tests'")
            elif elf and len(places) != 1:
                errors.append(f"{name} {part}: found {len(places)} times in the DLL, not once")
            elif elf:
                errors += [f"{name} {part}+{at:#x}: absolute address without a base relocation"
                           for at, absolute in coff_fields if absolute and places[0] + at not in relocs_in_dll]
                print(f"same code: {name} {part}, {len(elf)} bytes at rva {places[0]:#x}, "
                      f"{sum(1 for _, x in coff_fields if x)} relocated addresses")


def functions(objdump, obj):
    """name -> [(instruction text, bytes)] of every function in an object, without the
    padding after its last instruction. COFF names lose the extra leading underscore."""
    found, name = {}, None
    for line in run(objdump, "-d", "-w", obj).splitlines():
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
        run(*ELF_CXX, "-I", tools["include"], source, "-o", elf_obj)
        coff, elf = functions(tools["objdump"], coff_obj), functions("objdump", elf_obj)
    for name in THUNK_ROUTINES:
        a, b = [t for t, _ in coff.get(name, [])], [t for t, _ in elf.get(name, [])]
        if not a or not b:
            errors.append(f"{name}: not in both builds")
        elif a != b:
            errors.append(f"{name}: the DLL's machine code differs from the tests' ({'; '.join(a)} / {'; '.join(b)})")
        elif not any(b"".join(raw for _, raw in coff[name]) in data for _, data in sections):
            errors.append(f"{name}: not found in the DLL")
        else:
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
    out = run(args.objdump, "-p", args.dll)
    header = lambda name: int((re.search(r"^%s\s+(?:0x)?([0-9a-fA-F]+)" % name, out, re.M) or [0, "0"])[1], 16)
    sections = loaded_sections(args.objdump, args.dll, header("ImageBase"))
    table = out.partition("[Ordinal/Name Pointer] Table")[2].split("\n\n")[0]
    exports = set(re.findall(r"^\s+\[\s*\d+\]\s+(\S+)$", table, re.M))
    imports = {m.group(1).lower() for m in re.finditer(r"^\s*DLL Name: (\S+)", out, re.M)}
    # RVAs of the 32-bit words the loader adjusts when it moves the DLL.
    relocs = {int(rva, 16) for rva in re.findall(r"^\s+reloc\s+\d+ offset\s+[0-9a-f]+ \[([0-9a-f]+)\] HIGHLOW$", out, re.M)}
    info = export_bytes(out, sections, "SA2ModInfo", 40)
    errors = [text for failed, text in (
        ("file format pei-i386" not in out, "not a 32-bit Windows DLL"),
        (header("AddressOfEntryPoint") == 0, "no library entry point"),
        (not header("Characteristics") & 0x2000, "not marked as a DLL"),
        (header("Characteristics") & 0x0001, "relocations stripped: the DLL can only load at its preferred base"),
        (not relocs, "no base relocation table"),
        (info is None or struct.unpack("<10I", info) != (16,) + (0,) * 9,
         "SA2ModInfo is not version 16 followed by nine zero words")) if failed]
    errors += [f"missing export {name}" for name in sorted(REQUIRED - exports)]
    errors += [f"unexpected export {name}" for name in sorted(exports - REQUIRED)]
    errors += [f"imports {dll}, which is not a Windows system DLL" for dll in sorted(imports)
               if dll not in SYSTEM_DLLS and not dll.startswith(SYSTEM_PREFIXES)]
    errors += [f"does not import {dll}" for dll in sorted(NEEDED_DLLS - imports)]

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
