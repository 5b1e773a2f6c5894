// CMiscCommon's session handshake, in the phases the driver sees: the probe,
// the random source and our own values, phase 1 (public values and nonces),
// the proofs and phase 2, the key-encryption key and phase 3 (the session
// key), and the confirmation. Every phase that fails says so in its Failure;
// _Initialize then leaves by one way out that ends the session when phase 1
// gave one, restores the last error where the phase kept it, and wipes the
// secrets.
#include <string.h>

#include "crypto/bigint.h"
#include "crypto/blowfish.h"
#include "crypto/bytes.h"
#include "crypto/hdrand.h"
#include "crypto/sha1.h"
#include "driver_channel/misc_common.h"
#include "driver_channel/misc_common_internal.h"
#include "driver_channel/misc_protocol.h"

namespace MiscCommon {

namespace P = MiscProtocol;
using namespace Internal;

// The handshake's working storage. Word arrays keep the big numbers aligned;
// the messages are little-endian byte images of them. Everything here is
// wiped when the handshake ends, whichever way.
struct CMiscCommon::Handshake : Failure {
    uint32_t x[P::kPrivateExponentLimbs];
    uint32_t nonce[P::kPhase1RequestNonceSize / 4];
    uint32_t request1[P::kPhase1RequestSize / 4];
    uint32_t answer1[P::kPhase1AnswerSize / 4];
    BYTE request2[P::kPhase2RequestSize];
    BYTE answer2[P::kPhase2AnswerSize];
    uint32_t request3[P::kPhase3RequestSize / 4];
    uint32_t answer3[P::kPhase3AnswerSize / 4];
    BYTE keyBlock[P::kHandshakeKeyBlockSize];
    BYTE authKey[P::kProofSize];
    BYTE expectedProof[P::kProofSize];
    uint32_t secret[P::kBigNumberLimbs];
    BYTE kek[20];
    uint32_t sessionKey[P::kSessionKeySize / 4];
    Sha1Context sha;

    DWORD sessionId;           // S, once phase 1 gave it
    bool sessionOpen;          // the driver holds S: the way out ends it
    BlowfishContext* context;  // the cipher context, until it is handed to the object

