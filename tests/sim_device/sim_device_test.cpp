// The substitute driver's protocol core, driven natively by a small client
// built from the crypto primitives: what the Wine tests cannot reach through
// the real client (the messages the driver must refuse, unknown codes, the end
// of a session, seeded secrets).
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

template <typename T>
T Control(uint32_t code, uint32_t index = 0) {
    T t;
    uint32_t got = 0;
    EXPECT_EQ(SimControlRequest(code, &index, 4, &t, sizeof t, &got), 0u);
    return t;
}
SimSummary Summary() { return Control<SimSummary>(SIM_CTL_GET_SUMMARY); }
SimExchange LastExchange() { return Control<SimExchange>(SIM_CTL_GET_EXCHANGE, Summary().exchangeCount - 1); }

void Load(const SimScenario& s) {
    uint32_t got;
    ASSERT_EQ(SimControlRequest(SIM_CTL_SET_SCENARIO, &s, sizeof s, nullptr, 0, &got), 0u);
}

Bytes FlatPadPacket() { return {kFlatPadFunction, 1, 22, 0, 22, 0, 0, 0, 0x02, 0x80, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}; }
Bytes BatteryPacket(uint8_t index) { return {kBatteryFunction, 2, 10, 0, 14, 0, 0, 0, index, 0}; }  // 14 out

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
    uint32_t session = 0, sequence = 0;
    BlowfishContext cipher;
    bool sessions = true;

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
    // Takes the phase 1 answer; returns the expected driver proof.
    Bytes Accept1(const Bytes& request, const Bytes& answer) {
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
        Sha1Init(&sha);
        Sha1Update(&sha, zb, kBigNumberBytes);
        Sha1Final(&sha);
        Sha1GetDigest(&sha, kek);
        return Hmac(authKey.data(), 20, b, a);
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
        Cipher(&k, &m[8], 2, true);
        BlowfishInitialize(&cipher, sessionKey, 16);
        return m;
    }
    void Handshake() {
        Bytes p1 = Phase1();
        Result r1 = Call(kIoctlMiscHandshake, p1, kPhase1AnswerSize);
        ASSERT_EQ(r1.status, 0u);
        ASSERT_EQ(r1.returned, kPhase1AnswerSize);
        Bytes expected = Accept1(p1, r1.out);
        Result r2 = Call(kIoctlMiscHandshake, Phase2(), kPhase2AnswerSize);
        ASSERT_EQ(r2.status, 0u);
        ASSERT_EQ(r2.out, expected);
        Result r3 = Call(kIoctlMiscHandshake, Phase3(), kPhase3AnswerSize);
        ASSERT_EQ(r3.status, 0u);
        Cipher(&cipher, r3.out.data(), 1, false);
        ASSERT_EQ(Get32(&r3.out[0]), kConfirmationLeft);
        ASSERT_EQ(Get32(&r3.out[4]), kConfirmationRight);
    }
    static void Cipher(BlowfishContext* k, uint8_t* p, uint32_t blocks, bool encipher) {
        for (uint32_t i = 0; i < blocks; ++i, p += 8) {
            uint32_t l = Get32(p), r = Get32(p + 4);
            encipher ? BlowfishEncipher(k, &l, &r) : BlowfishDecipher(k, &l, &r);
            Put32(p, l);
            Put32(p + 4, r);
        }
    }
    // A request capsule for the packet; `plain` may change it before it is enciphered.
    Bytes Capsule(const Bytes& packet, uint32_t outLen, const Edit& plain = nullptr) {
        const uint32_t n = uint32_t(packet.size()) + kRequestOverhead;
        Bytes c(CapsuleSizeFor(n), 0);
        const uint32_t header[] = {n, uint32_t(c.size()), sessions ? session : 0, sequence, n,
                                   kIoctlMiscFunction, uint32_t(packet.size()), outLen};
        for (int i = 0; i < 8; ++i) Put32(&c[4 * i], header[i]);
        memcpy(&c[32], packet.data(), packet.size());
        if (plain) plain(c);
        if (sessions) Cipher(&cipher, &c[12], (uint32_t(c.size()) - 16) / 8, true);
        return c;
    }
};

class SimDeviceTest : public ::testing::Test {
protected:
    void SetUp() override {
        SimScenarioInitDefaults(&scenario);
        scenario.seed = 7;
        scenario.flatPadValues[0] = 0x0102;
    }
    SimScenario scenario;
    MiniClient client;
};

