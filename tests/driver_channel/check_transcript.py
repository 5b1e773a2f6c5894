#!/usr/bin/env python3
"""Independent check of driver-channel transcripts: recomputes every handshake
field and message capsule from the transcript's bytes and the driver's secrets
line. SHA-1/HMAC come from the standard library; Blowfish (sign-extended key
bytes, little-endian halves), its tables (pi's hex digits) and the group prime
are computed here; nothing is shared with the C++ code under test.

Usage: check_transcript.py TRANSCRIPT.jsonl [...]   (exit 0: all check out)
"""
import hashlib
import hmac
import json
import struct
import sys

IOCTL_HANDSHAKE, IOCTL_END_SESSION, IOCTL_CAPSULE = 0x222000, 0x222004, 0x222008
IOCTL_MODEL, IOCTL_FUNCTION = 0x222940, 0x222944
ERROR_NOT_SUPPORTED = 50


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
        for i in range(0, len(data), 8):
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

    def expect(self, cond, what):
        self.checked += 1
        self.faults += [] if cond else [what]
        return cond

    def run(self, lines):
        calls = [l for l in lines if "code" in l]
        secrets = [l["secrets"] for l in lines if "secrets" in l]
        self.expect(len(secrets) == 1, "exactly one secrets line")
        secrets = secrets[0] if secrets else {}
        for i, c in enumerate(calls):
            c["in_b"], c["out_b"] = bytes.fromhex(c["in"]), bytes.fromhex(c["out"])
            self.expect(len(c["out_b"]) <= c["returned"] or not c["ok"], "call %d: more output than returned" % i)
        probes = [c for c in calls if c["code"] == IOCTL_HANDSHAKE and not c["in_b"]]
        self.expect(len(probes) >= 1, "a handshake probe was sent")
        sessions = not any(not p["ok"] and p["error"] == ERROR_NOT_SUPPORTED for p in probes)
        key, session_id = self.check_handshake(calls, secrets) if sessions else (None, 0)
        self.expect(sessions or not any(c["code"] == IOCTL_HANDSHAKE and c["in_b"] for c in calls),
                    "no handshake phase after a probe answered ERROR_NOT_SUPPORTED")
        self.check_capsules(calls, key, session_id, sessions)
        for i, c in enumerate(calls):
            if c["code"] == IOCTL_MODEL:
                self.expect(c["in_b"] == b"" and c["ok"] and c["returned"] == 128 and len(c["out_b"]) == 128,
                            "call %d: model record of 128 bytes" % i)
            if c["code"] == IOCTL_END_SESSION:
                self.expect(sessions and c["in_b"] == struct.pack("<I", session_id),
                            "call %d: end of session carries S" % i)

    def check_handshake(self, calls, secrets):
        phases = [c for c in calls if c["code"] == IOCTL_HANDSHAKE and c["in_b"]]
        if not self.expect(len(phases) == 3, "three handshake phases (found %d)" % len(phases)):
            return None, 0
        (req1, ans1), (req2, ans2), (req3, ans3) = [(p["in_b"], p["out_b"]) for p in phases]
        p1, p2, p3 = phases
        self.expect(len(req1) == 160 and p1["ok"] and p1["returned"] == 160 and len(ans1) == 160,
                    "phase 1: 160 bytes each way")
        self.expect(req1[0:4] == b"Ini1", "phase 1: tag Ini1")
        a_bytes, b_bytes = req1[4:136], ans1[4:136]
        a, b = int.from_bytes(a_bytes, "little"), int.from_bytes(b_bytes, "little")
        self.expect(a_bytes[128:132] == bytes(4), "phase 1: the 33rd limb of A is zero")
        self.expect(1 < a < P - 1, "phase 1: 1 < A < P - 1")
        self.expect(req1[156:160] == bytes(4), "phase 1: request bytes 156-159 are zero")
        session_id = u32(ans1, 0)
        y = int.from_bytes(bytes.fromhex(secrets["private_exponent"]), "little")
        self.expect(pow(2, y, P) == b, "phase 1: B = 2^y mod P for the driver's exponent")
        self.expect(ans1[136:160] == bytes.fromhex(secrets["driver_nonce"]), "phase 1: driver nonce field")

        handshake_key = bytes.fromhex(secrets["handshake_key"])
        self.expect(len(handshake_key) == 16, "handshake key of 16 bytes")
        auth = hmac.new(handshake_key, req1[136:160] + ans1[136:160], hashlib.sha1).digest()
        self.expect(len(req2) == 28 and req2[0:4] == b"Ini2", "phase 2: 28 bytes, tag Ini2")
        self.expect(u32(req2, 4) == session_id, "phase 2: carries S")
        self.expect(req2[8:28] == hmac.new(auth, a_bytes + b_bytes, hashlib.sha1).digest(),
                    "phase 2: client proof = HMAC(auth key, A || B)")
        self.expect(p2["ok"] and p2["returned"] == 20 and ans2 == hmac.new(auth, b_bytes + a_bytes, hashlib.sha1).digest(),
                    "phase 2: driver proof = HMAC(auth key, B || A)")

        kek = hashlib.sha1(pow(a, y, P).to_bytes(132, "little")).digest()[:16]
        self.expect(len(req3) == 24 and req3[0:4] == b"Ini3", "phase 3: 24 bytes, tag Ini3")
        self.expect(u32(req3, 4) == session_id, "phase 3: carries S")
        k = Blowfish(kek).decipher(req3[8:24])
        self.expect(k == bytes.fromhex(secrets["session_key"]),
                    "phase 3: K deciphered under SHA-1(Z)[0:16] is the driver's session key")
        confirmation = Blowfish(k).decipher(ans3) if len(ans3) == 8 else b""
        self.expect(p3["ok"] and p3["returned"] == 8 and confirmation == bytes.fromhex(secrets["confirmation"]),
                    "phase 3: answer deciphers to the confirmation block")
        self.expect(all(0x41 <= ch <= 0x7A for ch in confirmation), "confirmation block is eight letters")
        return k, session_id

    def check_capsules(self, calls, key, session_id, sessions):
        cipher = Blowfish(key) if sessions and key else None
        sequence = 0
        for i, c in enumerate(calls):
            if c["code"] != IOCTL_CAPSULE:
                continue
            req = c["in_b"]
            if not self.expect(len(req) >= 16 and len(req) % 8 == 0, "capsule %d: request length" % i):
                continue
            n = u32(req, 0)
            self.expect(u32(req, 4) == capsule_size(n) == len(req), "capsule %d: request size field" % i)
            self.expect(u32(req, 8) == (session_id if sessions else 0), "capsule %d: session id field" % i)
            self.expect(req[-4:] == bytes(4), "capsule %d: request trailer zero" % i)
            body = req[12:-4]
            if sessions:
                if not self.expect(cipher is not None, "capsule %d: a session key exists" % i):
                    continue
                body = cipher.decipher(body)
            self.expect(body[n:] == b"\0" * (len(body) - n), "capsule %d: request padding zero" % i)
            in_len, out_len = u32(body, 12), u32(body, 16)
            self.expect(u32(body, 0) == sequence, "capsule %d: sequence %d expected, %d sent" % (i, sequence, u32(body, 0)))
            self.expect(u32(body, 4) == n == in_len + 24, "capsule %d: request size = input + 24" % i)
            self.expect(u32(body, 8) == IOCTL_FUNCTION, "capsule %d: code IOCTL_MISC_FUNCTION" % i)
            self.expect(body[20 + in_len:n] == bytes(4), "capsule %d: request ends in 4 zeros" % i)
            self.expect(c.get("outCapacity", capsule_size(out_len)) == capsule_size(out_len),
                        "capsule %d: reply capsule offered" % i)
            packet = body[20:20 + in_len]
            if self.expect(len(packet) >= 8, "capsule %d: packet header" % i):
                self.expect(u16(packet, 2) == in_len and u16(packet, 4) == out_len and u16(packet, 6) == 0,
                            "capsule %d: packet lengths match the request" % i)
                if packet[0] == 0x11:
                    self.expect(packet[1] == 1 and in_len == 22 and out_len == 22 and u16(packet, 8) == 0x8002
                                and packet[10:22] == bytes(12), "capsule %d: flat-pad query packet" % i)
                else:
                    self.expect(packet[0] == 0x42 and packet[1] == 2 and in_len == 10 and out_len == 14,
                                "capsule %d: battery query packet (function 0x%02x)" % (i, packet[0]))
            if c["ok"] or c["returned"] != 0:
                sequence += 1

            rep = c["out_b"]
            if not c["ok"] or len(rep) < 12:
                continue
            rn = u32(rep, 0)
            self.expect(u32(rep, 4) == capsule_size(rn) == len(rep) == c["returned"], "capsule %d: reply size field" % i)
            self.expect(rn <= out_len, "capsule %d: reply payload within the output length" % i)
            self.expect(rep[-4:] == bytes(4), "capsule %d: reply trailer zero" % i)
            rbody = cipher.decipher(rep[12:-4]) if cipher else rep[12:-4]
            self.expect(rbody[rn:] == b"\0" * (len(rbody) - rn), "capsule %d: reply padding zero" % i)
            if rn >= 8:
                self.expect(u16(rbody, 2) == u16(packet, 2) and u16(rbody, 4) == u16(packet, 4),
                            "capsule %d: the answer keeps the packet's lengths" % i)


def self_test():
    # With key bytes below 0x80 this is the published cipher: key 0^8, plain 0 -> 4EF997456198DD78.
    assert Blowfish(bytes(8)).encipher(0, 0) == (0x4EF99745, 0x6198DD78), "Blowfish vector"
    assert BLOWFISH_INIT[0] == 0x243F6A88 and BLOWFISH_INIT[17] == 0x8979FB1B
    assert P % 2**64 == 2**64 - 1 and P >> 960 == 2**64 - 1 and pow(2, P - 1, P) == 1


def main(argv):
    self_test()
    if len(argv) < 2:
        print(__doc__)
        return 2
    status = 0
    for path in argv[1:]:
        checker = Checker()
        try:
            with open(path) as f:
                checker.run([json.loads(line) for line in f if line.strip()])
        except (KeyError, ValueError, IndexError, struct.error) as e:
            checker.faults.append("malformed transcript: %r" % e)
        status |= bool(checker.faults)
        print("%s: %d of %d checks failed" % (path, len(checker.faults), checker.checked))
        print("".join("  %s\n" % fault for fault in checker.faults), end="")
    return status


if __name__ == "__main__":
    sys.exit(main(sys.argv))
