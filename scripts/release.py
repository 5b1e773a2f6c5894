#!/usr/bin/env python3
"""Builds a release of Quillmere into build/release/: Quillmere.exe (Authenticode-signed),
SHA256SUMS and a report. `make release` runs it; see README.md, "Release".

  release.py [--vendor-dir DIR --timestamp-url URL] [--support-number N] [--sign-cert PEM --sign-key PEM]
  release.py --check-vendor DIR        only the checks of the vendor's five files

Every input is checked before anything is built. The image is made reproducible from the
commit: the release trees link without a time stamp, the program's PE time stamp and the
signing time are the commit's time, compiled paths are mapped away from the checkout and the
program is stripped, so two checkouts of one commit in different folders, signed with the same
key, give the same bytes. A shipping release's signature carries an RFC 3161 time stamp from the
time-stamp server given, so that it still verifies after the signing certificate expires; a time
stamp differs every time, so such releases are the same bytes once their signatures are removed.
"""
import argparse
import datetime
import hashlib
import os
import re
import shutil
import subprocess
import sys

try:
    import pefile
except ImportError:
    # A version manager's python3 may come first on PATH without the distribution's
    # python3-pefile, which serves /usr/bin/python3.
    system_python = "/usr/bin/python3"
    if os.path.exists(system_python) and os.path.realpath(sys.executable) != os.path.realpath(system_python):
        os.execv(system_python, [system_python] + sys.argv)
    raise SystemExit("release: python3-pefile is missing (make bootstrap installs it)")

TOP = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
BUILD = os.path.join(TOP, "build")
OUT = os.path.join(BUILD, "release")

# The embedded files in resource order (300 to 304): name, exact size, width of the program
# (None: the firmware image, not a program).
PAYLOADS = [
    ("KvReflash_x86.exe", 1129984, 32),
    ("KvReflash_x64.exe", 1396224, 64),
    ("FW2149928-kt2379-004_touchthr_40.img", 28928, None),
    ("KvInfo32.exe", 1794048, 32),
    ("KvInfo64.exe", 2518016, 64),
]
MACHINES = {32: 0x014C, 64: 0x8664}
MACHINE_NAMES = {0x014C: "i386", 0x8664: "x86-64", 0x01C4: "ARM", 0xAA64: "ARM64", 0x0200: "IA-64"}
PLACEHOLDER_NUMBER = "0120-XXX-XXX"
TEST_COMMENT = "TEST RELEASE, NOT FOR SHIPPING: substitutes in place of the vendor files"
TEST_REPORT = "TEST-RELEASE-NOT-FOR-SHIPPING-report.txt"
REPORT = "release-report.txt"
TEST_CERT_DIR = os.path.join(BUILD, "release-cert")


def fail(lines):
    for line in lines:
        print("release: " + line, file=sys.stderr)
    sys.exit(2)


def describe_program(path):
    """What the file is, in the words of the checks: 'a 32-bit Windows program', etc."""
    try:
        pe = pefile.PE(path, fast_load=True)
    except pefile.PEFormatError as e:
        return None, "not a PE file (%s)" % e
    machine = pe.FILE_HEADER.Machine
    name = MACHINE_NAMES.get(machine, "0x%04X" % machine)
    if pe.FILE_HEADER.Characteristics & 0x2000:  # IMAGE_FILE_DLL
        return machine, "a DLL (PE, machine %s)" % name
    if not pe.FILE_HEADER.Characteristics & 0x0002:  # IMAGE_FILE_EXECUTABLE_IMAGE
        return machine, "a PE file that is not executable (machine %s)" % name
    return machine, "a Windows program (PE, machine %s)" % name


def check_vendor_dir(folder):
    """The problems with the vendor's five files in folder, one line each (empty: all good)."""
    problems = []
    for name, size, width in PAYLOADS:
        path = os.path.join(folder, name)
        if not os.path.isfile(path):
            problems.append("%s: expected a file of %d bytes, found none in %s" % (name, size, folder))
            continue
        found = os.path.getsize(path)
        if found != size:
            problems.append("%s: expected %d bytes, found %d bytes" % (name, size, found))
        if width:
            machine, what = describe_program(path)
            expected = "a %d-bit Windows program (PE, machine %s)" % (width, MACHINE_NAMES[MACHINES[width]])
            if machine != MACHINES[width] or not what.startswith("a Windows program"):
                problems.append("%s: expected %s, found %s" % (name, expected, what))
    return problems


