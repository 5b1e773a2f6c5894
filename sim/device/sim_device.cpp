// Protocol core of the substitute system-interface driver: the driver's side
// of the session handshake, capsules, the two misc functions and the model
// record, played from a scenario, with every exchange recorded.
//
// The substitute is deliberately strict: it checks every field a real driver
// could check (tags, lengths, session id, sequence numbers, the client proof,
// capsule size fields, padding) and refuses a request at the first fault, so a
// client mistake shows up as a failed call instead of passing unnoticed.
//
// Freestanding: no OS headers, no heap, no exceptions, no static constructors.
#include "sim/device/sim_device.h"

#include <string.h>

#include "crypto/bigint.h"
#include "crypto/blowfish.h"
#include "crypto/bytes.h"
#include "crypto/sha1.h"
#include "driver_channel/misc_protocol.h"


namespace {

using namespace MiscProtocol;

constexpr uint32_t kMaxMessage = 4096;         // largest request the driver accepts
constexpr uint32_t kScratchSize = kMaxMessage + 64;
constexpr uint32_t kDriverExponentLimbs = 4;

// ---------------------------------------------------------------------------
// Byte helpers.

using Bytes::ReadLe16;
using Bytes::ReadLe32;
using Bytes::Wipe;
using Bytes::WriteLe16;
using Bytes::WriteLe32;

void LimbsToBytes(const uint32_t* limbs, uint32_t count, uint8_t* out)
{
    for (uint32_t i = 0; i < count; ++i) WriteLe32(out + 4 * i, limbs[i]);
}
void BytesToLimbs(const uint8_t* in, uint32_t count, uint32_t* limbs)
{
    for (uint32_t i = 0; i < count; ++i) limbs[i] = ReadLe32(in + 4 * i);
}
bool Equal(const uint8_t* a, const uint8_t* b, uint32_t n)
{
    uint8_t diff = 0;
    for (uint32_t i = 0; i < n; ++i) diff = uint8_t(diff | (a[i] ^ b[i]));
    return diff == 0;
}
bool AllZero(const uint8_t* p, uint32_t n)
{
    uint8_t acc = 0;
    for (uint32_t i = 0; i < n; ++i) acc = uint8_t(acc | p[i]);
    return acc == 0;
}
// Compares two 33-limb numbers: -1, 0 or 1.
int Compare(const uint32_t* a, const uint32_t* b)
{
    for (uint32_t i = kBigNumberLimbs; i-- > 0;) {
        if (a[i] != b[i]) return a[i] < b[i] ? -1 : 1;
    }
    return 0;
}

// ---------------------------------------------------------------------------
// Deterministic random source: SHA-1 over (seed, counter), so every
// transcript of one scenario is reproducible.

struct Drbg {
    uint32_t seed;
    uint32_t counter;
    uint32_t used;  // bytes of block consumed; 20 = empty
    uint8_t block[20];
};

void DrbgSeed(Drbg& d, uint32_t seed)
{
    d.seed = seed;
    d.counter = 0;
    d.used = 20;
}

uint32_t DrbgWord(Drbg& d)
{
    if (d.used + 4 > 20) {
        static const uint8_t kLabel[8] = {'Q', 'm', 'S', 'i', 'm', 'R', 'n', 'd'};
        uint8_t input[16];
        WriteLe32(input, d.seed);
        WriteLe32(input + 4, d.counter++);
        memcpy(input + 8, kLabel, 8);
        Sha1Context sha;
        Sha1Init(&sha);
        Sha1Update(&sha, input, sizeof input);
        Sha1Final(&sha);
        Sha1GetDigest(&sha, d.block);
        d.used = 0;
    }
    uint32_t w = ReadLe32(d.block + d.used);
    d.used += 4;
    return w;
}

// ---------------------------------------------------------------------------
// State.

struct Session {
    uint32_t state;  // SIM_SESSION_*
    uint32_t id;
    uint32_t sequence;
    SimSecrets* secrets;  // its record in DeviceState::secrets (null beyond the table)
    uint32_t exponent[kDriverExponentLimbs];
    uint8_t expectedClientProof[kProofSize];
    uint8_t driverProof[kProofSize];
    uint8_t keyEncryptionKey[kKeyEncryptionKeySize];
};

struct FaultCounters {
    uint32_t seen;
    uint32_t fired;
};

// Phase 1 values a client must never send twice: its nonce, and its public
// value (a repeated A means a repeated private exponent).
constexpr uint32_t kHistorySize = 16;
constexpr uint32_t kHistoryBytes = 20;
struct History {
    uint32_t count;
    uint8_t nonces[kHistorySize][kHistoryBytes];
    uint8_t publics[kHistorySize][kHistoryBytes];
};

// The misc packet that is being answered with status 4, and how often so far.
constexpr uint32_t kPendingPacketMax = 64;
struct StatusFour {
    uint32_t length;  // 0: none pending
    uint32_t answered;
    uint8_t packet[kPendingPacketMax];
};

struct DeviceState {
    uint32_t initialized;
    uint32_t plainSequence;  // next sequence number expected without sessions
    History history;
    StatusFour statusFour;
    SimScenario scenario;
    Drbg drbg;
    Session session;
    BlowfishContext sessionCipher;
    BlowfishContext scratchCipher;
    FaultCounters faultCounters[SIM_MAX_FAULTS];
    SimSummary summary;
    SimExchange exchanges[SIM_MAX_EXCHANGES];
    SimSecrets secrets[SIM_MAX_SESSIONS];  // one per session made, oldest first
    uint8_t input[kScratchSize];
    uint8_t output[kScratchSize];
};

DeviceState g_device;  // zero-initialised; no constructor runs

void EndSession()
{
    Wipe(&g_device.session, sizeof g_device.session);
    Wipe(&g_device.sessionCipher, sizeof g_device.sessionCipher);
}

// A new session's record of its secrets, with the driver's fixed ones; null
// once the table is full.
SimSecrets* NewSecrets(uint32_t id)
{
    SimSummary& sum = g_device.summary;
    if (sum.sessionsRecorded >= SIM_MAX_SESSIONS) return nullptr;
    SimSecrets& secrets = g_device.secrets[sum.sessionsRecorded++];
    memset(&secrets, 0, sizeof secrets);
    secrets.valid = 1;
    secrets.sessionId = id;
    secrets.exchange = sum.exchangesSeen;  // this exchange's index: it is recorded after it is answered
    memcpy(secrets.handshakeKey, kHandshakeKeyBlock + kHandshakeKeyOffset, kHandshakeKeySize);
    WriteLe32(secrets.confirmation, kConfirmationLeft);
    WriteLe32(secrets.confirmation + 4, kConfirmationRight);
    return &secrets;
}

void ResetRun()
{
    EndSession();
    DrbgSeed(g_device.drbg, g_device.scenario.seed);
    memset(g_device.faultCounters, 0, sizeof g_device.faultCounters);
    memset(&g_device.summary, 0, sizeof g_device.summary);
    memset(g_device.exchanges, 0, sizeof g_device.exchanges);
    memset(g_device.secrets, 0, sizeof g_device.secrets);
    memset(&g_device.history, 0, sizeof g_device.history);
    memset(&g_device.statusFour, 0, sizeof g_device.statusFour);
    g_device.plainSequence = 0;
}

void EnsureInitialized()
{
    if (g_device.initialized) return;
    SimScenarioInitDefaults(&g_device.scenario);
    ResetRun();
    g_device.initialized = 1;
}

bool SessionsEnabled() { return (g_device.scenario.flags & SIM_FLAG_SESSIONS) != 0; }

// Picks the fault that applies to this exchange of `target`, if any. Every
// slot of the target counts the exchange, whether it fires or not.
const SimFault* TakeFault(uint32_t target)
{
    const SimFault* chosen = nullptr;
    for (uint32_t i = 0; i < SIM_MAX_FAULTS; ++i) {
        const SimFault& f = g_device.scenario.faults[i];
        if (f.target != target || f.kind == SIM_FAULT_NONE) continue;
        FaultCounters& c = g_device.faultCounters[i];
        uint32_t index = c.seen++;
        if (chosen == nullptr && index >= f.skip && (f.count == 0 || c.fired < f.count)) {
            ++c.fired;
            chosen = &f;
        }
    }
    return chosen;
}

bool Is(const SimFault* f, uint32_t kind) { return f != nullptr && f->kind == kind; }

// The result of one exchange before it is copied out.
struct Reply {
    uint32_t status;
    uint32_t length;     // returned count reported to the caller
    uint32_t rejection;
};

Reply Refuse(uint32_t status, uint32_t rejection) { return Reply{status, 0, rejection}; }

// Applies the faults that change how a complete answer of `nominal` bytes
// (already in the output scratch) is returned.
Reply Answer(uint32_t nominal, const SimFault* fault)
{
    Reply r{SIM_STATUS_OK, nominal, SIM_REJECT_NONE};
    if (Is(fault, SIM_FAULT_LENGTH)) {
        int64_t length = int64_t(nominal) + fault->param;
        r.length = length < 0 ? 0 : uint32_t(length);
        r.status = fault->status;
    } else if (Is(fault, SIM_FAULT_FAIL_WITH_DATA)) {
        r.status = fault->status == SIM_STATUS_OK ? SIM_STATUS_BUFFER_OVERFLOW : fault->status;
    }
    return r;
}

// Every message has one answer size, and the client offers exactly that
// much room: less cannot hold the answer, more is not what it was asked for.
bool CapacityRight(uint32_t outCap, uint32_t answer, Reply* refusal)
{
    if (outCap == answer) return true;
    *refusal = Refuse(outCap < answer ? SIM_STATUS_BUFFER_TOO_SMALL : SIM_STATUS_INVALID_PARAMETER,
                      SIM_REJECT_OUT_CAPACITY);
    return false;
}

bool Seen(const uint8_t (*list)[kHistoryBytes], uint32_t count, const uint8_t* value)
{
    for (uint32_t i = 0; i < count && i < kHistorySize; ++i)
        if (Equal(list[i], value, kHistoryBytes)) return true;
    return false;
}

// ---------------------------------------------------------------------------
// Handshake.

Reply Probe(uint32_t outCap)
{
    Reply refusal;
    if (!CapacityRight(outCap, 0, &refusal)) return refusal;
    // Without sessions this is the answer the client asks for, not a refusal.
    if (!SessionsEnabled()) return Reply{SIM_STATUS_NOT_SUPPORTED, 0, SIM_REJECT_NONE};
    return Reply{g_device.scenario.probeStatus, 0, SIM_REJECT_NONE};
}

Reply Phase1(const uint8_t* in, uint32_t inLen, uint8_t* out, uint32_t outCap, const SimFault* fault)
{
    if (inLen != kPhase1RequestSize) return Refuse(SIM_STATUS_INVALID_PARAMETER, SIM_REJECT_IN_LENGTH);
    Reply refusal;
    if (!CapacityRight(outCap, kPhase1AnswerSize, &refusal)) return refusal;
    if (!AllZero(in + kPhase1RequestZeroOffset, 4))
        return Refuse(SIM_STATUS_INVALID_PARAMETER, SIM_REJECT_NONCE_PADDING);
    // An established session is ended by its owner before a new handshake;
    // an unfinished one is simply replaced.
    if (g_device.session.state == SIM_SESSION_ESTABLISHED)
        return Refuse(SIM_STATUS_ACCESS_DENIED, SIM_REJECT_STATE);
    History& h = g_device.history;
    const uint8_t* clientNonce = in + kPhase1RequestNonceOffset;
    const uint8_t* clientLow = in + kPhase1RequestPublicOffset;
    if (Seen(h.nonces, h.count, clientNonce) || Seen(h.publics, h.count, clientLow))
        return Refuse(SIM_STATUS_INVALID_PARAMETER, SIM_REJECT_REPEATED);

    // A must lie in 2..P-2: anything else would give a predictable secret.
    uint32_t clientPublic[kBigNumberLimbs];
    BytesToLimbs(in + kPhase1RequestPublicOffset, kBigNumberLimbs, clientPublic);
    uint32_t two[kBigNumberLimbs] = {2};
    uint32_t pMinus1[kBigNumberLimbs];
    memcpy(pMinus1, kOakleyGroup2Prime, sizeof pMinus1);
    pMinus1[0] -= 1;  // the prime is odd: no borrow
    if (clientPublic[kBigNumberLimbs - 1] != 0 || Compare(clientPublic, two) < 0 ||
        Compare(clientPublic, pMinus1) >= 0)
        return Refuse(SIM_STATUS_INVALID_PARAMETER, SIM_REJECT_PUBLIC_VALUE);

    EndSession();
    memcpy(h.nonces[h.count % kHistorySize], clientNonce, kHistoryBytes);
    memcpy(h.publics[h.count % kHistorySize], clientLow, kHistoryBytes);
    ++h.count;
    Session& s = g_device.session;
    Drbg& d = g_device.drbg;
    for (uint32_t i = 0; i < kDriverExponentLimbs; ++i) s.exponent[i] = DrbgWord(d);
    s.exponent[kDriverExponentLimbs - 1] &= 0x7FFFFFFFu;  // limbs are signed at the top
    uint8_t nonce[kPhase1AnswerNonceSize];
    for (uint32_t i = 0; i < kPhase1AnswerNonceSize; i += 4) WriteLe32(nonce + i, DrbgWord(d));
    uint32_t id = DrbgWord(d);
    if (g_device.scenario.sessionId != 0) id = g_device.scenario.sessionId;
    if (id == 0) id = 1;

    uint32_t driverPublic[kBigNumberLimbs] = {0};
    uint32_t secret[kBigNumberLimbs] = {0};
    if (!pow2mod(driverPublic, kBigNumberLimbs, s.exponent, kDriverExponentLimbs, kOakleyGroup2Prime,
                 kBigNumberLimbs) ||
        !powmod(secret, kBigNumberLimbs, clientPublic, kBigNumberLimbs, s.exponent, kDriverExponentLimbs,
                kOakleyGroup2Prime, kBigNumberLimbs)) {
        EndSession();
        return Refuse(SIM_STATUS_UNSUCCESSFUL, SIM_REJECT_CRYPTO);
    }

    uint8_t bytesA[kBigNumberBytes], bytesB[kBigNumberBytes], bytesZ[kBigNumberBytes];
    memcpy(bytesA, in + kPhase1RequestPublicOffset, kBigNumberBytes);
    LimbsToBytes(driverPublic, kBigNumberLimbs, bytesB);
    LimbsToBytes(secret, kBigNumberLimbs, bytesZ);

    Sha1Context sha;
    uint8_t digest[20];
    Sha1Init(&sha);
    Sha1Update(&sha, bytesZ, kBigNumberBytes);
    Sha1Final(&sha);
    Sha1GetDigest(&sha, digest);
    memcpy(s.keyEncryptionKey, digest, kKeyEncryptionKeySize);

    uint8_t nonces[kAuthKeyMessageSize];
    memcpy(nonces, in + kNonceFieldOffset, kNonceFieldSize);
    memcpy(nonces + kNonceFieldSize, nonce, kNonceFieldSize);
    uint8_t authKey[kProofSize];
    HmacSha1(&sha, kHandshakeKeyBlock + kHandshakeKeyOffset, kHandshakeKeySize, nonces, sizeof nonces, authKey);

    uint8_t proofMessage[kProofMessageSize];
    memcpy(proofMessage, bytesA, kBigNumberBytes);
    memcpy(proofMessage + kBigNumberBytes, bytesB, kBigNumberBytes);
    HmacSha1(&sha, authKey, kProofSize, proofMessage, kProofMessageSize, s.expectedClientProof);
    memcpy(proofMessage, bytesB, kBigNumberBytes);
    memcpy(proofMessage + kBigNumberBytes, bytesA, kBigNumberBytes);
    HmacSha1(&sha, authKey, kProofSize, proofMessage, kProofMessageSize, s.driverProof);
    Wipe(bytesZ, sizeof bytesZ);
    Wipe(secret, sizeof secret);
    Wipe(authKey, sizeof authKey);

    s.id = id;
    s.state = SIM_SESSION_AWAIT_PHASE2;
    s.secrets = NewSecrets(id);
    if (s.secrets != nullptr) {
        LimbsToBytes(s.exponent, kDriverExponentLimbs, s.secrets->privateExponent);
        memcpy(s.secrets->driverNonce, nonce, sizeof nonce);
    }

    memset(out, 0, kPhase1AnswerSize + 64);
    WriteLe32(out + kPhase1AnswerSessionOffset, id);
    memcpy(out + kPhase1AnswerPublicOffset, bytesB, kBigNumberBytes);
    memcpy(out + kPhase1AnswerNonceOffset, nonce, sizeof nonce);
    return Answer(kPhase1AnswerSize, fault);
}

// Checks what phases 2 and 3 have in common: length, state, session id.
bool CheckLaterPhase(const uint8_t* in, uint32_t inLen, uint32_t size, uint32_t outCap, uint32_t answer,
                     uint32_t state, Reply* refusal)
{
    if (inLen != size) {
        *refusal = Refuse(SIM_STATUS_INVALID_PARAMETER, SIM_REJECT_IN_LENGTH);
    } else if (!CapacityRight(outCap, answer, refusal)) {
        // refusal filled in
    } else if (g_device.session.state != state) {
        *refusal = Refuse(SIM_STATUS_ACCESS_DENIED, SIM_REJECT_STATE);
    } else if (ReadLe32(in + 4) != g_device.session.id) {
        *refusal = Refuse(SIM_STATUS_ACCESS_DENIED, SIM_REJECT_SESSION_ID);
    } else {
        return true;
    }
    return false;
}

Reply Phase2(const uint8_t* in, uint32_t inLen, uint8_t* out, uint32_t outCap, const SimFault* fault)
{
    Reply refusal;
    if (!CheckLaterPhase(in, inLen, kPhase2RequestSize, outCap, kPhase2AnswerSize, SIM_SESSION_AWAIT_PHASE2,
                         &refusal))
        return refusal;
    if (!Equal(in + kPhase2RequestProofOffset, g_device.session.expectedClientProof, kProofSize)) {
        // A client that cannot prove the handshake key loses its session.
        EndSession();
        return Refuse(SIM_STATUS_ACCESS_DENIED, SIM_REJECT_PROOF);
    }
    memcpy(out, g_device.session.driverProof, kProofSize);
    memset(out + kProofSize, 0, 64);
    if (Is(fault, SIM_FAULT_CORRUPT_PROOF)) out[kProofSize - 1] ^= 0x01;
    g_device.session.state = SIM_SESSION_AWAIT_PHASE3;
    return Answer(kPhase2AnswerSize, fault);
}

Reply Phase3(const uint8_t* in, uint32_t inLen, uint8_t* out, uint32_t outCap, const SimFault* fault)
{
    Reply refusal;
    if (!CheckLaterPhase(in, inLen, kPhase3RequestSize, outCap, kPhase3AnswerSize, SIM_SESSION_AWAIT_PHASE3,
                         &refusal))
        return refusal;
    Session& s = g_device.session;
    BlowfishContext& kek = g_device.scratchCipher;
    uint32_t words[4];
    BytesToLimbs(in + kPhase3RequestKeyOffset, 4, words);
    bool ok = BlowfishInitialize(&kek, s.keyEncryptionKey, kKeyEncryptionKeySize) &&
              BlowfishDecipher(&kek, &words[0], &words[1]) && BlowfishDecipher(&kek, &words[2], &words[3]);
    Wipe(&kek, sizeof kek);
    uint8_t sessionKey[kSessionKeySize];
    LimbsToBytes(words, 4, sessionKey);
    Wipe(words, sizeof words);
    uint32_t left = kConfirmationLeft;
    uint32_t right = kConfirmationRight;
    if (Is(fault, SIM_FAULT_WRONG_CONFIRMATION)) right ^= 0x01000000u;  // last letter changed
    ok = ok && BlowfishInitialize(&g_device.sessionCipher, sessionKey, kSessionKeySize) &&
         BlowfishEncipher(&g_device.sessionCipher, &left, &right);
    if (!ok) {
        Wipe(sessionKey, sizeof sessionKey);
        EndSession();
        return Refuse(SIM_STATUS_UNSUCCESSFUL, SIM_REJECT_CRYPTO);
    }
    if (s.secrets != nullptr) {
        memcpy(s.secrets->sessionKey, sessionKey, kSessionKeySize);
        s.secrets->valid |= 2;
    }
    Wipe(sessionKey, sizeof sessionKey);
    Wipe(s.keyEncryptionKey, sizeof s.keyEncryptionKey);
    s.state = SIM_SESSION_ESTABLISHED;
    s.sequence = 0;
    memset(out, 0, kPhase3AnswerSize + 64);
    WriteLe32(out, left);
    WriteLe32(out + 4, right);
    return Answer(kPhase3AnswerSize, fault);
}

Reply EndSessionRequest(const uint8_t* in, uint32_t inLen, uint32_t outCap)
{
    if (!SessionsEnabled()) return Refuse(SIM_STATUS_NOT_SUPPORTED, SIM_REJECT_NO_SESSIONS);
    if (inLen != kEndSessionRequestSize) return Refuse(SIM_STATUS_INVALID_PARAMETER, SIM_REJECT_IN_LENGTH);
    Reply refusal;
    if (!CapacityRight(outCap, 0, &refusal)) return refusal;
    if (g_device.session.state == SIM_SESSION_NONE)
        return Refuse(SIM_STATUS_INVALID_PARAMETER, SIM_REJECT_STATE);
    if (ReadLe32(in) != g_device.session.id) return Refuse(SIM_STATUS_INVALID_PARAMETER, SIM_REJECT_SESSION_ID);
    EndSession();
    ++g_device.summary.sessionsEnded;
    return Reply{SIM_STATUS_OK, 0, SIM_REJECT_NONE};
}

// ---------------------------------------------------------------------------
// Capsules and misc functions.

bool CipherBlocks(uint8_t* first, uint32_t blocks, bool encipher)
{
    for (uint32_t i = 0; i < blocks; ++i) {
        uint8_t* p = first + kCapsuleBlockSize * i;
        uint32_t left = ReadLe32(p), right = ReadLe32(p + 4);
        bool ok = encipher ? BlowfishEncipher(&g_device.sessionCipher, &left, &right)
                           : BlowfishDecipher(&g_device.sessionCipher, &left, &right);
        if (!ok) return false;
        WriteLe32(p, left);
        WriteLe32(p + 4, right);
    }
    return true;
}

// Checks the two misc functions this driver knows in full: their lengths,
// the flat-pad item and its zero bytes, and a battery index that is a pack
// number read little-endian (a big-endian 1 reads as 256). Other functions
// are answered with the scenario's status for unknown functions.
uint32_t CheckPacket(const uint8_t* packet, uint32_t inLength, uint32_t outLength)
{
    const uint8_t function = packet[kPacketFunctionOffset];
    const uint8_t sub = packet[kPacketSubFunctionOffset];
    if (function == kFlatPadFunction && sub == kFlatPadSubFunction) {
        if (inLength != kFlatPadInputLength || outLength != kFlatPadOutputLength ||
            ReadLe16(packet + kFlatPadItemOffset) != kFlatPadSetupItem ||
            !AllZero(packet + kFlatPadItemOffset + 2, kFlatPadPacketSize - kFlatPadItemOffset - 2))
            return SIM_REJECT_PACKET;
    } else if (function == kBatteryFunction && sub == kBatterySubFunction) {
        if (inLength != kBatteryInputLength || outLength != kBatteryOutputLength) return SIM_REJECT_PACKET;
        if (ReadLe16(packet + kBatteryIndexOffset) > 0xFF) return SIM_REJECT_BATTERY_INDEX;
    }
    return SIM_REJECT_NONE;
}

// Whether this answer is one of the scenario's status-4 answers. A repeat
// of the packet being answered continues its run; any other packet starts a
// new call. After its status-4 answers a call gets the real one.
bool StatusFourDue(const uint8_t* packet, uint32_t inLength)
{
    StatusFour& p = g_device.statusFour;
    const uint32_t wanted = g_device.scenario.status4Count;
    if (wanted == 0) return false;
    const uint32_t length = inLength < kPendingPacketMax ? inLength : kPendingPacketMax;
    if (p.length != length || !Equal(p.packet, packet, length)) {
        p.length = length;
        p.answered = 0;
        memcpy(p.packet, packet, length);
    }
    if (p.answered < wanted) {
        ++p.answered;
        return true;
    }
    p.length = 0;
    return false;
}

// Answers one misc packet in place: `answer` holds the packet (zero-extended
// to outLength) and receives the reply.
void MiscFunction(uint8_t* answer, uint32_t inLength, uint32_t outLength, const SimFault* fault)
{
    const SimScenario& sc = g_device.scenario;
    if (Is(fault, SIM_FAULT_MISC_STATUS)) {
        answer[kPacketStatusOffset] = uint8_t(fault->param);
        return;
    }
    if (StatusFourDue(answer, inLength)) {
        answer[kPacketStatusOffset] = kMiscStatusRetry;
        return;
    }
    uint8_t function = answer[kPacketFunctionOffset];
    uint8_t sub = answer[kPacketSubFunctionOffset];
    if (function == kFlatPadFunction && sub == kFlatPadSubFunction && inLength == kFlatPadInputLength &&
        outLength == kFlatPadOutputLength && ReadLe16(answer + kFlatPadItemOffset) == kFlatPadSetupItem &&
        AllZero(answer + kFlatPadItemOffset + 2, kFlatPadPacketSize - kFlatPadItemOffset - 2)) {
        answer[kPacketStatusOffset] = sc.flatPadStatus;
        WriteLe16(answer + kFlatPadValue1Offset, sc.flatPadValues[0]);
        WriteLe16(answer + kFlatPadValue2Offset, sc.flatPadValues[1]);
        WriteLe16(answer + kFlatPadValue3Offset, sc.flatPadValues[2]);
        WriteLe16(answer + kFlatPadValue4Offset, sc.flatPadValues[3]);
        WriteLe16(answer + kFlatPadExtraLengthOffset, sc.flatPadExtraLength);
        return;
    }
    if (function == kBatteryFunction && sub == kBatterySubFunction && inLength == kBatteryInputLength &&
        outLength == kBatteryOutputLength) {
        uint16_t index = ReadLe16(answer + kBatteryIndexOffset);
        if (index < sc.batteryCount && index < SIM_MAX_BATTERIES) {
            answer[kPacketStatusOffset] = sc.batteries[index].status;
            WriteLe16(answer + kBatteryDateOffset, sc.batteries[index].date);
        } else {
            answer[kPacketStatusOffset] = sc.batteryAbsentStatus;
        }
        return;
    }
    answer[kPacketStatusOffset] = sc.unknownFunctionStatus;
}

Reply Capsule(uint8_t* in, uint32_t inLen, uint8_t* out, uint32_t outCap, const SimFault* fault)
{
    const bool sessions = SessionsEnabled();
    Session& s = g_device.session;
    if (inLen < kCapsuleOverhead) return Refuse(SIM_STATUS_INVALID_PARAMETER, SIM_REJECT_CAPSULE_SIZE);
    uint32_t n = ReadLe32(in + kCapsulePayloadLengthOffset);
    uint32_t size = ReadLe32(in + kCapsuleSizeOffset);
    if (n > kMaxMessage || size != CapsuleSizeFor(n) || size != inLen)
        return Refuse(SIM_STATUS_INVALID_PARAMETER, SIM_REJECT_CAPSULE_SIZE);
    uint32_t sessionField = ReadLe32(in + kCapsuleSessionOffset);
    if (sessions) {
        if (s.state != SIM_SESSION_ESTABLISHED) return Refuse(SIM_STATUS_ACCESS_DENIED, SIM_REJECT_STATE);
        if (sessionField != s.id) return Refuse(SIM_STATUS_ACCESS_DENIED, SIM_REJECT_SESSION_ID);
    } else if (sessionField != 0) {
        return Refuse(SIM_STATUS_INVALID_PARAMETER, SIM_REJECT_SESSION_ID);
    }
    if (!AllZero(in + size - kCapsuleTrailerSize, kCapsuleTrailerSize))
        return Refuse(SIM_STATUS_INVALID_PARAMETER, SIM_REJECT_CAPSULE_PADDING);
    uint32_t padded = size - kCapsuleOverhead;
    uint8_t* payload = in + kCapsulePayloadOffset;
    if (sessions && !CipherBlocks(payload, padded / kCapsuleBlockSize, false))
        return Refuse(SIM_STATUS_UNSUCCESSFUL, SIM_REJECT_CRYPTO);
    if (!AllZero(payload + n, padded - n))
        return Refuse(SIM_STATUS_INVALID_PARAMETER, SIM_REJECT_CAPSULE_PADDING);

    // The EncapsuledRequest.
    if (n < kRequestOverhead) return Refuse(SIM_STATUS_INVALID_PARAMETER, SIM_REJECT_REQUEST);
    uint32_t sequence = ReadLe32(payload + kRequestSequenceOffset);
    uint32_t inLength = ReadLe32(payload + kRequestInputLengthOffset);
    uint32_t outLength = ReadLe32(payload + kRequestOutputLengthOffset);
    if (ReadLe32(payload + kRequestSizeOffset) != n || inLength != n - kRequestOverhead ||
        ReadLe32(payload + kRequestCodeOffset) != IOCTL_MISC_FUNCTION ||
        !AllZero(payload + kRequestDataOffset + inLength, 4) || outLength > kMaxMessage - kCapsuleOverhead)
        return Refuse(SIM_STATUS_INVALID_PARAMETER, SIM_REJECT_REQUEST);
    // With sessions the count starts at the handshake, without them at the
    // open of the device; either way every request carries the next number.
    if (sequence != (sessions ? s.sequence : g_device.plainSequence))
        return Refuse(SIM_STATUS_ACCESS_DENIED, SIM_REJECT_SEQUENCE);

    // The MiscPacket inside it.
    const uint8_t* packet = payload + kRequestDataOffset;
    if (inLength < kPacketHeaderSize || outLength < kPacketHeaderSize ||
        ReadLe16(packet + kPacketInputLengthOffset) != inLength ||
        ReadLe16(packet + kPacketOutputLengthOffset) != outLength || ReadLe16(packet + kPacketReservedOffset) != 0)
        return Refuse(SIM_STATUS_INVALID_PARAMETER, SIM_REJECT_PACKET);
    const uint32_t packetFault = CheckPacket(packet, inLength, outLength);
    if (packetFault != SIM_REJECT_NONE) return Refuse(SIM_STATUS_INVALID_PARAMETER, packetFault);

    const uint32_t replySize = CapsuleSizeFor(outLength);
    Reply refusal;
    if (!CapacityRight(outCap, replySize, &refusal)) return refusal;

    // Accepted: the sequence number is used up from here on, whatever the
    // reply then looks like.
    if (sessions) ++s.sequence;
    else ++g_device.plainSequence;

    uint32_t extra = 0;
    if (Is(fault, SIM_FAULT_LONG_PAYLOAD) && fault->param > 0) extra = uint32_t(fault->param);
    if (extra > kMaxMessage - kCapsuleOverhead - outLength) extra = kMaxMessage - kCapsuleOverhead - outLength;
    const uint32_t replyPayload = outLength + extra;
    const uint32_t fullSize = CapsuleSizeFor(replyPayload);
    memset(out, 0, fullSize);
    uint8_t* answer = out + kCapsulePayloadOffset;
    memcpy(answer, packet, inLength < outLength ? inLength : outLength);
    MiscFunction(answer, inLength, outLength, fault);
    for (uint32_t i = 0; i < extra; ++i) answer[outLength + i] = uint8_t(0xE0 + i);
    WriteLe32(out + kCapsulePayloadLengthOffset, replyPayload);
    uint32_t sizeField = fullSize;
    switch (g_device.scenario.replySizeField) {
    case SIM_REPLYSIZE_ZERO: sizeField = 0; break;
    case SIM_REPLYSIZE_ODD: sizeField = fullSize + 4; break;
    case SIM_REPLYSIZE_LARGE: sizeField = outCap + kCapsuleBlockSize; break;
    default: break;
    }
    if (Is(fault, SIM_FAULT_SIZE_FIELD)) sizeField = uint32_t(fault->param);
    WriteLe32(out + kCapsuleSizeOffset, sizeField);
    WriteLe32(out + kCapsuleSessionOffset, sessions ? s.id : 0);
    if (sessions && !CipherBlocks(answer, (fullSize - kCapsuleOverhead) / kCapsuleBlockSize, true))
        return Refuse(SIM_STATUS_UNSUCCESSFUL, SIM_REJECT_CRYPTO);

    // The count reported: the whole capsule, or what a driver that counts only
    // what it answered reports (the header and the payload, padded or not).
    uint32_t reported = fullSize;
    if (g_device.scenario.replyReturned == SIM_RETURNED_PADDED) reported = fullSize - kCapsuleTrailerSize;
    else if (g_device.scenario.replyReturned == SIM_RETURNED_PAYLOAD) reported = kCapsuleHeaderSize + replyPayload;
    Reply r = Answer(reported, fault);
    if (r.length > outCap) r.length = outCap;  // a long payload is cut where the buffer ends
    if (Is(fault, SIM_FAULT_SHORT_REPLY)) {
        r.length = fault->param < 0 ? 0 : uint32_t(fault->param);
        if (r.length > fullSize) r.length = fullSize;
        r.status = fault->status;
    }
    return r;
}

Reply ModelRecord(uint32_t inLen, uint8_t* out, uint32_t outCap, const SimFault* fault)
{
    if (inLen != 0) return Refuse(SIM_STATUS_INVALID_PARAMETER, SIM_REJECT_IN_LENGTH);
    Reply refusal;
    if (!CapacityRight(outCap, kModelRecordSize, &refusal)) return refusal;
    memset(out, 0, kModelRecordSize + 64);
    memcpy(out, g_device.scenario.modelRecord, kModelRecordSize);
    return Answer(kModelRecordSize, fault);
}

Reply Dispatch(uint32_t code, uint8_t* in, uint32_t inLen, uint8_t* out, uint32_t outCap)
{
    uint32_t target = SIM_TARGET_NONE;
    if (code == IOCTL_MISC_HANDSHAKE) {
        if (inLen == 0) {
            target = SIM_TARGET_PROBE;
        } else if (!SessionsEnabled()) {
            return Refuse(SIM_STATUS_NOT_SUPPORTED, SIM_REJECT_NO_SESSIONS);
        } else if (inLen < kTagSize) {
            return Refuse(SIM_STATUS_INVALID_PARAMETER, SIM_REJECT_IN_LENGTH);
        } else {
            uint32_t tag = ReadLe32(in);
            if (tag == kTagIni1Word) target = SIM_TARGET_PHASE1;
            else if (tag == kTagIni2Word) target = SIM_TARGET_PHASE2;
            else if (tag == kTagIni3Word) target = SIM_TARGET_PHASE3;
            else return Refuse(SIM_STATUS_INVALID_PARAMETER, SIM_REJECT_TAG);
        }
    } else if (code == IOCTL_MISC_END_SESSION) {
        target = SIM_TARGET_END_SESSION;
    } else if (code == IOCTL_MISC_CAPSULE) {
        target = SIM_TARGET_CAPSULE;
    } else if (code == IOCTL_MISC_GET_MODEL_NUMBER) {
        target = SIM_TARGET_MODEL;
    } else {
        return Refuse(SIM_STATUS_INVALID_DEVICE_REQUEST, SIM_REJECT_UNKNOWN_CODE);
    }

    const SimFault* fault = TakeFault(target);
    if (Is(fault, SIM_FAULT_FAIL)) {
        uint32_t status = fault->status == SIM_STATUS_OK ? SIM_STATUS_UNSUCCESSFUL : fault->status;
        return Refuse(status, SIM_REJECT_INJECTED);
    }
    switch (target) {
    case SIM_TARGET_PROBE: return Probe(outCap);
    case SIM_TARGET_PHASE1: return Phase1(in, inLen, out, outCap, fault);
    case SIM_TARGET_PHASE2: return Phase2(in, inLen, out, outCap, fault);
    case SIM_TARGET_PHASE3: return Phase3(in, inLen, out, outCap, fault);
    case SIM_TARGET_END_SESSION: return EndSessionRequest(in, inLen, outCap);
    case SIM_TARGET_CAPSULE: return Capsule(in, inLen, out, outCap, fault);
    default: return ModelRecord(inLen, out, outCap, fault);
    }
}

void Record(uint32_t code, const uint8_t* in, uint32_t inLen, uint32_t outCap, const Reply& r,
            const uint8_t* out)
{
    SimSummary& sum = g_device.summary;
    if (SimIsViolation(r.rejection)) {
        if (sum.violations++ == 0) {
            sum.firstViolation = r.rejection;
            sum.firstViolationExchange = sum.exchangesSeen;
        }
    }
    ++sum.exchangesSeen;
    if (sum.exchangeCount >= SIM_MAX_EXCHANGES) return;
    SimExchange& e = g_device.exchanges[sum.exchangeCount++];
    memset(&e, 0, sizeof e);
    e.code = code;
    e.inLength = inLen;
    e.outCapacity = outCap;
    e.returned = r.length;
    e.status = r.status;
    e.win32Error = SimStatusToWin32Error(r.status);
    e.rejection = r.rejection;
    uint32_t inCopy = inLen < SIM_MAX_RECORDED_BYTES ? inLen : SIM_MAX_RECORDED_BYTES;
    if (in != nullptr) memcpy(e.in, in, inCopy);
    uint32_t outCopy = r.length < outCap ? r.length : outCap;
    if (outCopy > SIM_MAX_RECORDED_BYTES) outCopy = SIM_MAX_RECORDED_BYTES;
    e.outLength = outCopy;
    if (outCopy != 0) memcpy(e.out, out, outCopy);
}

}  // namespace