    BYTE* Request1() { return reinterpret_cast<BYTE*>(request1); }
    BYTE* Answer1() { return reinterpret_cast<BYTE*>(answer1); }
};

#define MC_INIT_TEXT(s) L"MiscCommon::CMiscCommon::_Initialize: " s

// The empty probe: a driver without sessions fails it with ERROR_NOT_SUPPORTED.
// The last error is cleared first so that a stale value cannot pass for the
// driver's answer.
bool CMiscCommon::_ProbeSessions() {
    DWORD returned = 0;
    SetLastError(ERROR_SUCCESS);
    DeviceIoControl(_hDevice, IOCTL_MISC_HANDSHAKE, NULL, 0, NULL, 0, &returned, NULL);
    return GetLastError() != ERROR_NOT_SUPPORTED;
}

// The random source, x (three words and a zero limb), Nc, and A = 2^x mod P
// in the phase 1 request. Nothing here can fail: the source always seeds, and
// 2 to a positive four-limb power modulo the 33-limb prime always fits its 33
// limbs.
void CMiscCommon::_OwnValues(Handshake& h) {
    hdrand_init();
    for (int i = 0; i < 3; ++i) h.x[i] = hdrand();
    for (uint32_t& w : h.nonce) w = hdrand();
    pow2mod(h.request1 + P::kPhase1RequestPublicOffset / 4, P::kBigNumberLimbs, h.x, P::kPrivateExponentLimbs,
            kOakleyGroup2Prime, P::kBigNumberLimbs);
}

// Phase 1: "Ini1", A and Nc out; S, B and the driver's nonce field back, all
// 160 bytes. No session exists until this succeeds.
bool CMiscCommon::_Phase1(Handshake& h) {
    memcpy(h.Request1() + P::kPhase1RequestTagOffset, P::kTagIni1, P::kTagSize);
    memcpy(h.Request1() + P::kPhase1RequestNonceOffset, h.nonce, P::kPhase1RequestNonceSize);
    DWORD returned = 0;
    if (!DeviceIoControl(_hDevice, IOCTL_MISC_HANDSHAKE, h.Request1(), P::kPhase1RequestSize, h.Answer1(),
                         P::kPhase1AnswerSize, &returned, NULL) ||
        returned != P::kPhase1AnswerSize)
        return h.Fail(kResultFailed, MC_INIT_TEXT(L"DeviceIoControl failed."), true);
    h.sessionId = Bytes::ReadLe32(h.Answer1() + P::kPhase1AnswerSessionOffset);
    h.sessionOpen = true;
    return true;
}

// The authentication key from both nonce fields, both proofs, and phase 2:
// "Ini2", S and our proof out; the driver's proof back, which must be the
// one expected.
bool CMiscCommon::_Phase2(Handshake& h) {
    const BYTE* const publicA = h.Request1() + P::kPhase1RequestPublicOffset;
    const BYTE* const publicB = h.Answer1() + P::kPhase1AnswerPublicOffset;
    BYTE* work = static_cast<BYTE*>(HeapAllocZeroed(P::kProofMessageSize));
    if (!work) return h.Fail(kResultNoRoom, MC_INIT_TEXT(L"HeapAlloc (phase2) failed."), true);

    memcpy(h.keyBlock, P::kHandshakeKeyBlock, sizeof(h.keyBlock));
    memcpy(work, h.Request1() + P::kNonceFieldOffset, P::kNonceFieldSize);
    memcpy(work + P::kNonceFieldSize, h.Answer1() + P::kNonceFieldOffset, P::kNonceFieldSize);
    HmacSha1(&h.sha, h.keyBlock + P::kHandshakeKeyOffset, P::kHandshakeKeySize, work, P::kAuthKeyMessageSize,
             h.authKey);

    // The driver's proof is over B then A, ours over A then B.
    ZeroMemory(work, P::kProofMessageSize);
    memcpy(work, publicB, P::kBigNumberBytes);
    memcpy(work + P::kBigNumberBytes, publicA, P::kBigNumberBytes);
    HmacSha1(&h.sha, h.authKey, sizeof(h.authKey), work, P::kProofMessageSize, h.expectedProof);
    ZeroMemory(work, P::kProofMessageSize);
    memcpy(work, publicA, P::kBigNumberBytes);
    memcpy(work + P::kBigNumberBytes, publicB, P::kBigNumberBytes);
    HmacSha1(&h.sha, h.authKey, sizeof(h.authKey), work, P::kProofMessageSize,
             h.request2 + P::kPhase2RequestProofOffset);
    Bytes::Wipe(work, P::kProofMessageSize);
    HeapRelease(work);

    memcpy(h.request2 + P::kPhase2RequestTagOffset, P::kTagIni2, P::kTagSize);
    Bytes::WriteLe32(h.request2 + P::kPhase2RequestSessionOffset, h.sessionId);
    DWORD returned = 0;
    if (!DeviceIoControl(_hDevice, IOCTL_MISC_HANDSHAKE, h.request2, sizeof(h.request2), h.answer2,
                         sizeof(h.answer2), &returned, NULL) ||
        returned != P::kPhase2AnswerSize)
        return h.Fail(kResultFailed, MC_INIT_TEXT(L"DeviceIoControl (phase2) failed."), true);
    if (memcmp(h.answer2, h.expectedProof, P::kProofSize) != 0)
        return h.Fail(kResultNoGenuineDriver, MC_INIT_TEXT(L"Driver Authentication Failed."), false);
    return true;
}

// The key-encryption key (SHA-1 of Z = B^x mod P), the session key K sent
// enciphered under it, and phase 3: "Ini3", S and K out; the confirmation
// block enciphered under K back.
bool CMiscCommon::_Phase3(Handshake& h) {
    if (!powmod(h.secret, P::kBigNumberLimbs, h.answer1 + P::kPhase1AnswerPublicOffset / 4, P::kBigNumberLimbs,
                h.x, P::kPrivateExponentLimbs, kOakleyGroup2Prime, P::kBigNumberLimbs))
        return h.Fail(kResultNoGenuineDriver, MC_INIT_TEXT(L"Key Encryption Key calculation failed."), false);
    Sha1Init(&h.sha);
    Sha1Update(&h.sha, reinterpret_cast<const uint8_t*>(h.secret), P::kBigNumberBytes);
    Sha1Final(&h.sha);
    Sha1GetDigest(&h.sha, h.kek);

    // The cipher calls below cannot fail: context, key and blocks are all there.
    h.context = static_cast<BlowfishContext*>(HeapAllocZeroed(kBlowfishContextSize));
    if (!h.context) return h.Fail(kResultNoRoom, MC_INIT_TEXT(L"HeapAlloc (phase3) failed."), true);
    BlowfishInitialize(h.context, h.kek, P::kKeyEncryptionKeySize);

    for (uint32_t& w : h.sessionKey) w = hdrand();
    BYTE* const req3 = reinterpret_cast<BYTE*>(h.request3);
    memcpy(req3 + P::kPhase3RequestKeyOffset, h.sessionKey, P::kSessionKeySize);
    uint32_t* const keyWords = h.request3 + P::kPhase3RequestKeyOffset / 4;
    BlowfishEncipher(h.context, &keyWords[0], &keyWords[1]);
    BlowfishEncipher(h.context, &keyWords[2], &keyWords[3]);
    Bytes::Wipe(h.context, kBlowfishContextSize);  // the key-encryption key is done with

    memcpy(req3 + P::kPhase3RequestTagOffset, P::kTagIni3, P::kTagSize);
    Bytes::WriteLe32(req3 + P::kPhase3RequestSessionOffset, h.sessionId);
    DWORD returned = 0;
    if (!DeviceIoControl(_hDevice, IOCTL_MISC_HANDSHAKE, req3, P::kPhase3RequestSize, h.answer3,
                         P::kPhase3AnswerSize, &returned, NULL) ||
        returned != P::kPhase3AnswerSize)
        return h.Fail(kResultFailed, MC_INIT_TEXT(L"DeviceIoControl (phase3) failed."), true);
    return true;
}

// The session cipher keyed with K, which must turn the phase 3 answer into
// the confirmation block (the cipher calls themselves cannot fail).
bool CMiscCommon::_Confirm(Handshake& h) {
    BlowfishInitialize(h.context, reinterpret_cast<const uint8_t*>(h.sessionKey), P::kSessionKeySize);
    BlowfishDecipher(h.context, &h.answer3[0], &h.answer3[1]);
    if (h.answer3[0] != P::kConfirmationLeft || h.answer3[1] != P::kConfirmationRight)
        return h.Fail(kResultFailed, MC_INIT_TEXT(L"BlowfishDecipher failed."), false);
    return true;
}

DWORD CMiscCommon::_Initialize() {
    if (!IsDriverSupported()) return kResultUnsupportedDriver;

    // A session this object still holds is ended at the driver first: a new
    // handshake must not leave the old session open there, nor its context
    // here. The object is then Open again, sessions presumed until the probe
    // says otherwise.
    _DropSession();
    _bSessionRequired = TRUE;
    if (!_ProbeSessions()) {
        _bSessionRequired = FALSE;
        return kResultSuccess;
    }

    Handshake h;
    ZeroMemory(&h, sizeof(h));
    DWORD result = kResultSuccess;
    _OwnValues(h);
    if (_Phase1(h) && _Phase2(h) && _Phase3(h) && _Confirm(h)) {
        _dwSessionId = h.sessionId;
        _pBlowfishContext = h.context;
        _dwSequence = 0;
        h.context = NULL;
    } else {
        // The one way out of a failed handshake.
        _SetErrorText(h.text);
        if (h.sessionOpen) _EndSession(h.sessionId);
        if (h.context) {
            Bytes::Wipe(h.context, kBlowfishContextSize);
            HeapRelease(h.context);
        }
        result = h.result;
        if (h.keepError) SetLastError(h.error);
    }
    Bytes::Wipe(&h, sizeof(h));
    return result;
}

}  // namespace MiscCommon