def check_support_number(number):
    """None when number is a toll-free number for the contact text, else the problem."""
    digits = number.replace("-", "")
    ok = (re.fullmatch(r"[0-9]+(-[0-9]+)*", number) is not None
          and ((digits.startswith("0120") and len(digits) == 10)
               or (digits.startswith("0800") and len(digits) == 11)))
    if ok:
        return None
    return ("SUPPORT_NUMBER: expected the support centre's toll-free number (0120 and 6 more digits, "
            "or 0800 and 7 more, with optional hyphens), found %r" % number)


def run(cmd, **kw):
    print("release: " + " ".join(cmd), flush=True)
    subprocess.run(cmd, check=True, **kw)


def git(*args):
    return subprocess.run(["git", "-C", TOP] + list(args), check=True, capture_output=True,
                          text=True).stdout.strip()


def sha256(path):
    with open(path, "rb") as f:
        return hashlib.sha256(f.read()).hexdigest()


def certificate_subject(cert):
    out = subprocess.run(["openssl", "x509", "-in", cert, "-noout", "-subject", "-fingerprint", "-sha256"],
                         capture_output=True, text=True)
    if out.returncode != 0:
        return None
    return "; ".join(l.strip() for l in out.stdout.splitlines() if l.strip())


def make_test_certificate():
    """A throwaway self-signed code-signing certificate under build/, made once and kept, so
    that test releases of one commit on this machine stay byte-identical."""
    cert = os.path.join(TEST_CERT_DIR, "test-cert.pem")
    key = os.path.join(TEST_CERT_DIR, "test-key.pem")
    if not (os.path.isfile(cert) and os.path.isfile(key)):
        os.makedirs(TEST_CERT_DIR, exist_ok=True)
        run(["openssl", "req", "-x509", "-newkey", "rsa:3072", "-nodes", "-sha256", "-days", "3650",
             "-keyout", key, "-out", cert, "-subj", "/CN=Quillmere test signing (not for shipping)",
             "-addext", "keyUsage=critical,digitalSignature",
             "-addext", "extendedKeyUsage=codeSigning"], stderr=subprocess.DEVNULL)
    return cert, key


def build_program(vendor_dir, number, comment):
    """Configures and builds the release trees; returns the unsigned program's path."""
    jobs = os.environ.get("JOBS", "2")
    common = [
        "-G", "Ninja", "-DCMAKE_BUILD_TYPE=Release", "-DQM_RELEASE_TREE=ON",
        # No path of this checkout in any object, no symbol table, no link time stamp.
        "-DCMAKE_C_FLAGS=-ffile-prefix-map=%s/=" % TOP,
        "-DCMAKE_CXX_FLAGS=-ffile-prefix-map=%s/=" % TOP,
        "-DCMAKE_EXE_LINKER_FLAGS=-s -Wl,--no-insert-timestamp",
        "-DCMAKE_SHARED_LINKER_FLAGS=-s -Wl,--no-insert-timestamp",
    ]
    tree32 = os.path.join(BUILD, "release-win32")
    tree64 = os.path.join(BUILD, "release-win64")
    if not vendor_dir:
        # The 64-bit substitutes come from a 64-bit tree of their own.
        run(["cmake", "-S", TOP, "-B", tree64, "-DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-x86_64.cmake",
             "-DQM_VENDOR_PAYLOAD_DIR=", "-DQM_WIN32_BINARY_DIR="] + common, cwd=TOP)
        run(["cmake", "--build", tree64, "-j", jobs, "--target", "qm_payloads64"])
    run(["cmake", "-S", TOP, "-B", tree32, "-DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-i686.cmake",
         "-DQM_VENDOR_PAYLOAD_DIR=" + (vendor_dir or ""),
         "-DQM_WIN64_BINARY_DIR=" + ("" if vendor_dir else tree64),
         "-DQM_SUPPORT_NUMBER=" + number, "-DQM_VERSION_COMMENT=" + comment,
         "-DQM_DIST_DIR=" + os.path.join(tree32, "dist")] + common, cwd=TOP)
    run(["cmake", "--build", tree32, "-j", jobs, "--target", "Quillmere"])
    payloads = [os.path.join(vendor_dir, n) if vendor_dir else
                os.path.join(tree64 if w == 64 else tree32, "payloads", n) for n, _, w in PAYLOADS]
    return os.path.join(tree32, "dist", "Quillmere.exe"), payloads


