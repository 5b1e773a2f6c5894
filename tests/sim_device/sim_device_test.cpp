// The substitute driver's protocol core, driven natively by a small client
// built from the crypto primitives: a correct session, the client messages it
// must refuse, and the faults it injects on request.
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

uint32_t Get32(const uint8_t* p) { return p[0] | p[1] << 8 | p[2] << 16 | uint32_t(p[3]) << 24; }
void Put32(uint8_t* p, uint32_t v) { for (int i = 0; i < 4; ++i) p[i] = uint8_t(v >> (8 * i)); }
void Put16(uint8_t* p, uint16_t v) { p[0] = uint8_t(v); p[1] = uint8_t(v >> 8); }

struct Result {
    uint32_t status;
    uint32_t returned;
    Bytes out;
};

Result Call(uint32_t code, const Bytes& in, uint32_t outCap)
{
    Result r;
    r.out.assign(outCap, 0xCC);
    r.status = SimDeviceControl(code, in.empty() ? nullptr : in.data(), uint32_t(in.size()),
                                outCap ? r.out.data() : nullptr, outCap, &r.returned);
    return r;
}

SimSummary Summary()
{
    SimSummary s;
    uint32_t got = 0;
    EXPECT_EQ(SimControlRequest(SIM_CTL_GET_SUMMARY, nullptr, 0, &s, sizeof s, &got), 0u);
    return s;
}

SimExchange LastExchange()
{
    uint32_t index = Summary().exchangeCount - 1, got = 0;
    SimExchange e;
    EXPECT_EQ(SimControlRequest(SIM_CTL_GET_EXCHANGE, &index, 4, &e, sizeof e, &got), 0u);
    return e;
}

void Load(const SimScenario& s)
{
    uint32_t got;
    ASSERT_EQ(SimControlRequest(SIM_CTL_SET_SCENARIO, &s, sizeof s, nullptr, 0, &got), 0u);
}

Bytes Packet(uint8_t function, uint8_t sub, uint16_t size, uint16_t inLen, uint16_t outLen, uint16_t word8)
{
    Bytes p(size, 0);
    p[0] = function;
    p[1] = sub;
    Put16(&p[2], inLen);
    Put16(&p[4], outLen);
    Put16(&p[8], word8);
    return p;
}
Bytes FlatPadPacket() { return Packet(kFlatPadFunction, 1, 22, 22, 22, kFlatPadSetupItem); }
Bytes BatteryPacket(uint16_t index) { return Packet(kBatteryFunction, 2, 14, 10, 14, index); }

// The client side, as the driver channel does it, with fixed random values.
struct MiniClient {
    uint32_t x[4] = {0x1234567u, 0x89ABCDEFu, 0x0BADF00Du, 0};
    uint8_t a[kBigNumberBytes] = {}, b[kBigNumberBytes] = {};
    uint8_t authKey[20] = {}, kek[16] = {};
    uint8_t sessionKey[16] = {0x10, 0x32, 0x54, 0x76, 0x98, 0xBA, 0xDC, 0xFE,
                              0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF};
    uint32_t session = 0, sequence = 0;
    BlowfishContext cipher;
    bool sessions = true;

