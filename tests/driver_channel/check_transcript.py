#!/usr/bin/env python3
"""Independent check of driver-channel transcripts: every field the client sends
to the system-interface driver, message by message and in order, from the
transcript's bytes and the driver's secrets lines. SHA-1/HMAC come from the
standard library; Blowfish (sign-extended key bytes, little-endian halves), its
tables (pi's hex digits) and the group prime are computed here; nothing is
shared with the C++ code under test.

A transcript is one JSON object per line: one per exchange
  {"code", "in" (hex), "out" (hex of the bytes returned), "returned", "ok",
   "error", "capacity" (output buffer offered), "violation" (0 or the driver's
   reason for refusing a client fault)}
and, right after each phase 1 that made a session, one {"secrets": {"exchange"
(that phase 1's index), "session_id", ...}} line: the driver's values of that
session.

Checked for every exchange: no violation recorded; the input and the output
capacity each message has (probe 0/0; phases 160/160, 28/20, 24/8; end of
session 4/0; model record 0/128; capsules 16 + the request rounded to 8, with
a reply capsule of 16 + the output length rounded to 8); phases in order within
a session, tags, session ids; phase 1: A in 2..P-2 with a zero top limb, zero
bytes 156-159, no nonce or A seen before; the end of a session names one the
client was given and has not ended; capsules: size and length fields, session
id, zero padding and trailer, the sequence number (from 0 after each
handshake; without sessions from 0 for each new client), the request code and
size, the packet's lengths, the flat-pad query's item and zero bytes, the
battery index little-endian below 256; the model record's short form at
offsets 40-51 and its long-form length at 95. Every phase 1 answered in full
has its session's secrets line right after it, and every secrets line follows
the phase 1 it names. For every session: both proofs, K under SHA-1(Z), the
confirmation, every capsule deciphered with K (a capsule under a key the
transcript does not hold fails), and that a wrong driver proof or confirmation
ends the session with nothing more sent in it.

Prints how many transcripts it checked, with how many problems, and how many
capsules they held, with how many of them recomputed in full (deciphered under
their session's key, or sent plain without sessions, and every field checked).
Exit 0: every transcript checks out.
"""
import argparse
import hashlib
import hmac
import json
import os
import struct
import sys

IOCTL_HANDSHAKE, IOCTL_END_SESSION, IOCTL_CAPSULE = 0x222000, 0x222004, 0x222008
IOCTL_MODEL, IOCTL_FUNCTION = 0x222940, 0x222944
ERROR_NOT_SUPPORTED = 50
NONE, AWAIT2, AWAIT3, ESTABLISHED = range(4)