def set_time_stamp(path, epoch):
    """The PE header's time stamp (and the resource directory's, where set) becomes epoch."""
    pe = pefile.PE(path)
    pe.FILE_HEADER.TimeDateStamp = epoch
    rsrc = getattr(pe, "DIRECTORY_ENTRY_RESOURCE", None)
    if rsrc is not None and rsrc.struct.TimeDateStamp:
        rsrc.struct.TimeDateStamp = epoch
    data = pe.write()
    pe.close()
    pe = pefile.PE(data=data)  # the checksum over the new bytes
    pe.OPTIONAL_HEADER.CheckSum = pe.generate_checksum()
    data = pe.write()
    with open(path, "wb") as f:
        f.write(data)


def embedded_files(path):
    """{resource id: bytes} of the FILE resources, and the version resource's strings."""
    pe = pefile.PE(path)
    files, version = {}, {}
    for rtype in pe.DIRECTORY_ENTRY_RESOURCE.entries:
        if str(rtype.name) != "FILE":
            continue
        for entry in rtype.directory.entries:
            for lang in entry.directory.entries:
                files[entry.id] = pe.get_data(lang.data.struct.OffsetToData, lang.data.struct.Size)
    for info in getattr(pe, "FileInfo", []) or []:
        for block in info:
            for table in getattr(block, "StringTable", []):
                version.update({k.decode(): v.decode() for k, v in table.entries.items()})
    pe.close()
    return files, version