    Bytes Phase1()
    {
        Bytes m(kPhase1RequestSize, 0);
        memcpy(&m[0], kTagIni1, 4);
        uint32_t limbs[kBigNumberLimbs] = {};
        EXPECT_TRUE(pow2mod(limbs, kBigNumberLimbs, x, 4, kOakleyGroup2Prime, kBigNumberLimbs));
        for (uint32_t i = 0; i < kBigNumberLimbs; ++i) Put32(a + 4 * i, limbs[i]);
        memcpy(&m[kPhase1RequestPublicOffset], a, kBigNumberBytes);
        for (uint32_t i = 0; i < kPhase1RequestNonceSize; ++i) m[kPhase1RequestNonceOffset + i] = uint8_t(0x40 + i);
        return m;
    }
    // Takes the phase 1 answer; returns the expected driver proof.
    Bytes Accept1(const Bytes& request, const Bytes& answer)
    {
        session = Get32(&answer[0]);
        memcpy(b, &answer[kPhase1AnswerPublicOffset], kBigNumberBytes);
        Sha1Context sha;
        uint8_t nonces[48];
        memcpy(nonces, &request[kNonceFieldOffset], 24);
        memcpy(nonces + 24, &answer[kNonceFieldOffset], 24);
        HmacSha1(&sha, kHandshakeKeyBlock + kHandshakeKeyOffset, 16, nonces, 48, authKey);
        uint32_t bl[kBigNumberLimbs], z[kBigNumberLimbs] = {};
        for (uint32_t i = 0; i < kBigNumberLimbs; ++i) bl[i] = Get32(b + 4 * i);
        EXPECT_TRUE(powmod(z, kBigNumberLimbs, bl, kBigNumberLimbs, x, 4, kOakleyGroup2Prime, kBigNumberLimbs));
        uint8_t zb[kBigNumberBytes], digest[20];
        for (uint32_t i = 0; i < kBigNumberLimbs; ++i) Put32(zb + 4 * i, z[i]);
        Sha1Init(&sha);
        Sha1Update(&sha, zb, kBigNumberBytes);
        Sha1Final(&sha);
        Sha1GetDigest(&sha, digest);
        memcpy(kek, digest, 16);
        return Proof(b, a);
    }
    Bytes Proof(const uint8_t* first, const uint8_t* second)
    {
        uint8_t m[2 * kBigNumberBytes];
        memcpy(m, first, kBigNumberBytes);
        memcpy(m + kBigNumberBytes, second, kBigNumberBytes);
        Bytes out(20);
        Sha1Context sha;
        HmacSha1(&sha, authKey, 20, m, sizeof m, out.data());
        return out;
    }
    Bytes Phase2()
    {
        Bytes m(kPhase2RequestSize, 0);
        memcpy(&m[0], kTagIni2, 4);
        Put32(&m[4], session);
        Bytes proof = Proof(a, b);
        memcpy(&m[8], proof.data(), 20);
        return m;
    }
    Bytes Phase3()
    {
        Bytes m(kPhase3RequestSize, 0);
        memcpy(&m[0], kTagIni3, 4);
        Put32(&m[4], session);
        BlowfishContext k;
        BlowfishInitialize(&k, kek, 16);
        for (int i = 0; i < 2; ++i) {
            uint32_t l = Get32(sessionKey + 8 * i), r = Get32(sessionKey + 8 * i + 4);
            BlowfishEncipher(&k, &l, &r);
            Put32(&m[8 + 8 * i], l);
            Put32(&m[12 + 8 * i], r);
        }
        BlowfishInitialize(&cipher, sessionKey, 16);
        return m;
    }
    // Deciphers the phase 3 answer into its two words.
    void Confirmation(const Bytes& answer, uint32_t* left, uint32_t* right)
    {
        *left = Get32(&answer[0]);
        *right = Get32(&answer[4]);
        BlowfishDecipher(&cipher, left, right);
    }
    void Handshake()
    {
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
        uint32_t l, r;
        Confirmation(r3.out, &l, &r);
        ASSERT_EQ(l, kConfirmationLeft);
        ASSERT_EQ(r, kConfirmationRight);
    }
    void Cipher(uint8_t* capsule, uint32_t blocks, bool encipher)
    {
        for (uint32_t i = 0; i < blocks; ++i) {
            uint8_t* p = capsule + 12 + 8 * i;
            uint32_t l = Get32(p), r = Get32(p + 4);
            encipher ? BlowfishEncipher(&cipher, &l, &r) : BlowfishDecipher(&cipher, &l, &r);
            Put32(p, l);
            Put32(p + 4, r);
        }
    }
    // A request capsule carrying the packet's input bytes (the length in its
    // header); `plain` may change the EncapsuledRequest before it is enciphered.
    Bytes Capsule(const Bytes& whole, uint32_t outLen, const std::function<void(Bytes&)>& plain = nullptr)
    {
        Bytes packet(whole.begin(), whole.begin() + (whole[2] | whole[3] << 8));
        uint32_t n = uint32_t(packet.size()) + kRequestOverhead;
        Bytes c(CapsuleSizeFor(n), 0);
        Put32(&c[0], n);
        Put32(&c[4], uint32_t(c.size()));
        Put32(&c[8], sessions ? session : 0);
        uint8_t* req = &c[12];
        Put32(req + 0, sequence);
        Put32(req + 4, n);
        Put32(req + 8, kIoctlMiscFunction);
        Put32(req + 12, uint32_t(packet.size()));
        Put32(req + 16, outLen);
        memcpy(req + 20, packet.data(), packet.size());
        if (plain) plain(c);
        if (sessions) Cipher(c.data(), (uint32_t(c.size()) - 16) / 8, true);
        return c;
    }
    // Sends a packet; returns the deciphered reply capsule.
    Result Misc(const Bytes& packet, uint32_t outLen)
    {
        Result r = Call(kIoctlMiscCapsule, Capsule(packet, outLen), CapsuleSizeFor(outLen));
        if (r.status == 0 || r.returned != 0) ++sequence;
        if (sessions && r.returned >= 16) Cipher(r.out.data(), (r.returned - 16) / 8, false);
        return r;
    }
};

class SimDeviceTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        SimScenarioInitDefaults(&scenario);
        scenario.seed = 7;
        scenario.flatPadValues[0] = 0x0102;
        scenario.flatPadValues[3] = 0x0708;
        scenario.batteries[0].date = 0x4A6F;
    }
    void Start(bool handshake = true)
    {
        Load(scenario);
        if (handshake) client.Handshake();
    }
    SimScenario scenario;
    MiniClient client;
};

TEST_F(SimDeviceTest, SessionWithMiscCallsAndRecordedSecrets)
{
    Start();
    SimSummary s = Summary();
    EXPECT_EQ(s.sessionState, uint32_t(SIM_SESSION_ESTABLISHED));
    EXPECT_EQ(s.sessionId, client.session);
    EXPECT_EQ(0, memcmp(s.secrets.sessionKey, client.sessionKey, 16));
    EXPECT_EQ(0, memcmp(s.secrets.handshakeKey, kHandshakeKeyBlock + kHandshakeKeyOffset, 16));
    EXPECT_EQ(0, memcmp(s.secrets.confirmation, "VmrtConf", 8));
    // The recorded exponent reproduces the driver's public value.
    uint32_t exponent[4], pub[kBigNumberLimbs] = {};
    for (int i = 0; i < 4; ++i) exponent[i] = Get32(s.secrets.privateExponent + 4 * i);
    ASSERT_TRUE(pow2mod(pub, kBigNumberLimbs, exponent, 4, kOakleyGroup2Prime, kBigNumberLimbs));
    for (uint32_t i = 0; i < kBigNumberLimbs; ++i) EXPECT_EQ(pub[i], Get32(client.b + 4 * i));

    Result flat = client.Misc(FlatPadPacket(), 22);
    ASSERT_EQ(flat.status, 0u);
    ASSERT_EQ(flat.returned, 40u);
    EXPECT_EQ(Get32(&flat.out[0]), 22u);
    EXPECT_EQ(Get32(&flat.out[4]), 40u);
    EXPECT_EQ(flat.out[12], 0);            // status
    EXPECT_EQ(flat.out[12 + 12], 0x02);    // value 1
    EXPECT_EQ(flat.out[12 + 18], 0x08);    // value 4

    Result present = client.Misc(BatteryPacket(0), 14);
    ASSERT_EQ(present.status, 0u);
    EXPECT_EQ(present.out[12], 0);
    EXPECT_EQ(present.out[12 + 10] | present.out[12 + 11] << 8, 0x4A6F);
    Result absent = client.Misc(BatteryPacket(1), 14);
    EXPECT_EQ(absent.out[12], scenario.batteryAbsentStatus);
    EXPECT_EQ(Summary().expectedSequence, 3u);

    // The capsule is recorded as it was sent (enciphered).
    Bytes sent = client.Capsule(BatteryPacket(0), 14);
    Call(kIoctlMiscCapsule, sent, 32);
    SimExchange e = LastExchange();
    EXPECT_EQ(0, memcmp(e.in, sent.data(), sent.size()));

    Bytes end(4);
    Put32(end.data(), client.session);
    EXPECT_EQ(Call(kIoctlMiscEndSession, end, 0).status, 0u);
    EXPECT_EQ(Summary().sessionState, uint32_t(SIM_SESSION_NONE));
    EXPECT_EQ(Call(kIoctlMiscCapsule, client.Capsule(BatteryPacket(0), 14), 32).status,
              uint32_t(SIM_STATUS_ACCESS_DENIED));
}