TEST_F(SimDeviceTest, SessionEndsAndTheSameSeedGivesTheSameSecrets) {
    Load(scenario);
    client.Handshake();
    const SimSummary first = Summary();
    EXPECT_EQ(first.sessionId, client.session);
    EXPECT_EQ(0, memcmp(first.secrets.sessionKey, client.sessionKey, 16));
    Bytes end(4);
    Put32(end.data(), client.session);
    EXPECT_EQ(Call(kIoctlMiscEndSession, end, 0).status, 0u);
    EXPECT_EQ(Summary().sessionState, uint32_t(SIM_SESSION_NONE));
    EXPECT_EQ(Call(kIoctlMiscCapsule, client.Capsule(BatteryPacket(0), 14), 32).status,
              uint32_t(SIM_STATUS_ACCESS_DENIED));
    MiniClient other;
    Load(scenario);
    other.Handshake();
    const SimSummary second = Summary();
    EXPECT_EQ(0, memcmp(&first.secrets, &second.secrets, sizeof first.secrets));
}

TEST_F(SimDeviceTest, DriverWithoutSessionsModelRecordAndUnknownCodes) {
    scenario.flags = 0;
    client.sessions = false;
    Load(scenario);
    EXPECT_EQ(Call(kIoctlMiscHandshake, {}, 0).status, uint32_t(SIM_STATUS_NOT_SUPPORTED));
    EXPECT_EQ(Call(kIoctlMiscHandshake, client.Phase1(), 160).status, uint32_t(SIM_STATUS_NOT_SUPPORTED));
    Bytes c = client.Capsule(FlatPadPacket(), 22);
    Put32(&c[8], 5);  // a session id the driver never gave
    EXPECT_EQ(Call(kIoctlMiscCapsule, c, 40).status, uint32_t(SIM_STATUS_INVALID_PARAMETER));
    Put32(&c[8], 0);
    EXPECT_EQ(Call(kIoctlMiscCapsule, c, 40).status, 0u);  // plain, with session id 0

    EXPECT_EQ(Call(kIoctlMiscGetModelNumber, {}, 127).status, uint32_t(SIM_STATUS_BUFFER_TOO_SMALL));
    EXPECT_EQ(Call(kIoctlMiscGetModelNumber, {}, 256).status, uint32_t(SIM_STATUS_INVALID_PARAMETER));
    EXPECT_EQ(Call(kIoctlMiscGetModelNumber, {0}, 128).status, uint32_t(SIM_STATUS_INVALID_PARAMETER));
    EXPECT_EQ(Call(kIoctlMiscGetModelNumber, {}, 128).returned, 128u);
    EXPECT_EQ(Call(kIoctlMiscFunction, {}, 0).status, uint32_t(SIM_STATUS_INVALID_DEVICE_REQUEST));
    EXPECT_EQ(Call(SIM_CTL_SET_SCENARIO, {}, 0).status, uint32_t(SIM_STATUS_INVALID_DEVICE_REQUEST));
}