def main():
    ap = argparse.ArgumentParser(description="Builds a signed, reproducible release into build/release/.")
    ap.add_argument("--vendor-dir", default="")
    ap.add_argument("--support-number", default="")
    ap.add_argument("--sign-cert", default="")
    ap.add_argument("--sign-key", default="")
    ap.add_argument("--timestamp-url", default="")
    ap.add_argument("--check-vendor", metavar="DIR", help="only check the vendor's files in DIR")
    args = ap.parse_args()

    if args.check_vendor is not None:
        problems = check_vendor_dir(args.check_vendor)
        if problems:
            fail(problems)
        print("release: the vendor's five files in %s are as expected" % args.check_vendor)
        return 0

    # ---- the inputs, before anything is built
    problems = []
    vendor_dir = os.path.abspath(args.vendor_dir) if args.vendor_dir else ""
    number = args.support_number.strip()
    if vendor_dir:
        problems += check_vendor_dir(vendor_dir)
        if not number or number == PLACEHOLDER_NUMBER:
            problems.append("SUPPORT_NUMBER: required with VENDOR_DIR (the support centre's toll-free "
                            "number), found %s" % (repr(number) if number else "none"))
        elif check_support_number(number):
            problems.append(check_support_number(number))
    elif number and number != PLACEHOLDER_NUMBER and check_support_number(number):
        problems.append(check_support_number(number))
    timestamp_url = args.timestamp_url.strip()
    if vendor_dir and not timestamp_url:
        problems.append("TIMESTAMP_URL: required with VENDOR_DIR (an RFC 3161 time-stamp server, so that the "
                        "signature verifies after the certificate expires), found none")
    elif timestamp_url and not re.fullmatch(r"https?://[^\s/]+(/\S*)?", timestamp_url):
        problems.append("TIMESTAMP_URL: expected the http:// or https:// address of an RFC 3161 time-stamp "
                        "server, found %r" % timestamp_url)
    if bool(args.sign_cert) != bool(args.sign_key):
        problems.append("SIGN_CERT and SIGN_KEY: expected both or neither, found only %s"
                        % ("SIGN_CERT" if args.sign_cert else "SIGN_KEY"))
    for var, path in (("SIGN_CERT", args.sign_cert), ("SIGN_KEY", args.sign_key)):
        if path and not os.path.isfile(path):
            problems.append("%s: expected a PEM file, found no file %s" % (var, path))
    if args.sign_cert and os.path.isfile(args.sign_cert) and not certificate_subject(args.sign_cert):
        problems.append("SIGN_CERT: expected a PEM certificate, found none in %s" % args.sign_cert)
    for tool in ("cmake", "ninja", "osslsigncode", "openssl", "git"):
        if not shutil.which(tool):
            problems.append("%s: expected on PATH, found none (make bootstrap installs it)" % tool)
    if problems:
        fail(problems)

    test_release = not vendor_dir
    number = number if number and number != PLACEHOLDER_NUMBER else ""
    commit = git("rev-parse", "HEAD")
    epoch = int(git("log", "-1", "--format=%ct", "HEAD"))
    dirty = git("status", "--porcelain") != ""
    when = datetime.datetime.fromtimestamp(epoch, datetime.timezone.utc).strftime("%Y-%m-%d %H:%M:%S UTC")

    if args.sign_cert:
        cert, key, throwaway = os.path.abspath(args.sign_cert), os.path.abspath(args.sign_key), False
    else:
        (cert, key), throwaway = make_test_certificate(), True

    # ---- build, stamp, sign
    os.environ["SOURCE_DATE_EPOCH"] = str(epoch)  # for any tool that would take the time of day
    program, payload_paths = build_program(vendor_dir, number, TEST_COMMENT if test_release else "")

    stage = OUT + ".partial"
    shutil.rmtree(stage, ignore_errors=True)
    os.makedirs(stage)
    unsigned = os.path.join(stage, "Quillmere.unsigned.exe")
    shutil.copyfile(program, unsigned)
    set_time_stamp(unsigned, epoch)
    signed = os.path.join(stage, "Quillmere.exe")
    try:
        run(["osslsigncode", "sign", "-certs", cert, "-key", key, "-h", "sha256", "-n", "Quillmere",
             "-time", str(epoch)] + (["-ts", timestamp_url] if timestamp_url else []) +
            ["-in", unsigned, "-out", signed], stdout=subprocess.DEVNULL)
    except subprocess.CalledProcessError:
        fail(["signing failed%s" % (" (is the time-stamp server %s reachable from this machine?)" % timestamp_url
                                    if timestamp_url else "")])
    os.remove(unsigned)

    # ---- what went in, read back from the signed program
    files, version = embedded_files(signed)
    inputs = [open(p, "rb").read() for p in payload_paths]
    wrong = [n for (n, _, _), rid, data in zip(PAYLOADS, range(300, 305), inputs) if files.get(rid) != data]
    if wrong:
        fail(["the program does not carry %s as given" % ", ".join(wrong)])

    report_name = TEST_REPORT if test_release else REPORT
    lines = [
        "Quillmere release report",
        "",
        "Release:        " + ("TEST RELEASE, NOT FOR SHIPPING (the substitutes stand in for the vendor's files)"
                              if test_release else "for shipping (the vendor's files)"),
        "Version:        " + version.get("FileVersion", "?"),
        "Commit:         %s (%s)%s" % (commit, when, ", WITH UNCOMMITTED CHANGES: not reproducible from the commit"
                                       if dirty else ""),
        "Time stamps:    PE header and signing time %d (%s), the commit's time" % (epoch, when),
        "Signature:      " + ("RFC 3161 time stamp from " + timestamp_url if timestamp_url
                              else "no time stamp: it stops verifying when the certificate expires"),
        "Support number: " + (number or PLACEHOLDER_NUMBER + " (the placeholder)"),
        "Signer:         " + certificate_subject(cert) +
        (" -- a throwaway test certificate made under build/release-cert/, NOT FOR SHIPPING" if throwaway else ""),
        "Program:        Quillmere.exe, %d bytes, SHA-256 %s" % (os.path.getsize(signed), sha256(signed)),
        "Payloads (resource id, name, bytes, SHA-256):",
    ]
    for rid, (name, _, _), data in zip(range(300, 305), PAYLOADS, inputs):
        lines.append("  %d  %-38s %8d  %s" % (rid, name, len(data), hashlib.sha256(data).hexdigest()))
    with open(os.path.join(stage, report_name), "w", encoding="utf-8") as f:
        f.write("\n".join(lines) + "\n")
    with open(os.path.join(stage, "SHA256SUMS"), "w") as f:
        for name in ("Quillmere.exe", report_name):
            f.write("%s  %s\n" % (sha256(os.path.join(stage, name)), name))

    shutil.rmtree(OUT, ignore_errors=True)
    os.rename(stage, OUT)
    print("\n".join(lines))
    print("release: build/release/ holds Quillmere.exe, SHA256SUMS and " + report_name)
    return 0


if __name__ == "__main__":
    sys.exit(main())