TEST_F(SimDeviceTest, SameBufferForInputAndOutput)
{
    Start();
    Bytes capsule = client.Capsule(FlatPadPacket(), 22);
    capsule.resize(64);
    uint32_t returned = 0;
    ASSERT_EQ(SimDeviceControl(kIoctlMiscCapsule, capsule.data(), 64, capsule.data(), 64, &returned), 0u);
    ASSERT_EQ(returned, 40u);
    client.Cipher(capsule.data(), 3, false);
    EXPECT_EQ(Get32(&capsule[0]), 22u);
    EXPECT_EQ(capsule[12 + 12], 0x02);
}

TEST_F(SimDeviceTest, DriverWithoutSessions)
{
    scenario.flags = 0;
    client.sessions = false;
    Start(false);
    EXPECT_EQ(Call(kIoctlMiscHandshake, {}, 0).status, uint32_t(SIM_STATUS_NOT_SUPPORTED));
    EXPECT_EQ(Call(kIoctlMiscHandshake, client.Phase1(), 160).status, uint32_t(SIM_STATUS_NOT_SUPPORTED));
    Result flat = client.Misc(FlatPadPacket(), 22);
    ASSERT_EQ(flat.status, 0u);
    EXPECT_EQ(flat.out[12 + 12], 0x02);  // in the clear
    Bytes c = client.Capsule(FlatPadPacket(), 22);
    Put32(&c[8], 5);  // a session id the driver never gave
    EXPECT_EQ(Call(kIoctlMiscCapsule, c, 40).status, uint32_t(SIM_STATUS_INVALID_PARAMETER));
}

// Client messages the driver must refuse, each with its status and reason.
struct Wrong {
    const char* name;
    int phase;  // 1..3 = handshake phase, 4 = capsule after a handshake
    std::function<void(Bytes&)> plain;    // capsule: the request before enciphering
    std::function<void(Bytes&)> message;  // the message as sent
    uint32_t outCap;                      // 0: the nominal size
    uint32_t status;
    uint32_t reject;
};

