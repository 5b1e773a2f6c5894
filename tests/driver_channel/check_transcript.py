#!/usr/bin/env python3
"""Independent check of driver-channel transcripts.

Recomputes every field of the session handshake and of every message capsule
in a transcript written by the driver-channel tests, from nothing but the
transcript's own bytes and the driver's secrets line. SHA-1 and HMAC come from
the Python standard library; Blowfish (with sign-extended key bytes and
little-endian block halves) and its initial tables (the hexadecimal digits of
pi) are computed here, and the modular exponentiations use pow(). Nothing is
shared with the C++ code under test.

Usage: check_transcript.py TRANSCRIPT.jsonl [...]
Exit status 0 when every transcript checks out; otherwise each fault is printed.
"""
import hashlib
import hmac
import json
import struct
import sys

IOCTL_HANDSHAKE = 0x222000
IOCTL_END_SESSION = 0x222004
IOCTL_CAPSULE = 0x222008
IOCTL_MODEL = 0x222940
IOCTL_FUNCTION = 0x222944

ERROR_NOT_SUPPORTED = 50

# The 1024-bit MODP prime of the Second Oakley Group, from its definition.
def _oakley_group2_prime():
    pi_bits = _pi_fixed(894 + 8) >> 8  # floor(2^894 * pi)
    return 2**1024 - 2**960 - 1 + 2**64 * (pi_bits + 129093)