// Client messages the driver must refuse, each with its status and reason.
TEST_F(SimDeviceTest, RefusesWrongClientMessages) {
    const uint32_t BAD = SIM_STATUS_INVALID_PARAMETER, DENIED = SIM_STATUS_ACCESS_DENIED;
    const uint32_t SMALL = SIM_STATUS_BUFFER_TOO_SMALL;
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
        {"phase1 top limb", 1, nullptr, [](Bytes& m) { m[135] = 1; }, 0, BAD, SIM_REJECT_PUBLIC_VALUE},
        {"phase1 A = P-1", 1, nullptr, [](Bytes& m) { PutLimbs(&m[4], kOakleyGroup2Prime); m[4] -= 1; }, 0, BAD, SIM_REJECT_PUBLIC_VALUE},
        {"phase2 session id", 2, nullptr, [](Bytes& m) { m[4] ^= 1; }, 0, DENIED, SIM_REJECT_SESSION_ID},
        {"phase2 proof last byte", 2, nullptr, [](Bytes& m) { m[27] ^= 1; }, 0, DENIED, SIM_REJECT_PROOF},
        {"phase2 27 bytes", 2, nullptr, [](Bytes& m) { m.pop_back(); }, 0, BAD, SIM_REJECT_IN_LENGTH},
        {"phase3 session id", 3, nullptr, [](Bytes& m) { m[7] ^= 0x80; }, 0, DENIED, SIM_REJECT_SESSION_ID},
        {"phase3 answer room", 3, nullptr, nullptr, 7, SMALL, SIM_REJECT_OUT_CAPACITY},
        {"capsule session id", 4, nullptr, [](Bytes& m) { m[8] ^= 1; }, 0, DENIED, SIM_REJECT_SESSION_ID},
        {"capsule size field", 4, nullptr, [](Bytes& m) { m[4] += 8; }, 0, BAD, SIM_REJECT_CAPSULE_SIZE},
        {"capsule longer than its size", 4, nullptr, [](Bytes& m) { m.resize(m.size() + 8); }, 0, BAD, SIM_REJECT_CAPSULE_SIZE},
        {"capsule payload length", 4, nullptr, [](Bytes& m) { m[0] += 1; }, 0, BAD, SIM_REJECT_REQUEST},
        {"capsule trailer", 4, nullptr, [](Bytes& m) { m.back() = 1; }, 0, BAD, SIM_REJECT_CAPSULE_PADDING},
        {"capsule padding", 4, [](Bytes& m) { m[12 + 46] = 1; }, nullptr, 0, BAD, SIM_REJECT_CAPSULE_PADDING},
        {"request sequence", 4, [](Bytes& m) { m[12] = 1; }, nullptr, 0, DENIED, SIM_REJECT_SEQUENCE},
        {"request code", 4, [](Bytes& m) { Put32(&m[20], kIoctlMiscCapsule); }, nullptr, 0, BAD, SIM_REJECT_REQUEST},
        {"request size", 4, [](Bytes& m) { m[16] += 1; }, nullptr, 0, BAD, SIM_REJECT_REQUEST},
        {"request trailing zero", 4, [](Bytes& m) { m[12 + 42] = 1; }, nullptr, 0, BAD, SIM_REJECT_REQUEST},
        {"packet output length", 4, [](Bytes& m) { m[12 + 20 + 4] = 21; }, nullptr, 0, BAD, SIM_REJECT_PACKET},
        {"packet reserved", 4, [](Bytes& m) { m[12 + 20 + 6] = 1; }, nullptr, 0, BAD, SIM_REJECT_PACKET},
        {"reply room", 4, nullptr, nullptr, 39, SMALL, SIM_REJECT_OUT_CAPACITY},
        {"reply room beyond the capsule", 4, nullptr, nullptr, 48, BAD, SIM_REJECT_OUT_CAPACITY},
        {"phase1 answer room beyond 160", 1, nullptr, nullptr, 161, BAD, SIM_REJECT_OUT_CAPACITY},
        {"phase2 answer room beyond 20", 2, nullptr, nullptr, 28, BAD, SIM_REJECT_OUT_CAPACITY},
        {"flat-pad item bytes", 4, [](Bytes& m) { m[32 + 10] = 1; }, nullptr, 0, BAD, SIM_REJECT_PACKET},
    };
    for (const auto& w : cases) {
        SCOPED_TRACE(w.name);
        MiniClient c;
        Load(scenario);
        Bytes m = c.Phase1();
        uint32_t nominal = 160;
        if (w.phase > 1) {
            c.Accept1(m, Call(kIoctlMiscHandshake, m, 160).out);
            m = c.Phase2(), nominal = 20;
        }
        if (w.phase > 2) {
            ASSERT_EQ(Call(kIoctlMiscHandshake, m, 20).status, 0u);
            m = c.Phase3(), nominal = 8;
        }
        if (w.phase > 3) {
            ASSERT_EQ(Call(kIoctlMiscHandshake, m, 8).status, 0u);
            m = c.Capsule(FlatPadPacket(), 22, w.plain), nominal = 40;
        }
        if (w.message) w.message(m);
        Result r = Call(w.phase == 4 ? kIoctlMiscCapsule : kIoctlMiscHandshake, m, w.outCap ? w.outCap : nominal);
        EXPECT_EQ(r.status, w.status);
        EXPECT_EQ(r.returned, 0u);
        EXPECT_EQ(LastExchange().rejection, w.reject);
        EXPECT_EQ(LastExchange().win32Error, SimStatusToWin32Error(w.status));
    }
}