extern "C" uint32_t SimStatusToWin32Error(uint32_t status)
{
    static const uint32_t kErrors[SIM_STATUS_COUNT] = {0, 50, 87, 122, 5, 31, 1, 234};
    return status < SIM_STATUS_COUNT ? kErrors[status] : 31;
}

extern "C" uint32_t SimDeviceControl(uint32_t code, const void* in, uint32_t inLen, void* out, uint32_t outCap,
                                     uint32_t* returned)
{
    EnsureInitialized();
    if (returned != nullptr) *returned = 0;
    if (out == nullptr) outCap = 0;
    if (in == nullptr) inLen = 0;

    // Input and output may be one buffer: work on a copy of the input.
    Reply r;
    uint8_t* input = g_device.input;
    uint8_t* output = g_device.output;
    if (inLen > kMaxMessage) {
        r = Refuse(SIM_STATUS_INVALID_PARAMETER, SIM_REJECT_IN_LENGTH);
        Record(code, static_cast<const uint8_t*>(in), inLen, outCap, r, output);
    } else {
        if (inLen != 0) memcpy(input, in, inLen);
        memset(output, 0, kScratchSize);  // a long answer shows zeros, never an older one
        uint32_t cap = outCap < kMaxMessage ? outCap : kMaxMessage;
        r = Dispatch(code, input, inLen, output, cap);
        // Record the request as it arrived (capsules are deciphered in place).
        if (inLen != 0) memcpy(input, in, inLen);
        Record(code, input, inLen, outCap, r, output);
    }
    uint32_t deliver = r.length < outCap ? r.length : outCap;
    if (deliver > kMaxMessage) deliver = kMaxMessage;
    if (deliver != 0) memcpy(out, output, deliver);
    if (returned != nullptr) *returned = r.length;
    return r.status;
}