TEST_F(SimDeviceTest, RefusesWrongClientMessages)
{
    const Wrong cases[] = {
        {"phase1 tag", 1, nullptr, [](Bytes& m) { m[3] = '0'; }, 0, SIM_STATUS_INVALID_PARAMETER, SIM_REJECT_TAG},
        {"phase1 159 bytes", 1, nullptr, [](Bytes& m) { m.pop_back(); }, 0, SIM_STATUS_INVALID_PARAMETER, SIM_REJECT_IN_LENGTH},
        {"phase1 answer room", 1, nullptr, nullptr, 159, SIM_STATUS_BUFFER_TOO_SMALL, SIM_REJECT_OUT_CAPACITY},
        {"phase1 nonce padding", 1, nullptr, [](Bytes& m) { m[159] = 1; }, 0, SIM_STATUS_INVALID_PARAMETER, SIM_REJECT_NONCE_PADDING},
        {"phase1 A = 1", 1, nullptr, [](Bytes& m) { memset(&m[4], 0, 132); m[4] = 1; }, 0, SIM_STATUS_INVALID_PARAMETER, SIM_REJECT_PUBLIC_VALUE},
        {"phase1 top limb", 1, nullptr, [](Bytes& m) { m[135] = 1; }, 0, SIM_STATUS_INVALID_PARAMETER, SIM_REJECT_PUBLIC_VALUE},
        {"phase1 A = P-1", 1, nullptr, [](Bytes& m) { for (int i = 0; i < 33; ++i) Put32(&m[4 + 4 * i], kOakleyGroup2Prime[i]); m[4] -= 1; }, 0, SIM_STATUS_INVALID_PARAMETER, SIM_REJECT_PUBLIC_VALUE},
        {"phase2 session id", 2, nullptr, [](Bytes& m) { m[4] ^= 1; }, 0, SIM_STATUS_ACCESS_DENIED, SIM_REJECT_SESSION_ID},
        {"phase2 proof last byte", 2, nullptr, [](Bytes& m) { m[27] ^= 1; }, 0, SIM_STATUS_ACCESS_DENIED, SIM_REJECT_PROOF},
        {"phase2 27 bytes", 2, nullptr, [](Bytes& m) { m.pop_back(); }, 0, SIM_STATUS_INVALID_PARAMETER, SIM_REJECT_IN_LENGTH},
        {"phase3 session id", 3, nullptr, [](Bytes& m) { m[7] ^= 0x80; }, 0, SIM_STATUS_ACCESS_DENIED, SIM_REJECT_SESSION_ID},
        {"phase3 answer room", 3, nullptr, nullptr, 7, SIM_STATUS_BUFFER_TOO_SMALL, SIM_REJECT_OUT_CAPACITY},
        {"capsule session id", 4, nullptr, [](Bytes& m) { m[8] ^= 1; }, 0, SIM_STATUS_ACCESS_DENIED, SIM_REJECT_SESSION_ID},
        {"capsule size field", 4, nullptr, [](Bytes& m) { m[4] += 8; }, 0, SIM_STATUS_INVALID_PARAMETER, SIM_REJECT_CAPSULE_SIZE},
        {"capsule longer than its size", 4, nullptr, [](Bytes& m) { m.resize(m.size() + 8); }, 0, SIM_STATUS_INVALID_PARAMETER, SIM_REJECT_CAPSULE_SIZE},
        {"capsule payload length", 4, nullptr, [](Bytes& m) { m[0] += 1; }, 0, SIM_STATUS_INVALID_PARAMETER, SIM_REJECT_REQUEST},
        {"capsule trailer", 4, nullptr, [](Bytes& m) { m.back() = 1; }, 0, SIM_STATUS_INVALID_PARAMETER, SIM_REJECT_CAPSULE_PADDING},
        {"capsule padding", 4, [](Bytes& m) { m[12 + 46] = 1; }, nullptr, 0, SIM_STATUS_INVALID_PARAMETER, SIM_REJECT_CAPSULE_PADDING},
        {"request sequence", 4, [](Bytes& m) { m[12] = 1; }, nullptr, 0, SIM_STATUS_ACCESS_DENIED, SIM_REJECT_SEQUENCE},
        {"request code", 4, [](Bytes& m) { Put32(&m[20], kIoctlMiscCapsule); }, nullptr, 0, SIM_STATUS_INVALID_PARAMETER, SIM_REJECT_REQUEST},
        {"request size", 4, [](Bytes& m) { m[16] += 1; }, nullptr, 0, SIM_STATUS_INVALID_PARAMETER, SIM_REJECT_REQUEST},
        {"request trailing zero", 4, [](Bytes& m) { m[12 + 42] = 1; }, nullptr, 0, SIM_STATUS_INVALID_PARAMETER, SIM_REJECT_REQUEST},
        {"packet output length", 4, [](Bytes& m) { m[12 + 20 + 4] = 21; }, nullptr, 0, SIM_STATUS_INVALID_PARAMETER, SIM_REJECT_PACKET},
        {"packet reserved", 4, [](Bytes& m) { m[12 + 20 + 6] = 1; }, nullptr, 0, SIM_STATUS_INVALID_PARAMETER, SIM_REJECT_PACKET},
        {"reply room", 4, nullptr, nullptr, 39, SIM_STATUS_BUFFER_TOO_SMALL, SIM_REJECT_OUT_CAPACITY},
    };
    for (const Wrong& w : cases) {
        SCOPED_TRACE(w.name);
        MiniClient c;
        Load(scenario);
        Bytes m;
        uint32_t nominal = 0;
        if (w.phase == 1) {
            m = c.Phase1();
            nominal = 160;
        } else {
            Bytes p1 = c.Phase1();
            Result r1 = Call(kIoctlMiscHandshake, p1, 160);
            c.Accept1(p1, r1.out);
            if (w.phase >= 3) {
                ASSERT_EQ(Call(kIoctlMiscHandshake, c.Phase2(), 20).status, 0u);
            }
            if (w.phase == 2) { m = c.Phase2(); nominal = 20; }
            if (w.phase == 3) { m = c.Phase3(); nominal = 8; }
            if (w.phase == 4) {
                Result r3 = Call(kIoctlMiscHandshake, c.Phase3(), 8);
                ASSERT_EQ(r3.status, 0u);
                m = c.Capsule(FlatPadPacket(), 22, w.plain);
                nominal = 40;
            }
        }
        if (w.message) w.message(m);
        Result r = Call(w.phase == 4 ? kIoctlMiscCapsule : kIoctlMiscHandshake, m, w.outCap ? w.outCap : nominal);
        EXPECT_EQ(r.status, w.status);
        EXPECT_EQ(r.returned, 0u);
        EXPECT_EQ(LastExchange().rejection, w.reject);
        EXPECT_EQ(LastExchange().win32Error, SimStatusToWin32Error(w.status));
    }
}

