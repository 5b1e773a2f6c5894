#!/usr/bin/env python3
"""Checks what a maker's security review reads in a program image: ASLR with relocations (DYNAMIC_BASE, a base
relocation table, relocations not stripped), DEP (NX_COMPAT), TERMINAL_SERVER_AWARE; in a 32-bit image NO_SEH,
and no store to the head of the exception-handler chain (fs:[0]) anywhere in its code, since NO_SEH tells
Windows never to call a handler of this image found there; no section both writable and executable; the PE
checksum; every import a function that Windows 7 SP1 has; with --symbols (an image that keeps its symbol
table), the stack protector linked in and called from the product's C++ code.
Wine shows none of this: it neither refuses a NO_SEH image's handlers nor a missing import of a later Windows.
Used by ctest (app_image_check, the built product) and by tests/release/release_test.py (the release image).
Usage: check_image.py [--symbols] program.exe..."""
import os
import re
import shutil
import subprocess
import sys

try:
    import pefile
except ImportError:  # a version manager's python3 may lack the distribution's python3-pefile
    if os.path.exists("/usr/bin/python3") and os.path.realpath(sys.executable) != "/usr/bin/python3":
        os.execv("/usr/bin/python3", ["/usr/bin/python3"] + sys.argv)
    raise

# What Windows 7 SP1 exports, by DLL (windows7_exports.txt, which says why each is there).
with open(os.path.join(os.path.dirname(os.path.abspath(__file__)), "windows7_exports.txt")) as _f:
    _TEXT = re.sub(r"\n[ \t]+", " ", _f.read())  # an indented line continues the one above
WINDOWS7 = {dll.strip(): set(names.split()) for dll, _, names in
            (line.partition(":") for line in _TEXT.splitlines() if line.strip() and not line.startswith("#"))}

FLAGS = [("DYNAMIC_BASE", 0x0040, False), ("NX_COMPAT", 0x0100, False), ("NO_SEH", 0x0400, True),
         ("TERMINAL_SERVER_AWARE", 0x8000, False)]  # name, bit, 32-bit images only
# An instruction whose destination is fs:[0] (AT&T: the last operand); push and compare only read it.
CHAIN_STORE = re.compile(r"^\s*([0-9a-f]+):\s+(?:[0-9a-f]{2} )+\s*(?!push|cmp|test)([a-z]+)\s+(?:\S+,)?%fs:0x0$")


def imports(pe):
    """(dll, name) of every static and delay-loaded import; an import by ordinal as '#n'."""
    entries = getattr(pe, "DIRECTORY_ENTRY_IMPORT", []) + getattr(pe, "DIRECTORY_ENTRY_DELAY_IMPORT", [])
    return [(e.dll.decode().lower(), i.name.decode() if i.name else "#%d" % i.ordinal)
            for e in entries for i in e.imports]


def disassembly(path, machine):
    """(address, function, text) of every instruction objdump shows in the image's code."""
    objdump = "i686-w64-mingw32-objdump" if machine == 0x014C else "x86_64-w64-mingw32-objdump"
    out = subprocess.run([shutil.which(objdump) or objdump, "-d", path], capture_output=True, text=True,
                         check=True).stdout
    function, lines = None, []
    for line in out.splitlines():
        label = re.match(r"^[0-9a-f]+ <(.+)>:$", line)
        if label:
            function = label.group(1)
        elif re.match(r"^\s+[0-9a-f]+:\t", line):
            lines.append((function, line))
    return lines


def problems(path, symbols=False):
    """What is wrong with the image at path, one line each (empty: every check held)."""
    pe = pefile.PE(path)
    found = []
    is32 = pe.FILE_HEADER.Machine == 0x014C
    flags = pe.OPTIONAL_HEADER.DllCharacteristics
    for name, bit, only32 in FLAGS:
        if (is32 or not only32) and not flags & bit:
            found.append("DllCharacteristics 0x%04X: %s is not set" % (flags, name))
    relocs = pe.OPTIONAL_HEADER.DATA_DIRECTORY[pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_BASERELOC"]]
    if (pe.FILE_HEADER.Characteristics & 0x0001  # IMAGE_FILE_RELOCS_STRIPPED
            or not relocs.Size or not getattr(pe, "DIRECTORY_ENTRY_BASERELOC", None)):
        found.append("no base relocations (directory size %d, characteristics 0x%04X)"
                     % (relocs.Size, pe.FILE_HEADER.Characteristics))
    for s in pe.sections:
        if s.Characteristics & 0x80000000 and s.Characteristics & 0x20000000:
            found.append("section %s is writable and executable" % s.Name.rstrip(b"\0").decode())
    if pe.OPTIONAL_HEADER.CheckSum == 0 or pe.OPTIONAL_HEADER.CheckSum != pe.generate_checksum():
        found.append("PE checksum 0x%08X, the image's is 0x%08X" % (pe.OPTIONAL_HEADER.CheckSum, pe.generate_checksum()))
    for dll, name in imports(pe):
        if name not in WINDOWS7.get(dll, ()):
            found.append("imports %s!%s, not on the table of what Windows 7 SP1 has" % (dll, name))

    code = disassembly(path, pe.FILE_HEADER.Machine) if is32 or symbols else []
    if is32:
        for function, line in code:
            m = CHAIN_STORE.match(line)
            if m:
                found.append("0x%s in %s stores to fs:[0] (registers an exception handler): %s"
                             % (m.group(1), function, line.split("\t")[-1]))
    if symbols:
        bare = (lambda n: n[1:] if n.startswith("_") else n) if is32 else (lambda n: n)
        nm = "i686-w64-mingw32-nm" if is32 else "x86_64-w64-mingw32-nm"
        names = {bare(l.split()[-1]) for l in subprocess.run([nm, "--defined-only", path], capture_output=True,
                                                              text=True, check=True).stdout.splitlines() if l}
        for name in ("__stack_chk_fail", "__stack_chk_guard"):
            if name not in names:
                found.append("no %s in the symbol table (no stack protector)" % name)
        callers = {bare(f) for f, line in code if f and re.search(r"\tcall\s+[0-9a-f]+ <_?__stack_chk_fail>$", line)}
        if not [f for f in callers if f.startswith("_Z")]:  # the product is C++; the runtime's C is not protected
            found.append("no C++ function calls __stack_chk_fail (callers: %s)" % (sorted(callers) or "none"))
    pe.close()
    return found


def main():
    args = sys.argv[1:]
    symbols = "--symbols" in args
    paths = [a for a in args if a != "--symbols"]
    if not paths:
        raise SystemExit(__doc__)
    failed = False
    for path in paths:
        found = problems(path, symbols)
        failed = failed or bool(found)
        print("\n".join("FAIL: %s: %s" % (path, p) for p in found) or "%s: every check held" % path)
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