extern "C" uint32_t SimControlRequest(uint32_t code, const void* in, uint32_t inLen, void* out, uint32_t outCap,
                                      uint32_t* returned)
{
    EnsureInitialized();
    if (returned != nullptr) *returned = 0;
    if (out == nullptr) outCap = 0;
    if (in == nullptr) inLen = 0;
    switch (code) {
    case SIM_CTL_SET_SCENARIO: {
        SimScenario scenario;
        if (inLen != sizeof scenario) return SIM_STATUS_INVALID_PARAMETER;
        memcpy(&scenario, in, sizeof scenario);
        if (scenario.size != sizeof scenario || scenario.probeStatus >= SIM_STATUS_COUNT)
            return SIM_STATUS_INVALID_PARAMETER;
        for (uint32_t i = 0; i < SIM_MAX_FAULTS; ++i)
            if (scenario.faults[i].status >= SIM_STATUS_COUNT) return SIM_STATUS_INVALID_PARAMETER;
        g_device.scenario = scenario;
        ResetRun();
        return SIM_STATUS_OK;
    }
    case SIM_CTL_RESET:
        ResetRun();
        return SIM_STATUS_OK;
    case SIM_CTL_GET_SUMMARY: {
        if (outCap < sizeof(SimSummary)) return SIM_STATUS_BUFFER_TOO_SMALL;
        SimSummary sum = g_device.summary;
        sum.sessionState = g_device.session.state;
        sum.sessionId = g_device.session.id;
        sum.expectedSequence = g_device.session.sequence;
        memcpy(out, &sum, sizeof sum);
        if (returned != nullptr) *returned = sizeof sum;
        return SIM_STATUS_OK;
    }
    case SIM_CTL_GET_EXCHANGE: {
        if (inLen != 4) return SIM_STATUS_INVALID_PARAMETER;
        uint32_t index = ReadLe32(static_cast<const uint8_t*>(in));
        if (index >= g_device.summary.exchangeCount) return SIM_STATUS_INVALID_PARAMETER;
        if (outCap < sizeof(SimExchange)) return SIM_STATUS_BUFFER_TOO_SMALL;
        memcpy(out, &g_device.exchanges[index], sizeof(SimExchange));
        if (returned != nullptr) *returned = sizeof(SimExchange);
        return SIM_STATUS_OK;
    }
    case SIM_CTL_GET_SECRETS: {
        if (inLen != 4) return SIM_STATUS_INVALID_PARAMETER;
        uint32_t index = ReadLe32(static_cast<const uint8_t*>(in));
        if (index >= g_device.summary.sessionsRecorded) return SIM_STATUS_INVALID_PARAMETER;
        if (outCap < sizeof(SimSecrets)) return SIM_STATUS_BUFFER_TOO_SMALL;
        memcpy(out, &g_device.secrets[index], sizeof(SimSecrets));
        if (returned != nullptr) *returned = sizeof(SimSecrets);
        return SIM_STATUS_OK;
    }
    case SIM_CTL_GET_SCENARIO:
        if (outCap < sizeof(SimScenario)) return SIM_STATUS_BUFFER_TOO_SMALL;
        memcpy(out, &g_device.scenario, sizeof(SimScenario));
        if (returned != nullptr) *returned = sizeof(SimScenario);
        return SIM_STATUS_OK;
    default:
        return SIM_STATUS_INVALID_DEVICE_REQUEST;
    }
}

extern "C" uint32_t SimDeviceOpen(void)
{
    EnsureInitialized();
    if (g_device.scenario.flags & SIM_FLAG_REFUSE_OPEN) {
        ++g_device.summary.refusedOpens;
        return SIM_STATUS_ACCESS_DENIED;
    }
    ++g_device.summary.opens;
    g_device.plainSequence = 0;  // a new client counts its capsules from 0
    return SIM_STATUS_OK;
}

extern "C" void SimDeviceClose(void)
{
    EnsureInitialized();
    ++g_device.summary.closes;
}

extern "C" uint32_t SimDeviceInterfaceLinked(void)
{
    EnsureInitialized();
    return (g_device.scenario.flags & SIM_FLAG_REFUSE_OPEN) ? 0u : 1u;
}
