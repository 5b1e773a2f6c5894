#!/usr/bin/env python3
"""The release (make release): one check per call, run by ctest.

  release_test.py vendor-check  --top T --payloads32 D --payloads64 D --work W
      a vendor folder of the substitutes padded to the vendor's sizes passes the checks; spoilt
      copies of it (a byte short, the wrong width, not a program, missing) and a missing or
      placeholder support number stop the release before anything is built
  release_test.py reproducible  ...
      two clones of the current commit in different folders build the test release, the second
      with the first one's throwaway certificate; the signed images are byte-identical and their
      signature verifies; SHA256SUMS holds
  release_test.py vendor-build  ...
      each clone builds a shipping release from the padded vendor folder and a support number, time-
      stamped by a throwaway time-stamp authority of the test's own on 127.0.0.1; the signatures and
      time stamps verify, and the two images are the same once their signatures are removed
The release images are also held to tests/app/check_image.py (image flags, checksum, imports).
"""
import argparse
import hashlib
import http.server
import json
import os
import shutil
import subprocess
import sys
import tempfile
import threading

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "app"))
import check_image  # noqa: E402  (and its pefile, with its fallback to the distribution's python3)
from check_image import pefile  # noqa: E402

# The vendor's files (resource id, file name, size) from the expected table.
PAYLOADS = json.load(open(os.path.join(HERE, "..", "expected", "quillmere.json"), encoding="utf-8"))["payloads"]["files"]
TEST_REPORT = "TEST-RELEASE-NOT-FOR-SHIPPING-report.txt"
CONTACT = "連絡先：フリーダイヤル%s\n受付時間：午前9時から午後8時（365日受付）"
failures = []


def check(ok, what):
    print(("ok    " if ok else "FAIL  ") + what, flush=True)
    if not ok:
        failures.append(what)
    return ok


def built(rc, out, what):
    """Checks that a make release succeeded; prints the end of its output when it did not."""
    if not check(rc == 0, "%s (exit %d)" % (what, rc)):
        print(out[-3000:])
    return rc == 0


def test_cert(clone_dir):
    """The throwaway certificate and key a test release made in clone_dir."""
    return [os.path.join(clone_dir, "build", "release-cert", "test-%s.pem" % k) for k in ("cert", "key")]


def make(top, *args):
    """make release in top; (exit code, output)."""
    env = {k: v for k, v in os.environ.items()  # nothing of an outer make or release leaks in
           if k not in ("MAKEFLAGS", "MFLAGS", "MAKELEVEL", "VENDOR_DIR", "SUPPORT_NUMBER", "SIGN_CERT",
                        "SIGN_KEY", "SOURCE_DATE_EPOCH", "TIMESTAMP_URL")}
    r = subprocess.run(["make", "-s", "-C", top, "release"] + list(args), capture_output=True, text=True, env=env)
    return r.returncode, r.stdout + r.stderr


def vendor_folder(a, path):
    """The substitutes padded with zeros to the vendor's sizes, in path."""
    shutil.rmtree(path, ignore_errors=True)
    os.makedirs(path)
    for name, size in ((p["file"], p["vendor_size"]) for p in PAYLOADS):
        src = os.path.join(a.payloads64 if "64" in name else a.payloads32, name)
        data = open(src, "rb").read()
        assert len(data) <= size, "%s is larger than the vendor's" % src
        with open(os.path.join(path, name), "wb") as f:
            f.write(data + bytes(size - len(data)))
    return path