def _arctan_inverse(x, scale):
    """arctan(1/x) * 2^scale, Taylor series in fixed point."""
    power = total = (1 << scale) // x
    n, sign = 1, -1
    while power:
        power //= x * x
        n, total, sign = n + 2, total + sign * (power // (n + 2)), -sign
    return total


def _pi_fixed(bits):
    """floor(pi * 2^bits), by Machin's formula with 64 guard bits."""
    return (16 * _arctan_inverse(5, bits + 64) - 4 * _arctan_inverse(239, bits + 64)) >> 64


# The 1024-bit MODP prime of the Second Oakley Group, from its definition.
P = 2**1024 - 2**960 - 1 + 2**64 * ((_pi_fixed(894 + 8) >> 8) + 129093)
_WORDS = 18 + 4 * 256
_FRAC = _pi_fixed(32 * _WORDS) - (3 << (32 * _WORDS))
BLOWFISH_INIT = [(_FRAC >> (32 * (_WORDS - 1 - i))) & 0xFFFFFFFF for i in range(_WORDS)]


class Blowfish:
    """The driver's Blowfish: key bytes with the top bit set are sign-extended
    into the key words."""
    def __init__(self, key):
        self.p = BLOWFISH_INIT[:18]
        self.s = [BLOWFISH_INIT[18 + 256 * b: 18 + 256 * (b + 1)] for b in range(4)]
        key, j = key[:16], 0
        for i in range(18):
            word = 0
            for _ in range(4):
                byte = key[j]
                word = ((word << 8) | (byte | 0xFFFFFF00 if byte & 0x80 else byte)) & 0xFFFFFFFF
                j = (j + 1) % len(key)
            self.p[i] ^= word
        left = right = 0
        for table, size in [(self.p, 18)] + [(sb, 256) for sb in self.s]:
            for i in range(0, size, 2):
                left, right = self.encipher(left, right)
                table[i], table[i + 1] = left, right

    def _f(self, x):
        s = self.s
        return ((((s[0][x >> 24] + s[1][(x >> 16) & 255]) & 0xFFFFFFFF) ^ s[2][(x >> 8) & 255])
                + s[3][x & 255]) & 0xFFFFFFFF

    def _rounds(self, left, right, order, last):
        for i in order:
            left ^= self.p[i]
            right ^= self._f(left)
            left, right = right, left
        return right ^ self.p[last[1]], left ^ self.p[last[0]]

    def encipher(self, left, right):
        return self._rounds(left, right, range(16), (16, 17))

    def decipher(self, data):
        out = b""
        for i in range(0, len(data) - len(data) % 8, 8):
            left, right = struct.unpack_from("<II", data, i)
            out += struct.pack("<II", *self._rounds(left, right, range(17, 1, -1), (1, 0)))
        return out


def u32(b, off):
    return struct.unpack_from("<I", b, off)[0]


def u16(b, off):
    return struct.unpack_from("<H", b, off)[0]


def capsule_size(n):
    return 16 + ((n + 7) & ~7)


class Checker:
    def __init__(self):
        self.faults, self.checked = [], 0
        self.verified = set()  # exchanges every byte of whose request is determined and checked
        self.capsules = self.recomputed = 0  # capsules sent; of them, checked byte for byte

    def expect(self, cond, what):
        self.checked += 1
        if not cond:
            self.faults.append(what)
        return cond

    def run(self, lines):
        calls, self.secrets_after = [], {}  # secrets_after: phase 1 index -> its session's secrets
        for line in lines:
            if "code" in line:
                calls.append(line)
            elif "secrets" in line:
                s, after = line["secrets"], len(calls) - 1
                self.expect(s["exchange"] == after and after not in self.secrets_after,
                            "secrets line of exchange %d right after it, once" % s["exchange"])
                self.secrets_after[after] = s
        self.sessions = None            # unknown until a probe is answered
        self.state, self.session_id, self.cipher = NONE, 0, None
        self.given, self.nonces, self.publics = set(), set(), set()
        self.sequence, self.ours = 0, None   # ours: this handshake's values when the secrets are its
        self.unfinished = None               # S of a handshake that failed after phase 1, until ended
        for i, c in enumerate(calls):
            c["in_b"], c["out_b"] = bytes.fromhex(c["in"]), bytes.fromhex(c["out"])
            where = "exchange %d" % i
            self.index = i
            self.expect(c["violation"] == 0, "%s: the driver refused it as a client fault (%d)" % (where, c["violation"]))
            self.expect(len(c["out_b"]) <= c["capacity"], "%s: more output than offered" % where)
            code = c["code"]
            if code == IOCTL_HANDSHAKE and not c["in_b"]:
                self.expect(c["capacity"] == 0, "%s: probe offers no output" % where)
                self.sessions = not (not c["ok"] and c["error"] == ERROR_NOT_SUPPORTED)
            elif code == IOCTL_HANDSHAKE:
                self.expect(self.sessions is True, "%s: a handshake phase without a probe that allows one" % where)
                self.phase(c, where)
            elif code == IOCTL_END_SESSION:
                self.end_session(c, where)
            elif code == IOCTL_CAPSULE:
                self.capsule(c, where)
            elif code == IOCTL_MODEL:
                self.model(c, where)
            else:
                self.expect(False, "%s: unknown control code 0x%x" % (where, code))
        self.expect(not self.secrets_after, "secrets lines after exchanges that are no phase 1: %s"
                    % sorted(self.secrets_after))
        self.expect_ended("the end of the transcript")

    def expect_ended(self, before):
        self.expect(self.unfinished is None, "a handshake that failed after phase 1 left session 0x%08x open "
                    "before %s" % (self.unfinished or 0, before))
        self.unfinished = None

    # --- handshake ---------------------------------------------------------
    def phase(self, c, where):
        req, ans, tag = c["in_b"], c["out_b"], c["in_b"][:4]
        answered = lambda n: c["ok"] and c["returned"] == n and len(ans) == n
        if tag == b"Ini1":
            secrets = self.secrets_after.pop(self.index, None)
            self.expect(len(req) == 160 and c["capacity"] == 160, "%s: phase 1 sends 160, offers 160" % where)
            self.expect(self.state != ESTABLISHED, "%s: phase 1 while a session is established" % where)
            self.expect_ended(where)
            if len(req) < 160:
                return
            a_bytes, nonce = req[4:136], req[136:156]
            a = int.from_bytes(a_bytes, "little")
            self.expect(a_bytes[128:] == bytes(4), "%s: the 33rd limb of A is zero" % where)
            self.expect(1 < a < P - 1, "%s: 1 < A < P - 1" % where)
            self.expect(req[156:160] == bytes(4), "%s: request bytes 156-159 are zero" % where)
            self.expect(nonce not in self.nonces, "%s: a client nonce sent before" % where)
            self.expect(a_bytes not in self.publics, "%s: a public value (so an exponent) sent before" % where)
            self.nonces.add(nonce)
            self.publics.add(a_bytes)
            self.state, self.cipher, self.ours = NONE, None, None
            if answered(160):
                self.state, self.session_id = AWAIT2, u32(ans, 0)
                self.given.add(self.session_id)
                self.unfinished = self.session_id
                if self.expect(secrets is not None, "%s: phase 1 answered without its session's secrets" % where) \
                        and self.expect(bytes.fromhex(secrets["driver_nonce"]) == ans[136:160]
                                        and secrets["session_id"] == self.session_id,
                                        "%s: the secrets after phase 1 are its session's (nonce, S)" % where):
                    self.ours = self.derive(req, ans, secrets)
                    self.ours["phase1"] = self.index
        elif tag == b"Ini2":
            self.expect(len(req) == 28 and c["capacity"] == 20, "%s: phase 2 sends 28, offers 20" % where)
            self.expect(self.state == AWAIT2, "%s: phase 2 out of order" % where)
            self.expect(len(req) >= 8 and u32(req, 4) == self.session_id, "%s: phase 2 carries S" % where)
            if self.ours:
                self.expect(req[8:28] == self.ours["client_proof"], "%s: client proof = HMAC(auth key, A || B)" % where)
                self.verified.update((self.ours["phase1"], self.index))  # the proof covers A and Nc
            self.state = AWAIT3 if answered(20) else NONE
            if self.ours and self.state == AWAIT3 and ans != self.ours["driver_proof"]:
                self.state = NONE  # a wrong driver proof: nothing more in this session
        elif tag == b"Ini3":
            self.expect(len(req) == 24 and c["capacity"] == 8, "%s: phase 3 sends 24, offers 8" % where)
            self.expect(self.state == AWAIT3, "%s: phase 3 out of order (or after a wrong driver proof)" % where)
            self.expect(len(req) >= 8 and u32(req, 4) == self.session_id, "%s: phase 3 carries S" % where)
            self.state = NONE
            if self.ours and len(req) == 24 and answered(8):
                k = Blowfish(self.ours["kek"]).decipher(req[8:24])
                self.expect(k == bytes.fromhex(self.ours["secrets"]["session_key"]),
                            "%s: K deciphered under SHA-1(Z)[0:16] is the driver's session key" % where)
                self.verified.add(self.index)
                confirmation = Blowfish(k).decipher(ans)
                if confirmation == bytes.fromhex(self.ours["secrets"]["confirmation"]):
                    self.state, self.cipher, self.sequence = ESTABLISHED, Blowfish(k), 0
            elif answered(8):
                self.state, self.cipher, self.sequence = ESTABLISHED, None, 0  # a key not held: its capsules fail
            if self.state == ESTABLISHED:
                self.unfinished = None
        else:
            self.expect(False, "%s: handshake tag %r" % (where, tag))

    def derive(self, req1, ans1, secrets):
        """The handshake's values from the driver's secrets of this session."""
        y = int.from_bytes(bytes.fromhex(secrets["private_exponent"]), "little")
        a_bytes, b_bytes = req1[4:136], ans1[4:136]
        self.expect(pow(2, y, P) == int.from_bytes(b_bytes, "little"), "phase 1: B = 2^y mod P (the secrets line)")
        auth = hmac.new(bytes.fromhex(secrets["handshake_key"]), req1[136:160] + ans1[136:160],
                        hashlib.sha1).digest()
        z = pow(int.from_bytes(a_bytes, "little"), y, P).to_bytes(132, "little")
        return {"client_proof": hmac.new(auth, a_bytes + b_bytes, hashlib.sha1).digest(),
                "driver_proof": hmac.new(auth, b_bytes + a_bytes, hashlib.sha1).digest(),
                "kek": hashlib.sha1(z).digest()[:16], "secrets": secrets}

    def end_session(self, c, where):
        req = c["in_b"]
        self.expect(len(req) == 4 and c["capacity"] == 0, "%s: end of session sends 4, offers none" % where)
        self.expect(self.sessions is True, "%s: end of session on a driver without sessions" % where)
        sid = u32(req, 0) if len(req) >= 4 else None
        self.verified.add(self.index)
        self.expect(sid in self.given, "%s: end of session names a session the driver gave and was not ended" % where)
        self.given.discard(sid)
        if sid == self.unfinished:
            self.unfinished = None
        if sid == self.session_id:
            self.state, self.cipher = NONE, None

    def model(self, c, where):
        self.expect(c["in_b"] == b"" and c["capacity"] == 128, "%s: model query sends nothing, offers 128" % where)
        rec = c["out_b"]
        if c["ok"] and len(rec) == 128:
            self.expect(all(0x20 <= ch < 0x7F for ch in rec[40:52]),
                        "%s: model record: the short form at offsets 40-51" % where)

    # --- capsules ----------------------------------------------------------
    def capsule(self, c, where):
        req = c["in_b"]
        self.capsules += 1
        if not self.expect(len(req) >= 16 and len(req) % 8 == 0, "%s: request capsule length" % where):
            return
        n = u32(req, 0)
        self.expect(u32(req, 4) == capsule_size(n) == len(req), "%s: request size field" % where)
        self.expect(req[-4:] == bytes(4), "%s: request trailer zero" % where)
        if self.sessions:
            self.expect(self.state == ESTABLISHED, "%s: a capsule without an established session" % where)
            self.expect(u32(req, 8) == self.session_id, "%s: session id field carries S" % where)
        else:
            self.expect(self.sessions is False, "%s: a capsule before the probe" % where)
            self.expect(u32(req, 8) == 0, "%s: session id field 0 without sessions" % where)
        body = req[12:-4]
        if self.sessions:
            if not self.expect(self.cipher is not None, "%s: a capsule under a key the transcript does not hold" % where):
                return
            body = self.cipher.decipher(body)
        self.verified.add(self.index)
        self.recomputed += 1
        if not self.expect(n >= 24 and len(body) >= n, "%s: payload holds a request" % where):
            return
        self.expect(body[n:] == bytes(len(body) - n), "%s: request padding zero" % where)
        in_len, out_len, seq = u32(body, 12), u32(body, 16), u32(body, 0)
        if not self.sessions and seq == 0:
            self.sequence = 0  # a new client (or the first call)
        self.expect(seq == self.sequence, "%s: sequence %d expected, %d sent" % (where, self.sequence, seq))
        self.expect(u32(body, 4) == n == in_len + 24, "%s: request size = input + 24" % where)
        self.expect(u32(body, 8) == IOCTL_FUNCTION, "%s: code IOCTL_MISC_FUNCTION" % where)
        self.expect(body[20 + in_len:n] == bytes(4), "%s: request ends in 4 zeros" % where)
        self.expect(c["capacity"] == capsule_size(out_len), "%s: reply capsule of 16 + output rounded up" % where)
        packet = body[20:20 + in_len]
        if self.expect(len(packet) >= 8, "%s: packet header" % where):
            self.expect(u16(packet, 2) == in_len and u16(packet, 4) == out_len and u16(packet, 6) == 0,
                        "%s: packet lengths match the request, reserved 0" % where)
            if packet[0] == 0x11:
                self.expect(packet[1] == 1 and in_len == 22 and out_len == 22 and packet[8:10] == b"\x02\x80"
                            and packet[10:22] == bytes(12), "%s: flat-pad query packet" % where)
            else:
                self.expect(packet[0] == 0x42 and packet[1] == 2 and in_len == 10 and out_len == 14,
                            "%s: battery query packet (function 0x%02x)" % (where, packet[0]))
                self.expect(len(packet) >= 10 and packet[9] == 0, "%s: battery index little-endian, below 256" % where)
        if c["ok"] or c["returned"] != 0:
            self.sequence += 1


def transcripts(args, match):
    for a in args:
        if os.path.isdir(a):
            for name in sorted(os.listdir(a)):
                if name.endswith(".jsonl") and name.startswith(match):
                    yield os.path.join(a, name)
        else:
            yield a


def check(lines):
    checker = Checker()
    try:
        checker.run(lines)
    except (KeyError, ValueError, IndexError, TypeError, struct.error) as e:
        checker.faults.append("malformed transcript: %r" % e)
    return checker


def bit_flips(path, lines):
    """Flips one bit in each request, one request at a time; every flip must be
    found. Returns the flips that went unnoticed."""
    missed = []
    verified = check(lines).verified
    at = [n for n, l in enumerate(lines) if "code" in l]  # each exchange's line
    for i, n in enumerate(at):
        if i not in verified:
            continue
        line = lines[n]
        data = bytearray.fromhex(line["in"])
        bit = (i * 37) % (8 * len(data))
        if line["code"] == IOCTL_CAPSULE and data[8:12] == bytes(4) and 40 * 8 <= bit < 41 * 8:
            bit += 64  # a plain battery query's index may be any pack number
        data[bit // 8] ^= 1 << (bit % 8)
        lines_flipped = [dict(l) for l in lines]
        lines_flipped[n]["in"] = data.hex()
        if not check(lines_flipped).faults:
            missed.append("%s: exchange %d, bit %d flipped unnoticed" % (path, i, bit))
    return missed


def self_test():
    # With key bytes below 0x80 this is the published cipher: key 0^8, plain 0 -> 4EF997456198DD78.
    assert Blowfish(bytes(8)).encipher(0, 0) == (0x4EF99745, 0x6198DD78), "Blowfish vector"
    assert BLOWFISH_INIT[0] == 0x243F6A88 and BLOWFISH_INIT[17] == 0x8979FB1B
    assert P % 2**64 == 2**64 - 1 and P >> 960 == 2**64 - 1 and pow(2, P - 1, P) == 1


def main(argv):
    self_test()
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--min", type=int, default=0, help="fail unless at least MIN transcripts were checked")
    ap.add_argument("--match", default="", help="of a folder, only the files whose names start with MATCH")
    ap.add_argument("--bit-flips", action="store_true", help="also check that one flipped bit in each request of "
                    "each transcript is found (the checker's own test)")
    ap.add_argument("paths", nargs="+", metavar="TRANSCRIPT.jsonl|FOLDER")
    a = ap.parse_args(argv[1:])
    status, checkers = 0, []
    for path in transcripts(a.paths, a.match):
        with open(path) as f:
            lines = [json.loads(line) for line in f if line.strip()]
        checker = check(lines)
        checkers.append(checker)
        status |= bool(checker.faults)
        if checker.faults:
            print("%s: %d of %d checks failed" % (path, len(checker.faults), checker.checked))
            print("".join("  %s\n" % fault for fault in checker.faults), end="")
        elif a.bit_flips:
            missed = bit_flips(path, lines)
            status |= bool(missed)
            print("".join("  %s\n" % m for m in missed), end="")
    print("%d transcripts checked, %d problems" % (len(checkers), sum(len(c.faults) for c in checkers)))
    print("%d capsules, %d of them recomputed in full" % (sum(c.capsules for c in checkers),
                                                          sum(c.recomputed for c in checkers)))
    if len(checkers) < a.min:
        print("fewer transcripts than the %d required" % a.min)
        status = 1
    return status

if __name__ == "__main__":
    sys.exit(main(sys.argv))