def _arctan_inverse(x, scale):
    """arctan(1/x) * 2^scale, by its Taylor series in fixed point."""
    one = 1 << scale
    power = one // x
    total = power
    x2 = x * x
    n = 1
    sign = -1
    while power:
        power //= x2
        n += 2
        total += sign * (power // n)
        sign = -sign
    return total


def _pi_fixed(bits):
    """floor(pi * 2^bits) (with guard bits, exact for the bits used here)."""
    guard = 64
    scale = bits + guard
    pi = 16 * _arctan_inverse(5, scale) - 4 * _arctan_inverse(239, scale)
    return pi >> guard


P = _oakley_group2_prime()


class Blowfish:
    _init = None

    @classmethod
    def _initial_words(cls):
        if cls._init is None:
            words = 18 + 4 * 256
            frac = _pi_fixed(32 * words) - (3 << (32 * words))
            cls._init = [(frac >> (32 * (words - 1 - i))) & 0xFFFFFFFF for i in range(words)]
            assert cls._init[0] == 0x243F6A88 or True
        return cls._init

    def __init__(self, key):
        init = self._initial_words()
        self.p = list(init[:18])
        self.s = [list(init[18 + 256 * b: 18 + 256 * (b + 1)]) for b in range(4)]
        key = key[:16]
        j = 0
        for i in range(18):
            word = 0
            for _ in range(4):
                byte = key[j]
                extended = byte | 0xFFFFFF00 if byte & 0x80 else byte
                word = ((word << 8) | extended) & 0xFFFFFFFF
                j = (j + 1) % len(key)
            self.p[i] ^= word
        left = right = 0
        for i in range(0, 18, 2):
            left, right = self._encipher(left, right)
            self.p[i], self.p[i + 1] = left, right
        for b in range(4):
            for i in range(0, 256, 2):
                left, right = self._encipher(left, right)
                self.s[b][i], self.s[b][i + 1] = left, right

    def _f(self, x):
        s = self.s
        return ((((s[0][x >> 24] + s[1][(x >> 16) & 255]) & 0xFFFFFFFF) ^ s[2][(x >> 8) & 255])
                + s[3][x & 255]) & 0xFFFFFFFF

    def _encipher(self, left, right):
        for i in range(16):
            left ^= self.p[i]
            right ^= self._f(left)
            left, right = right, left
        left, right = right, left
        right ^= self.p[16]
        left ^= self.p[17]
        return left, right

    def _decipher(self, left, right):
        for i in range(17, 1, -1):
            left ^= self.p[i]
            right ^= self._f(left)
            left, right = right, left
        left, right = right, left
        right ^= self.p[1]
        left ^= self.p[0]
        return left, right

    def encipher_block(self, block):
        left, right = struct.unpack("<II", block)
        return struct.pack("<II", *self._encipher(left, right))

    def decipher_block(self, block):
        left, right = struct.unpack("<II", block)
        return struct.pack("<II", *self._decipher(left, right))

    def decipher(self, data):
        return b"".join(self.decipher_block(data[i:i + 8]) for i in range(0, len(data), 8))


def le_int(b):
    return int.from_bytes(b, "little")


def le_bytes(n, size):
    return n.to_bytes(size, "little")


def u32(b, off):
    return struct.unpack_from("<I", b, off)[0]


def u16(b, off):
    return struct.unpack_from("<H", b, off)[0]


def padded(n):
    return (n + 7) & ~7


class Checker:
    def __init__(self, name):
        self.name = name
        self.faults = []
        self.checked = 0

    def expect(self, cond, what):
        self.checked += 1
        if not cond:
            self.faults.append(what)
        return cond

    def run(self, lines):
        calls = [l for l in lines if "code" in l]
        secrets_lines = [l["secrets"] for l in lines if "secrets" in l]
        self.expect(len(secrets_lines) == 1, "exactly one secrets line")
        secrets = secrets_lines[0] if secrets_lines else {}
        for c in calls:
            c["in_b"] = bytes.fromhex(c["in"])
            c["out_b"] = bytes.fromhex(c["out"])
            self.expect(len(c["out_b"]) <= c["returned"] or not c["ok"],
                        "call %d: fewer output bytes than returned" % calls.index(c))

        probes = [c for c in calls if c["code"] == IOCTL_HANDSHAKE and not c["in_b"]]
        self.expect(len(probes) >= 1, "a handshake probe was sent")
        sessions = not any((not p["ok"]) and p["error"] == ERROR_NOT_SUPPORTED for p in probes)

        session_key = None
        session_id = 0
        if sessions:
            session_key, session_id = self.check_handshake(calls, secrets)
        else:
            self.expect(not any(c["code"] == IOCTL_HANDSHAKE and c["in_b"] for c in calls),
                        "no handshake phase after a probe answered ERROR_NOT_SUPPORTED")
        self.check_capsules(calls, session_key, session_id, sessions)
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
        p1, p2, p3 = phases
        req1, ans1 = p1["in_b"], p1["out_b"]
        self.expect(len(req1) == 160 and p1["ok"] and p1["returned"] == 160 and len(ans1) == 160,
                    "phase 1: 160 bytes each way")
        self.expect(req1[0:4] == b"Ini1", "phase 1: tag Ini1")
        a_bytes = req1[4:136]
        a = le_int(a_bytes)
        self.expect(a_bytes[128:132] == b"\0\0\0\0", "phase 1: the 33rd limb of A is zero")
        self.expect(1 < a < P - 1, "phase 1: 1 < A < P - 1")
        self.expect(req1[156:160] == b"\0\0\0\0", "phase 1: request bytes 156-159 are zero")
        session_id = u32(ans1, 0)
        b_bytes = ans1[4:136]
        b = le_int(b_bytes)

        y = le_int(bytes.fromhex(secrets["private_exponent"]))
        self.expect(pow(2, y, P) == b, "phase 1: B = 2^y mod P for the driver's exponent")
        self.expect(ans1[136:160] == bytes.fromhex(secrets["driver_nonce"]),
                    "phase 1: the driver nonce field matches the driver's secret")

        handshake_key = bytes.fromhex(secrets["handshake_key"])
        self.expect(len(handshake_key) == 16, "handshake key of 16 bytes")
        auth_key = hmac.new(handshake_key, req1[136:160] + ans1[136:160], hashlib.sha1).digest()
        client_proof = hmac.new(auth_key, a_bytes + b_bytes, hashlib.sha1).digest()
        driver_proof = hmac.new(auth_key, b_bytes + a_bytes, hashlib.sha1).digest()

        req2, ans2 = p2["in_b"], p2["out_b"]
        self.expect(len(req2) == 28 and req2[0:4] == b"Ini2", "phase 2: 28 bytes, tag Ini2")
        self.expect(u32(req2, 4) == session_id, "phase 2: carries S")
        self.expect(req2[8:28] == client_proof, "phase 2: client proof = HMAC(auth key, A || B)")
        self.expect(p2["ok"] and p2["returned"] == 20 and ans2 == driver_proof,
                    "phase 2: driver proof = HMAC(auth key, B || A)")

        z = pow(a, y, P)
        kek = hashlib.sha1(le_bytes(z, 132)).digest()[:16]
        req3, ans3 = p3["in_b"], p3["out_b"]
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

    def check_capsules(self, calls, session_key, session_id, sessions):
        cipher = Blowfish(session_key) if (sessions and session_key) else None
        sequence = 0
        for i, c in enumerate(calls):
            if c["code"] != IOCTL_CAPSULE:
                continue
            req = c["in_b"]
            if not self.expect(len(req) >= 16 and len(req) % 8 == 0, "capsule %d: request length" % i):
                continue
            n = u32(req, 0)
            self.expect(u32(req, 4) == 16 + padded(n) == len(req), "capsule %d: request size field" % i)
            self.expect(u32(req, 8) == (session_id if sessions else 0), "capsule %d: session id field" % i)
            self.expect(req[-4:] == b"\0\0\0\0", "capsule %d: request trailer zero" % i)
            body = req[12:-4]
            if sessions:
                if not self.expect(cipher is not None, "capsule %d: a session key exists" % i):
                    continue
                body = cipher.decipher(body)
            self.expect(body[n:] == b"\0" * (len(body) - n), "capsule %d: request padding zero" % i)
            inner = body[:n]
            in_len = u32(inner, 12)
            out_len = u32(inner, 16)
            self.expect(u32(inner, 0) == sequence, "capsule %d: sequence %d expected, %d sent"
                        % (i, sequence, u32(inner, 0)))
            self.expect(u32(inner, 4) == n == in_len + 24, "capsule %d: request size = input + 24" % i)
            self.expect(u32(inner, 8) == IOCTL_FUNCTION, "capsule %d: code IOCTL_MISC_FUNCTION" % i)
            self.expect(inner[20 + in_len:] == b"\0\0\0\0", "capsule %d: request ends in 4 zeros" % i)
            self.expect(c["outCapacity"] == 16 + padded(out_len) if "outCapacity" in c else True,
                        "capsule %d: reply capsule offered" % i)
            packet = inner[20:20 + in_len]
            self.check_packet(i, packet, in_len, out_len)
            if c["ok"] or c["returned"] != 0:
                sequence += 1

            rep = c["out_b"]
            if not c["ok"] or len(rep) < 12:
                continue
            rn = u32(rep, 0)
            self.expect(u32(rep, 4) == 16 + padded(rn) == len(rep) == c["returned"],
                        "capsule %d: reply size field" % i)
            self.expect(rn <= out_len, "capsule %d: reply payload within the output length" % i)
            self.expect(rep[-4:] == b"\0\0\0\0", "capsule %d: reply trailer zero" % i)
            rbody = rep[12:-4]
            if cipher:
                rbody = cipher.decipher(rbody)
            self.expect(rbody[rn:] == b"\0" * (len(rbody) - rn), "capsule %d: reply padding zero" % i)
            answer = rbody[:rn]
            if rn >= 8:
                self.expect(u16(answer, 2) == u16(packet, 2) and u16(answer, 4) == u16(packet, 4),
                            "capsule %d: the answer keeps the packet's lengths" % i)

    def check_packet(self, i, packet, in_len, out_len):
        if not self.expect(len(packet) >= 8, "capsule %d: packet header" % i):
            return
        function, sub = packet[0], packet[1]
        self.expect(u16(packet, 2) == in_len and u16(packet, 4) == out_len and u16(packet, 6) == 0,
                    "capsule %d: packet lengths match the request" % i)
        if function == 0x11:
            self.expect(sub == 1 and in_len == 22 and out_len == 22 and u16(packet, 8) == 0x8002
                        and packet[10:22] == b"\0" * 12, "capsule %d: flat-pad query packet" % i)
        elif function == 0x42:
            self.expect(sub == 2 and in_len == 10 and out_len == 14, "capsule %d: battery query packet" % i)
        else:
            self.expect(False, "capsule %d: unknown function 0x%02x" % (i, function))


def self_test():
    # Blowfish with a key of bytes below 0x80 is the published cipher with
    # little-endian halves: key 0000000000000000, plain 0 -> 4EF997456198DD78.
    c = Blowfish(bytes(8))
    left, right = c._encipher(0, 0)
    assert (left, right) == (0x4EF99745, 0x6198DD78), "Blowfish vector"
    assert Blowfish._init[0] == 0x243F6A88 and Blowfish._init[17] == 0x8979FB1B
    assert P % 2**64 == 0xFFFFFFFFFFFFFFFF and P >> 960 == 2**64 - 1
    assert pow(2, P - 1, P) == 1


def main(argv):
    self_test()
    if len(argv) < 2:
        print(__doc__)
        return 2
    status = 0
    for path in argv[1:]:
        checker = Checker(path)
        try:
            with open(path) as f:
                lines = [json.loads(line) for line in f if line.strip()]
            checker.run(lines)
        except (KeyError, ValueError, IndexError, struct.error) as e:
            checker.faults.append("malformed transcript: %r" % e)
        if checker.faults:
            status = 1
            print("%s: %d of %d checks failed" % (path, len(checker.faults), checker.checked))
            for fault in checker.faults:
                print("  " + fault)
        else:
            print("%s: %d checks passed" % (path, checker.checked))
    return status


if __name__ == "__main__":
    sys.exit(main(sys.argv))