def vendor_check(a):
    good = vendor_folder(a, os.path.join(a.work, "vendor"))
    r = subprocess.run([sys.executable, os.path.join(a.top, "scripts", "release.py"), "--check-vendor", good],
                       capture_output=True, text=True)
    check(r.returncode == 0, "the padded substitutes pass the vendor checks: " + (r.stdout + r.stderr).strip())

    def spoil_short(d):
        p = os.path.join(d, "KvInfo64.exe")
        os.truncate(p, os.path.getsize(p) - 1)

    def spoil_width(d):  # the 32-bit reflash tool, padded to the 64-bit one's size
        data = open(os.path.join(d, "KvReflash_x86.exe"), "rb").read().rstrip(b"\0")
        open(os.path.join(d, "KvReflash_x64.exe"), "wb").write(data + bytes(1396224 - len(data)))

    # No case gets as far as signing, so the time-stamp address is never asked.
    number = ["SUPPORT_NUMBER=0120-123-456", "TIMESTAMP_URL=http://127.0.0.1:9/"]
    cases = [
        ("a byte short", spoil_short, number, "KvInfo64.exe: expected 2518016 bytes, found 2518015 bytes"),
        ("the wrong width", spoil_width, number,
         "KvReflash_x64.exe: expected a 64-bit Windows program (PE, machine x86-64), "
         "found a Windows program (PE, machine i386)"),
        ("not a program", lambda d: open(os.path.join(d, "KvInfo32.exe"), "wb").write(b"MZ" + bytes(1794046)), number,
         "KvInfo32.exe: expected a 32-bit Windows program (PE, machine i386), found not a PE file"),
        ("a file missing", lambda d: os.remove(os.path.join(d, "FW2149928-kt2379-004_touchthr_40.img")), number,
         "FW2149928-kt2379-004_touchthr_40.img: expected a file of 28928 bytes, found none"),
        ("no support number", None, number[1:], "SUPPORT_NUMBER: required with VENDOR_DIR"),
        ("no time-stamp server", None, number[:1], "TIMESTAMP_URL: required with VENDOR_DIR"),
        ("a time-stamp address that is no web address", None, number[:1] + ["TIMESTAMP_URL=127.0.0.1:9"],
         "TIMESTAMP_URL: expected the http:// or https:// address of an RFC 3161 time-stamp server, found '127.0.0.1:9'"),
        ("a number a digit short", None, ["SUPPORT_NUMBER=0120-123-45"] + number[1:], "SUPPORT_NUMBER: expected the support"),
        ("a key without its certificate", None, number + ["SIGN_KEY=/dev/null"],
         "SIGN_CERT and SIGN_KEY: expected both or neither"),
    ]
    for what, spoil, extra, message in cases:
        folder = good
        if spoil:
            folder = os.path.join(a.work, "vendor-spoilt")
            shutil.rmtree(folder, ignore_errors=True)
            shutil.copytree(good, folder)
            spoil(folder)
        rc, out = make(a.top, "VENDOR_DIR=" + folder, *extra)
        check(rc != 0 and message in out and "release: cmake" not in out,
              "%s stops the release before building, saying %r (exit %d, said %r)"
              % (what, message, rc, out.strip()[-400:]))


def clone(a, name):
    """A clean clone of the checkout's current commit under the work folder."""
    path = os.path.join(a.work, name)
    shutil.rmtree(path, ignore_errors=True)
    git = lambda *args, cwd=a.top: subprocess.run(["git"] + list(args), cwd=cwd, check=True,
                                                  capture_output=True, text=True).stdout.strip()
    common = os.path.join(a.top, git("rev-parse", "--git-common-dir"))
    git("clone", "--quiet", "--shared", "--no-checkout", common, path)
    git("checkout", "--quiet", "--detach", git("rev-parse", "HEAD"), cwd=path)
    return path


def reproducible(a):
    if subprocess.run(["git", "-C", a.top, "status", "--porcelain"], capture_output=True, text=True).stdout:
        print("note: the checkout has uncommitted changes; the clones build its last commit")
    one, two = clone(a, "clone-one"), clone(a, "clone-two")
    if not built(*make(one), "the first clone builds the test release"):
        return
    cert, key = test_cert(one)
    if not built(*make(two, "SIGN_CERT=" + cert, "SIGN_KEY=" + key),
                 "the second clone builds it with the first one's certificate"):
        return

    out1, out2 = os.path.join(one, "build", "release"), os.path.join(two, "build", "release")
    exe1, exe2 = os.path.join(out1, "Quillmere.exe"), os.path.join(out2, "Quillmere.exe")
    data1, data2 = open(exe1, "rb").read(), open(exe2, "rb").read()
    print("SHA-256 of the test release: clone one %s, clone two %s"
          % (hashlib.sha256(data1).hexdigest(), hashlib.sha256(data2).hexdigest()))
    # The clones lie in different folders and were built at different times, so a compiled path
    # or a build-time stamp (PE header or signature) makes the images differ.
    check(data1 == data2, "the two clones' signed images are byte-identical")
    image_checks(exe1, "the test release image")
    comments = version_comments(pefile.PE(data=data1))
    check(len(comments) == 1 and b"NOT FOR SHIPPING" in comments[0],
          "the version resource's comment says it is a test release: %r" % comments)
    r = subprocess.run(["osslsigncode", "verify", "-CAfile", cert, "-in", exe1], capture_output=True, text=True)
    check(r.returncode == 0 and "Signature verification: ok" in r.stdout,
          "the signature verifies against the test certificate")

    r = subprocess.run(["sha256sum", "-c", "SHA256SUMS"], cwd=out1, capture_output=True, text=True)
    check(r.returncode == 0 and "Quillmere.exe: OK" in r.stdout and TEST_REPORT + ": OK" in r.stdout,
          "sha256sum -c SHA256SUMS holds: " + r.stdout.strip().replace("\n", "; "))
    report = open(os.path.join(out1, TEST_REPORT), encoding="utf-8").read()
    head = subprocess.run(["git", "-C", one, "rev-parse", "HEAD"], capture_output=True, text=True).stdout.strip()
    needles = ("TEST RELEASE, NOT FOR SHIPPING", "Version:        1.0.0.0", head, "0120-XXX-XXX",
               "throwaway test certificate", hashlib.sha256(data1).hexdigest(), "28928")
    check(all(n in report for n in needles), "the report holds %r" % [n for n in needles if n not in report])


