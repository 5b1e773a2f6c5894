// The substitute driver's protocol core, driven natively by a small client
// built from the crypto primitives: the messages the driver must refuse, which
// the real client never sends. Sessions, reply shapes, the end of a session and
// the driver without sessions are met by the Wine tests in tests/driver_channel,
// and every field the client sends is checked by check_transcript.py.
#include <gtest/gtest.h>

#include <string.h>

#include <functional>
#include <vector>

#include "crypto/bigint.h"
#include "crypto/blowfish.h"
#include "crypto/sha1.h"
#include "driver_channel/misc_protocol.h"
#include "sim/device/sim_device.h"

namespace {

using namespace MiscProtocol;
using Bytes = std::vector<uint8_t>;
using Edit = std::function<void(Bytes&)>;

uint32_t Get32(const uint8_t* p) { return p[0] | p[1] << 8 | p[2] << 16 | uint32_t(p[3]) << 24; }
void Put32(uint8_t* p, uint32_t v) { for (int i = 0; i < 4; ++i) p[i] = uint8_t(v >> (8 * i)); }
void PutLimbs(uint8_t* p, const uint32_t* limbs) { for (uint32_t i = 0; i < kBigNumberLimbs; ++i) Put32(p + 4 * i, limbs[i]); }

struct Result {
    uint32_t status, returned;
    Bytes out;
};

Result Call(uint32_t code, const Bytes& in, uint32_t outCap) {
    Result r{0, 0, Bytes(outCap, 0xCC)};
    r.status = SimDeviceControl(code, in.empty() ? nullptr : in.data(), uint32_t(in.size()),
                                outCap ? r.out.data() : nullptr, outCap, &r.returned);
    return r;
}

// Why the driver refused the last exchange, as it recorded it.
uint32_t LastRejection() {
    SimSummary summary;
    SimExchange exchange;
    uint32_t index = 0, got = 0;
    EXPECT_EQ(SimControlRequest(SIM_CTL_GET_SUMMARY, &index, 4, &summary, sizeof summary, &got), 0u);
    index = summary.exchangeCount - 1;
    EXPECT_EQ(SimControlRequest(SIM_CTL_GET_EXCHANGE, &index, 4, &exchange, sizeof exchange, &got), 0u);
    return exchange.rejection;
}

Bytes FlatPadPacket() { return {kFlatPadFunction, 1, 22, 0, 22, 0, 0, 0, 0x02, 0x80, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}; }

Bytes Hmac(const uint8_t* key, uint32_t keyLength, const Bytes& first, const Bytes& second) {
    Bytes m(first), out(20);
    m.insert(m.end(), second.begin(), second.end());
    Sha1Context sha;
    HmacSha1(&sha, key, keyLength, m.data(), uint32_t(m.size()), out.data());
    return out;
}

// The client side, as the driver channel does it, with fixed random values.
struct MiniClient {
    uint32_t x[4] = {0x1234567u, 0x89ABCDEFu, 0x0BADF00Du, 0};
    Bytes a = Bytes(kBigNumberBytes), b, authKey;
    uint8_t kek[20] = {}, sessionKey[16] = {0x10, 0x32, 0x54, 0x76, 0x98, 0xBA, 0xDC, 0xFE, 1, 2, 3, 4, 5, 6, 7, 8};
    uint32_t session = 0;
    BlowfishContext cipher;