// The order of a session's messages, values that must not come twice, the
// battery index's byte order and the sequence without sessions; each refusal
// is counted as a violation of the client, the first one named.
TEST_F(SimDeviceTest, RecordsViolationsOfOrderRepetitionAndByteOrder) {
    Load(scenario);
    client.Handshake();
    EXPECT_EQ(Summary().violations, 0u);
    MiniClient again;  // the same nonce and exponent
    EXPECT_EQ(Call(kIoctlMiscHandshake, again.Phase1(), 160).status, uint32_t(SIM_STATUS_ACCESS_DENIED));
    Bytes end(4);
    Put32(end.data(), client.session);
    EXPECT_EQ(Call(kIoctlMiscEndSession, end, 4).status, uint32_t(SIM_STATUS_INVALID_PARAMETER));  // no output
    EXPECT_EQ(Call(kIoctlMiscEndSession, end, 0).status, 0u);
    EXPECT_EQ(Call(kIoctlMiscHandshake, again.Phase1(), 160).status, uint32_t(SIM_STATUS_INVALID_PARAMETER));
    EXPECT_EQ(LastExchange().rejection, uint32_t(SIM_REJECT_REPEATED));
    const SimSummary s = Summary();
    EXPECT_EQ(s.violations, 3u);
    EXPECT_EQ(s.firstViolation, uint32_t(SIM_REJECT_STATE));
    EXPECT_EQ(s.firstViolationExchange, 3u);

    scenario.flags = 0;
    Load(scenario);
    client.sessions = false;
    EXPECT_EQ(Call(kIoctlMiscHandshake, {}, 0).status, uint32_t(SIM_STATUS_NOT_SUPPORTED));
    EXPECT_EQ(Summary().violations, 0u);  // the probe's answer is no refusal
    Bytes bigEndianOne = BatteryPacket(0);
    bigEndianOne[9] = 1;
    EXPECT_EQ(Call(kIoctlMiscCapsule, client.Capsule(bigEndianOne, 14), 32).status,
              uint32_t(SIM_STATUS_INVALID_PARAMETER));
    EXPECT_EQ(LastExchange().rejection, uint32_t(SIM_REJECT_BATTERY_INDEX));
    for (uint32_t sequence : {0u, 1u}) {
        client.sequence = sequence;
        EXPECT_EQ(Call(kIoctlMiscCapsule, client.Capsule(BatteryPacket(0), 14), 32).status, 0u) << sequence;
    }
    EXPECT_EQ(Call(kIoctlMiscCapsule, client.Capsule(BatteryPacket(0), 14), 32).status,
              uint32_t(SIM_STATUS_ACCESS_DENIED));  // 1 again
    EXPECT_EQ(LastExchange().rejection, uint32_t(SIM_REJECT_SEQUENCE));
    EXPECT_EQ(Summary().violations, 2u);
}

// Every reply shape the scenario can ask for, on the battery query (14
// output bytes, a 32-byte reply capsule), and the status-4 answers.
TEST_F(SimDeviceTest, ShapesRepliesAsTheScenarioAsks) {
    const struct {
        uint8_t returnedMode, sizeMode;
        uint32_t returned, sizeField;
    } cases[] = {{SIM_RETURNED_CAPSULE, SIM_REPLYSIZE_RIGHT, 32, 32}, {SIM_RETURNED_PADDED, SIM_REPLYSIZE_ZERO, 28, 0},
                 {SIM_RETURNED_PAYLOAD, SIM_REPLYSIZE_ODD, 26, 36},   {SIM_RETURNED_CAPSULE, SIM_REPLYSIZE_LARGE, 32, 40}};
    scenario.flags = 0;
    client.sessions = false;
    for (const auto& c : cases) {
        scenario.replyReturned = c.returnedMode;
        scenario.replySizeField = c.sizeMode;
        Load(scenario);
        Result r = Call(kIoctlMiscCapsule, client.Capsule(BatteryPacket(0), 14), 32);
        EXPECT_EQ(r.status, 0u);
        EXPECT_EQ(r.returned, c.returned);
        EXPECT_EQ(Get32(&r.out[0]), 14u);
        EXPECT_EQ(Get32(&r.out[4]), c.sizeField);
        EXPECT_EQ(r.out[12 + 10] | r.out[12 + 11] << 8, 0x4A6F);  // the date
    }
    scenario.replyReturned = SIM_RETURNED_CAPSULE;
    scenario.replySizeField = SIM_REPLYSIZE_RIGHT;
    scenario.status4Count = 2;
    Load(scenario);
    const uint8_t statuses[] = {4, 4, 0, 4, 4, 1};  // pack 0 asked three times, then pack 1
    for (int i = 0; i < 6; ++i) {
        client.sequence = uint32_t(i);
        Result r = Call(kIoctlMiscCapsule, client.Capsule(BatteryPacket(i < 3 ? 0 : 1), 14), 32);
        EXPECT_EQ(r.out[12], statuses[i]) << i;
    }
}

}  // namespace