class TimeStampAuthority:
    """A throwaway RFC 3161 time-stamp authority on 127.0.0.1, for as long as the with block runs: a CA of its
    own, a TSA certificate from it with the timeStamping extended key usage (critical), and `openssl ts -reply`
    answering each request posted to it. Its CA certificate is self.ca."""

    def __init__(self, folder):
        shutil.rmtree(folder, ignore_errors=True)
        os.makedirs(folder)
        self.dir, self.ca, self.replies, self.lock = folder, os.path.join(folder, "ca.pem"), 0, threading.Lock()
        ossl = lambda *args: subprocess.run(["openssl"] + list(args), cwd=folder, check=True, capture_output=True)
        ossl("req", "-x509", "-newkey", "rsa:2048", "-nodes", "-sha256", "-days", "2", "-keyout", "ca-key.pem",
             "-out", "ca.pem", "-subj", "/CN=Quillmere test time-stamp root (not for shipping)",
             "-addext", "basicConstraints=critical,CA:TRUE", "-addext", "keyUsage=critical,keyCertSign,cRLSign")
        ossl("req", "-newkey", "rsa:2048", "-nodes", "-keyout", "tsa-key.pem", "-out", "tsa.csr",
             "-subj", "/CN=Quillmere test time-stamp authority (not for shipping)")
        for name, text in (("tsa-ext.cnf", "basicConstraints=CA:FALSE\nkeyUsage=critical,digitalSignature\n"
                                            "extendedKeyUsage=critical,timeStamping\n"),
                           ("ts.cnf", open(os.path.join(HERE, "tsa.cnf")).read() % {"dir": folder}), ("serial", "01\n")):
            with open(os.path.join(folder, name), "w") as f:
                f.write(text)
        ossl("x509", "-req", "-in", "tsa.csr", "-CA", "ca.pem", "-CAkey", "ca-key.pem", "-set_serial", "2",
             "-days", "2", "-sha256", "-extfile", "tsa-ext.cnf", "-out", "tsa.pem")

    def reply(self, query):
        with self.lock, tempfile.TemporaryDirectory(dir=self.dir) as tmp:
            q, r = os.path.join(tmp, "query.tsq"), os.path.join(tmp, "reply.tsr")
            open(q, "wb").write(query)
            ok = subprocess.run(["openssl", "ts", "-reply", "-config", os.path.join(self.dir, "ts.cnf"),
                                 "-queryfile", q, "-out", r], capture_output=True).returncode == 0
            self.replies += ok
            return open(r, "rb").read() if ok else b""

    def __enter__(self):
        authority = self

        class Handler(http.server.BaseHTTPRequestHandler):
            def do_POST(self):
                answer = authority.reply(self.rfile.read(int(self.headers.get("Content-Length", 0))))
                self.send_response(200 if answer else 500)
                self.send_header("Content-Type", "application/timestamp-reply")
                self.send_header("Content-Length", str(len(answer)))
                self.end_headers()
                self.wfile.write(answer)

            def log_message(self, *args):
                pass

        self.server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
        self.url = "http://127.0.0.1:%d/" % self.server.server_address[1]
        threading.Thread(target=self.server.serve_forever, daemon=True).start()
        return self

    def __exit__(self, *exc):
        self.server.shutdown()
        self.server.server_close()