TEST_F(SimDeviceTest, PhaseFaults)
{
    scenario.faults[0] = {SIM_TARGET_PHASE1, SIM_FAULT_LENGTH, -1, SIM_STATUS_OK, 0, 1};
    scenario.faults[1] = {SIM_TARGET_PHASE1, SIM_FAULT_LENGTH, +1, SIM_STATUS_OK, 1, 1};
    scenario.faults[2] = {SIM_TARGET_PHASE2, SIM_FAULT_CORRUPT_PROOF, 0, SIM_STATUS_OK, 0, 1};
    scenario.faults[3] = {SIM_TARGET_PHASE3, SIM_FAULT_WRONG_CONFIRMATION, 0, SIM_STATUS_OK, 0, 1};
    Start(false);
    Bytes p1 = client.Phase1();
    EXPECT_EQ(Call(kIoctlMiscHandshake, p1, 160).returned, 159u);
    Result longer = Call(kIoctlMiscHandshake, p1, 160);
    EXPECT_EQ(longer.returned, 161u);
    EXPECT_EQ(longer.out.size(), 160u);  // nothing beyond the buffer
    Result r1 = Call(kIoctlMiscHandshake, p1, 160);
    Bytes expected = client.Accept1(p1, r1.out);
    Result r2 = Call(kIoctlMiscHandshake, client.Phase2(), 20);
    ASSERT_EQ(r2.status, 0u);
    EXPECT_EQ(r2.out[19], expected[19] ^ 1);
    EXPECT_EQ(0, memcmp(r2.out.data(), expected.data(), 19));
    Result r3 = Call(kIoctlMiscHandshake, client.Phase3(), 8);
    uint32_t l, r;
    client.Confirmation(r3.out, &l, &r);
    EXPECT_EQ(l, kConfirmationLeft);
    EXPECT_EQ(r, kConfirmationRight ^ 0x01000000u);
}