    Bytes Phase1() {
        uint32_t limbs[kBigNumberLimbs] = {};
        EXPECT_TRUE(pow2mod(limbs, kBigNumberLimbs, x, 4, kOakleyGroup2Prime, kBigNumberLimbs));
        PutLimbs(a.data(), limbs);
        Bytes m(kTagIni1, kTagIni1 + 4);
        m.insert(m.end(), a.begin(), a.end());
        for (uint8_t i = 0; i < 20; ++i) m.push_back(0x40 + i);  // nonce, then 4 zero bytes
        m.resize(kPhase1RequestSize);
        return m;
    }
    // Takes the phase 1 answer: the session, the authentication key and the key-enciphering key.
    void Accept1(const Bytes& request, const Bytes& answer) {
        session = Get32(&answer[0]);
        b.assign(&answer[4], &answer[4 + kBigNumberBytes]);
        authKey = Hmac(kHandshakeKeyBlock + kHandshakeKeyOffset, 16, Bytes(&request[136], &request[160]),
                       Bytes(&answer[136], &answer[160]));
        uint32_t bl[kBigNumberLimbs], z[kBigNumberLimbs] = {};
        for (uint32_t i = 0; i < kBigNumberLimbs; ++i) bl[i] = Get32(&b[4 * i]);
        EXPECT_TRUE(powmod(z, kBigNumberLimbs, bl, kBigNumberLimbs, x, 4, kOakleyGroup2Prime, kBigNumberLimbs));
        uint8_t zb[kBigNumberBytes];
        PutLimbs(zb, z);
        Sha1Context sha;
        Sha1Update(Sha1Init(&sha), zb, kBigNumberBytes);
        Sha1Final(&sha);
        Sha1GetDigest(&sha, kek);
    }
    Bytes Phase2() {
        Bytes m(8, 0), proof = Hmac(authKey.data(), 20, a, b);
        memcpy(&m[0], kTagIni2, 4);
        Put32(&m[4], session);
        m.insert(m.end(), proof.begin(), proof.end());
        return m;
    }
    Bytes Phase3() {
        Bytes m(kPhase3RequestSize, 0);
        memcpy(&m[0], kTagIni3, 4);
        Put32(&m[4], session);
        memcpy(&m[8], sessionKey, 16);
        BlowfishContext k;
        BlowfishInitialize(&k, kek, 16);
        Encipher(&k, &m[8], 2);
        BlowfishInitialize(&cipher, sessionKey, 16);
        return m;
    }
    static void Encipher(BlowfishContext* k, uint8_t* p, uint32_t blocks) {
        for (uint32_t i = 0; i < blocks; ++i, p += 8) {
            uint32_t l = Get32(p), r = Get32(p + 4);
            BlowfishEncipher(k, &l, &r);
            Put32(p, l);
            Put32(p + 4, r);
        }
    }
    // A request capsule for the packet; `plain` may change it before it is enciphered.
    Bytes Capsule(const Bytes& packet, uint32_t outLen, const Edit& plain = nullptr) {
        const uint32_t n = uint32_t(packet.size()) + kRequestOverhead;
        Bytes c(CapsuleSizeFor(n), 0);
        const uint32_t header[] = {n, uint32_t(c.size()), session, 0, n,
                                   IOCTL_MISC_FUNCTION, uint32_t(packet.size()), outLen};
        for (int i = 0; i < 8; ++i) Put32(&c[4 * i], header[i]);
        memcpy(&c[32], packet.data(), packet.size());
        if (plain) plain(c);
        Encipher(&cipher, &c[12], (uint32_t(c.size()) - 16) / 8);
        return c;
    }
};

// Client messages the driver must refuse, each with its status and reason.
TEST(SimDevice, RefusesWrongClientMessages) {
    SimScenario scenario;
    SimScenarioInitDefaults(&scenario);
    scenario.seed = 7;
    const uint32_t BAD = SIM_STATUS_INVALID_PARAMETER, DENIED = SIM_STATUS_ACCESS_DENIED, SMALL = SIM_STATUS_BUFFER_TOO_SMALL;
    const struct {
        const char* name;
        int phase;        // 1..3 = handshake phase, 4 = capsule after a handshake
        Edit plain;       // capsule: the request before enciphering
        Edit message;     // the message as sent
        uint32_t outCap;  // 0: the nominal size
        uint32_t status, reject;
    } cases[] = {
        {"phase1 tag", 1, nullptr, [](Bytes& m) { m[3] = '0'; }, 0, BAD, SIM_REJECT_TAG},
        {"phase1 159 bytes", 1, nullptr, [](Bytes& m) { m.pop_back(); }, 0, BAD, SIM_REJECT_IN_LENGTH},
        {"phase1 answer room", 1, nullptr, nullptr, 159, SMALL, SIM_REJECT_OUT_CAPACITY},
        {"phase1 nonce padding", 1, nullptr, [](Bytes& m) { m[159] = 1; }, 0, BAD, SIM_REJECT_NONCE_PADDING},
        {"phase1 A = 1", 1, nullptr, [](Bytes& m) { memset(&m[4], 0, 132); m[4] = 1; }, 0, BAD, SIM_REJECT_PUBLIC_VALUE},
        {"phase1 A = P-1", 1, nullptr, [](Bytes& m) { PutLimbs(&m[4], kOakleyGroup2Prime); m[4] -= 1; }, 0, BAD, SIM_REJECT_PUBLIC_VALUE},
        {"phase2 session id", 2, nullptr, [](Bytes& m) { m[4] ^= 1; }, 0, DENIED, SIM_REJECT_SESSION_ID},
        {"phase2 proof last byte", 2, nullptr, [](Bytes& m) { m[27] ^= 1; }, 0, DENIED, SIM_REJECT_PROOF},
        {"phase2 27 bytes", 2, nullptr, [](Bytes& m) { m.pop_back(); }, 0, BAD, SIM_REJECT_IN_LENGTH},
        {"capsule session id", 4, nullptr, [](Bytes& m) { m[8] ^= 1; }, 0, DENIED, SIM_REJECT_SESSION_ID},
        {"capsule size field", 4, nullptr, [](Bytes& m) { m[4] += 8; }, 0, BAD, SIM_REJECT_CAPSULE_SIZE},
        {"capsule payload length", 4, nullptr, [](Bytes& m) { m[0] += 1; }, 0, BAD, SIM_REJECT_REQUEST},
        {"capsule trailer", 4, nullptr, [](Bytes& m) { m.back() = 1; }, 0, BAD, SIM_REJECT_CAPSULE_PADDING},
        {"capsule padding", 4, [](Bytes& m) { m[12 + 46] = 1; }, nullptr, 0, BAD, SIM_REJECT_CAPSULE_PADDING},
        {"request sequence", 4, [](Bytes& m) { m[12] = 1; }, nullptr, 0, DENIED, SIM_REJECT_SEQUENCE},
        {"request code", 4, [](Bytes& m) { Put32(&m[20], IOCTL_MISC_CAPSULE); }, nullptr, 0, BAD, SIM_REJECT_REQUEST},
        {"request trailing zero", 4, [](Bytes& m) { m[12 + 42] = 1; }, nullptr, 0, BAD, SIM_REJECT_REQUEST},
        {"packet output length", 4, [](Bytes& m) { m[12 + 20 + 4] = 21; }, nullptr, 0, BAD, SIM_REJECT_PACKET},
        {"reply room", 4, nullptr, nullptr, 39, SMALL, SIM_REJECT_OUT_CAPACITY},
        {"reply room beyond the capsule", 4, nullptr, nullptr, 48, BAD, SIM_REJECT_OUT_CAPACITY},
        {"flat-pad item bytes", 4, [](Bytes& m) { m[32 + 10] = 1; }, nullptr, 0, BAD, SIM_REJECT_PACKET},
    };
    for (const auto& w : cases) {
        SCOPED_TRACE(w.name);
        MiniClient c;
        uint32_t got;
        ASSERT_EQ(SimControlRequest(SIM_CTL_SET_SCENARIO, &scenario, sizeof scenario, nullptr, 0, &got), 0u);
        const uint32_t nominal[] = {160, 20, 8, 40};  // each phase's answer, then the capsule's reply
        Bytes m = c.Phase1();
        for (int phase = 1; phase < w.phase; ++phase) {
            const Result earlier = Call(IOCTL_MISC_HANDSHAKE, m, nominal[phase - 1]);
            ASSERT_EQ(earlier.status, 0u);
            if (phase == 1) c.Accept1(m, earlier.out);
            m = phase == 1 ? c.Phase2() : phase == 2 ? c.Phase3() : c.Capsule(FlatPadPacket(), 22, w.plain);
        }
        if (w.message) w.message(m);
        Result r = Call(w.phase == 4 ? IOCTL_MISC_CAPSULE : IOCTL_MISC_HANDSHAKE, m,
                        w.outCap ? w.outCap : nominal[w.phase - 1]);
        EXPECT_EQ(r.status, w.status);
        EXPECT_EQ(r.returned, 0u);
        EXPECT_EQ(LastRejection(), w.reject);
    }
}

}  // namespace