def version_comments(pe):
    """The Comments values of the image's version resource."""
    return [v for fi in pe.FileInfo for b in fi for t in getattr(b, "StringTable", [])
            for k, v in t.entries.items() if k == b"Comments"]


def image_checks(exe, what):
    found = check_image.problems(exe)
    check(not found, "%s passes the image checks%s" % (what, "".join("\n      " + p for p in found)))


def vendor_build(a):
    clones = [os.path.join(a.work, n) for n in ("clone-two", "clone-one")]
    if not check(all(os.path.isfile(os.path.join(c, "build", "release", "Quillmere.exe")) for c in clones),
                 "both clones' test releases are there"):
        return
    folder = vendor_folder(a, os.path.join(a.work, "vendor-build"))
    cert, key = test_cert(clones[1])
    # A shipping release from each clone (each rebuilds only what the vendor's files change), both
    # time-stamped by the test's own authority.
    with TimeStampAuthority(os.path.join(a.work, "tsa")) as tsa:
        for c in clones:
            if not built(*make(c, "VENDOR_DIR=" + folder, "SUPPORT_NUMBER=0120-987-654", "SIGN_CERT=" + cert,
                               "SIGN_KEY=" + key, "TIMESTAMP_URL=" + tsa.url),
                         "%s takes the padded vendor folder and a time stamp from %s" % (os.path.basename(c), tsa.url)):
                return
    check(tsa.replies == 2, "the time-stamp authority answered one request per release (%d)" % tsa.replies)
    out_dir = os.path.join(clones[0], "build", "release")
    exe = os.path.join(out_dir, "Quillmere.exe")
    data = open(exe, "rb").read()
    pe = pefile.PE(data=data)
    files = {e.id: pe.get_data(l.data.struct.OffsetToData, l.data.struct.Size)
             for t in pe.DIRECTORY_ENTRY_RESOURCE.entries if str(t.name) == "FILE"
             for e in t.directory.entries for l in e.directory.entries}
    wrong = [p["file"] for p in PAYLOADS if files.get(p["id"]) != open(os.path.join(folder, p["file"]), "rb").read()]
    check(not wrong, "FILE 300 to 304 are the vendor folder's files in order; differing: %r" % wrong)
    check((CONTACT % "0120-987-654").encode("utf-16-le") in data and "0120-XXX-XXX".encode("utf-16-le") not in data,
          "the contact text carries the number, the placeholder is gone")
    check(not version_comments(pe), "no test-release comment in the version resource")
    image_checks(exe, "the shipping release image")

    # The signature and its time stamp: osslsigncode checks the time stamp's own signature against the
    # authority's CA (and the signing certificate at the time stamped).
    r = subprocess.run(["osslsigncode", "verify", "-CAfile", cert, "-TSA-CAfile", tsa.ca, "-in", exe],
                       capture_output=True, text=True)
    print("osslsigncode verify of the time-stamped release:\n" + r.stdout + r.stderr)
    lines = [l.strip() for l in r.stdout.splitlines()]
    for needle in ("Timestamp Server Signature verification: ok", "Signature verification: ok",
                   "Succeeded"):
        check(r.returncode == 0 and needle in lines, "osslsigncode verify says %r" % needle)
    unsigned = []
    for c in clones:
        out = os.path.join(a.work, "unsigned-%s.exe" % os.path.basename(c))
        subprocess.run(["osslsigncode", "remove-signature", "-in", os.path.join(c, "build", "release", "Quillmere.exe"),
                        "-out", out], check=True, capture_output=True)
        unsigned.append(open(out, "rb").read())
        os.remove(out)
    check(unsigned[0] == unsigned[1], "the two clones' shipping releases are the same once their signatures are removed")

    report = open(os.path.join(out_dir, "release-report.txt"), encoding="utf-8").read()
    check("for shipping" in report and "NOT FOR SHIPPING (the" not in report and "0120-987-654" in report
          and "RFC 3161 time stamp from " + tsa.url in report,
          "the report names the number and the time-stamp server and does not call it a test release")


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("what", choices=["vendor-check", "reproducible", "vendor-build"])
    for opt in ("--top", "--payloads32", "--payloads64", "--work"):
        ap.add_argument(opt, required=True)
    a = ap.parse_args()
    os.makedirs(a.work, exist_ok=True)
    {"vendor-check": vendor_check, "reproducible": reproducible, "vendor-build": vendor_build}[a.what](a)
    print("%s: %s" % (a.what, "%d failed" % len(failures) if failures else "every check held"))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