TEST_F(SimDeviceTest, CapsuleFaults)
{
    scenario.faults[0] = {SIM_TARGET_CAPSULE, SIM_FAULT_MISC_STATUS, 4, SIM_STATUS_OK, 0, 2};
    scenario.faults[1] = {SIM_TARGET_CAPSULE, SIM_FAULT_SHORT_REPLY, 11, SIM_STATUS_OK, 3, 1};
    scenario.faults[2] = {SIM_TARGET_CAPSULE, SIM_FAULT_LONG_PAYLOAD, 2, SIM_STATUS_OK, 4, 1};
    scenario.faults[3] = {SIM_TARGET_CAPSULE, SIM_FAULT_SIZE_FIELD, 36, SIM_STATUS_OK, 5, 1};
    scenario.faults[4] = {SIM_TARGET_CAPSULE, SIM_FAULT_FAIL_WITH_DATA, 0, SIM_STATUS_OK, 6, 1};
    scenario.faults[5] = {SIM_TARGET_CAPSULE, SIM_FAULT_FAIL, 0, SIM_STATUS_UNSUCCESSFUL, 7, 1};
    Start();
    EXPECT_EQ(client.Misc(FlatPadPacket(), 22).out[12], 4);  // status 4 twice
    EXPECT_EQ(client.Misc(FlatPadPacket(), 22).out[12], 4);
    EXPECT_EQ(client.Misc(FlatPadPacket(), 22).out[12], 0);
    Result shortReply = client.Misc(FlatPadPacket(), 22);
    EXPECT_EQ(shortReply.status, 0u);
    EXPECT_EQ(shortReply.returned, 11u);
    Result longPayload = client.Misc(FlatPadPacket(), 22);
    EXPECT_EQ(Get32(&longPayload.out[0]), 24u);
    EXPECT_EQ(Get32(&longPayload.out[4]), 40u);
    EXPECT_EQ(longPayload.out[12 + 12], 0x02);
    EXPECT_EQ(Get32(&client.Misc(FlatPadPacket(), 22).out[4]), 36u);
    Result failWithData = client.Misc(FlatPadPacket(), 22);
    EXPECT_EQ(failWithData.status, uint32_t(SIM_STATUS_BUFFER_OVERFLOW));
    EXPECT_EQ(failWithData.returned, 40u);
    EXPECT_EQ(failWithData.out[12 + 12], 0x02);
    // A plain failure returns nothing and does not use up the sequence number.
    Result failed = client.Misc(FlatPadPacket(), 22);
    EXPECT_EQ(failed.status, uint32_t(SIM_STATUS_UNSUCCESSFUL));
    EXPECT_EQ(failed.returned, 0u);
    EXPECT_EQ(client.Misc(FlatPadPacket(), 22).status, 0u);
}

TEST_F(SimDeviceTest, ModelRecordAndUnknownCodes)
{
    Start(false);
    EXPECT_EQ(Call(kIoctlMiscGetModelNumber, {}, 127).status, uint32_t(SIM_STATUS_BUFFER_TOO_SMALL));
    Result model = Call(kIoctlMiscGetModelNumber, {}, 256);
    ASSERT_EQ(model.status, 0u);
    EXPECT_EQ(model.returned, 128u);
    EXPECT_EQ(0, memcmp(model.out.data(), scenario.modelRecord, 128));
    EXPECT_EQ(model.out[128], 0xCC);
    EXPECT_EQ(Call(kIoctlMiscFunction, {}, 0).status, uint32_t(SIM_STATUS_INVALID_DEVICE_REQUEST));
    EXPECT_EQ(Call(SIM_CTL_SET_SCENARIO, {}, 0).status, uint32_t(SIM_STATUS_INVALID_DEVICE_REQUEST));
}

TEST_F(SimDeviceTest, SameSeedSameTranscript)
{
    Start();
    SimSummary first = Summary();
    MiniClient other;
    Load(scenario);
    other.Handshake();
    SimSummary second = Summary();
    EXPECT_EQ(0, memcmp(&first.secrets, &second.secrets, sizeof first.secrets));
}

}  // namespace
