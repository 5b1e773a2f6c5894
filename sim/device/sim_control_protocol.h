/* Private control interface of the substitute system-interface driver.
 *
 * The substitute serves the real protocol on its device interface and, on a
 * separate control device (\\.\QmSimControl), a few private control codes with
 * which tests set the scenario it plays and read back what it saw. The private
 * codes use function numbers 0xB00-0xB0F, which the real protocol does not use,
 * and are never accepted on the interface device.
 *
 * Portable C/C++ (no OS headers). Every structure is built from fixed-width
 * fields at natural alignment, so a 32-bit test program and a 64-bit driver
 * agree on the layouts byte for byte.
 */
#ifndef QM_SIM_CONTROL_PROTOCOL_H
#define QM_SIM_CONTROL_PROTOCOL_H

#include <stdint.h>

/* Control device names (the kernel device and its DOS link, and the path a
 * program opens). */
#define SIM_CONTROL_DEVICE_NAME L"\\Device\\QmSimControl"
#define SIM_CONTROL_LINK_NAME L"\\DosDevices\\QmSimControl"
#define SIM_CONTROL_USER_PATH L"\\\\.\\QmSimControl"
/* The interface device and the instance names the installer registers. */
#define SIM_INTERFACE_DEVICE_NAME L"\\Device\\QmSimMisc"
#define SIM_INSTANCE_ID_FIRST L"ROOT\\QMSIM\\0000"
#define SIM_INSTANCE_ID_SECOND L"ROOT\\QMSIM\\0001"
/* Symbolic links matching the interface paths Wine reports for them. */
#define SIM_INTERFACE_LINK_FIRST L"\\??\\root#qmsim#0000#{80dcc0c5-bd3e-4bc0-8a06-11eae4ae7224}"
#define SIM_INTERFACE_LINK_SECOND L"\\??\\root#qmsim#0001#{80dcc0c5-bd3e-4bc0-8a06-11eae4ae7224}"

/* Private control codes: device type 0x22, METHOD_BUFFERED, FILE_ANY_ACCESS. */
#define SIM_CTL_CODE(fn) (0x00220000u | ((uint32_t)(fn) << 2))
/* in: SimScenario. Replaces the scenario, ends any session, clears the record. */
#define SIM_CTL_SET_SCENARIO SIM_CTL_CODE(0xB00)
/* no buffers. Ends any session, clears the record; the scenario stays. */
#define SIM_CTL_RESET SIM_CTL_CODE(0xB01)
/* out: SimSummary. */
#define SIM_CTL_GET_SUMMARY SIM_CTL_CODE(0xB02)
/* in: uint32_t index; out: SimExchange. */
#define SIM_CTL_GET_EXCHANGE SIM_CTL_CODE(0xB03)
/* out: SimScenario (the one in force). */
#define SIM_CTL_GET_SCENARIO SIM_CTL_CODE(0xB04)
/* in: uint32_t index; out: SimSecrets of the index-th session the driver made
 * since the record was cleared (oldest first, below SimSummary.sessionsRecorded). */
#define SIM_CTL_GET_SECRETS SIM_CTL_CODE(0xB05)

/* Completion statuses of the substitute. The kernel shim maps them to NTSTATUS;
 * the Win32 error a caller then sees is given beside each. */
#define SIM_STATUS_OK 0                     /* STATUS_SUCCESS               0   */
#define SIM_STATUS_NOT_SUPPORTED 1          /* STATUS_NOT_SUPPORTED         50  */
#define SIM_STATUS_INVALID_PARAMETER 2      /* STATUS_INVALID_PARAMETER     87  */
#define SIM_STATUS_BUFFER_TOO_SMALL 3       /* STATUS_BUFFER_TOO_SMALL      122 */
#define SIM_STATUS_ACCESS_DENIED 4          /* STATUS_ACCESS_DENIED         5   */
#define SIM_STATUS_UNSUCCESSFUL 5           /* STATUS_UNSUCCESSFUL          31  */
#define SIM_STATUS_INVALID_DEVICE_REQUEST 6 /* STATUS_INVALID_DEVICE_REQUEST 1  */
#define SIM_STATUS_BUFFER_OVERFLOW 7        /* STATUS_BUFFER_OVERFLOW (warning: data is delivered) 234 */
#define SIM_STATUS_COUNT 8

/* Scenario flags. */
#define SIM_FLAG_SESSIONS 0x1u  /* the driver requires sessions (else: probe answers NOT_SUPPORTED) */
/* Opening the interface device fails: IRP_MJ_CREATE completes with
 * ACCESS_DENIED, and the interface's symbolic links are taken away while the
 * flag is set (under Wine CreateFileW then fails with ERROR_FILE_NOT_FOUND). */
#define SIM_FLAG_REFUSE_OPEN 0x2u

/* Fault targets: which exchange a fault applies to. */
#define SIM_TARGET_NONE 0
#define SIM_TARGET_PROBE 1       /* empty IOCTL_MISC_HANDSHAKE */
#define SIM_TARGET_PHASE1 2
#define SIM_TARGET_PHASE2 3
#define SIM_TARGET_PHASE3 4
#define SIM_TARGET_END_SESSION 5
#define SIM_TARGET_CAPSULE 6
#define SIM_TARGET_MODEL 7

/* Fault kinds. "status" is the completion status the faulty answer carries. */
#define SIM_FAULT_NONE 0
/* Complete with `status` before looking at the request: nothing is returned,
 * no state changes (a capsule's sequence number is not consumed). */
#define SIM_FAULT_FAIL 1
/* Phases and model record: answer `param` bytes more (or, negative, fewer)
 * than the nominal length. Bytes beyond the offered output are not written,
 * but the returned count still says nominal + param. */
#define SIM_FAULT_LENGTH 2
/* Phase 2: the driver proof with its last byte XORed with 0x01. */
#define SIM_FAULT_CORRUPT_PROOF 3
/* Phase 3: a block other than the confirmation block (last letter changed),
 * enciphered under the session key. */
#define SIM_FAULT_WRONG_CONFIRMATION 4
/* Capsule: the request is processed, but only `param` bytes (0..11) of the
 * reply are returned. */
#define SIM_FAULT_SHORT_REPLY 5
/* Capsule: the reply's payload-length field says output length + `param`; the
 * payload carries the answer followed by `param` filler bytes, as far as the
 * offered output holds them; the size field matches the payload length. */
#define SIM_FAULT_LONG_PAYLOAD 6
/* Capsule: the reply's size field is `param` instead of the true size; the
 * payload is enciphered as usual and the true size is returned. */
#define SIM_FAULT_SIZE_FIELD 7
/* Capsule (or a phase, or the model record): the full, correct answer is
 * returned but the call completes with `status` (default BUFFER_OVERFLOW, a
 * warning status under which the data reaches the caller). */
#define SIM_FAULT_FAIL_WITH_DATA 8
/* Capsule: the misc packet's answer carries status byte `param` (e.g. 4);
 * the rest of the packet is echoed as it came. */
#define SIM_FAULT_MISC_STATUS 9

#define SIM_MAX_FAULTS 8
#define SIM_MAX_BATTERIES 4
#define SIM_MAX_EXCHANGES 128
#define SIM_MAX_SESSIONS 32
#define SIM_MAX_RECORDED_BYTES 256

typedef struct SimFault {
    uint32_t target;  /* SIM_TARGET_* (0: slot unused) */
    uint32_t kind;    /* SIM_FAULT_* */
    int32_t param;
    uint32_t status;  /* SIM_STATUS_* the faulty answer completes with */
    uint32_t skip;    /* exchanges of this target that pass untouched first */
    uint32_t count;   /* how often it fires after that; 0 = every time */
} SimFault;

typedef struct SimBattery {
    uint8_t status;   /* misc status answered for this index */
    uint8_t reserved;
    uint16_t date;    /* MS-DOS date */
} SimBattery;

typedef struct SimScenario {
    uint32_t size;           /* sizeof(SimScenario); checked */
    uint32_t flags;          /* SIM_FLAG_* */
    uint32_t seed;           /* seeds the driver's random source (exponent, nonce, session id) */
    uint32_t sessionId;      /* fixed session id; 0 = drawn from the random source */
    uint32_t probeStatus;    /* with sessions: what the empty probe completes with */
    uint8_t modelRecord[128];
    /* Flat-pad setup item 0x8002 (function 0x11/1). */
    uint8_t flatPadStatus;
    uint8_t reserved1;
    uint16_t flatPadValues[4];
    uint16_t flatPadExtraLength;
    /* Battery packs (function 0x42/2): index < batteryCount answers
     * batteries[index]; others answer batteryAbsentStatus. */
    uint32_t batteryCount;
    SimBattery batteries[SIM_MAX_BATTERIES];
    uint8_t batteryAbsentStatus;
    uint8_t unknownFunctionStatus; /* status for functions the driver does not know */
    uint16_t reserved2;
    /* The shape of every capsule reply, within what the protocol allows. */
    uint8_t replyReturned;   /* SIM_RETURNED_*: the byte count reported (and handed back) */
    uint8_t replySizeField;  /* SIM_REPLYSIZE_*: the reply's capsule-size field */
    uint8_t status4Count;    /* answers with status 4 before the real one, per misc call (0-2) */
    uint8_t strict;          /* 1: a recorded violation fails the test or scenario (they are
                                refused and recorded either way); 0: it does not */
    SimFault faults[SIM_MAX_FAULTS];
    /* Text the installer wrote as "DriverVersion"; informational only (the
     * driver itself never reads it). NUL-padded ASCII. */
    char driverVersion[32];
} SimScenario;

/* The driver's secrets of one session: recorded by the phase 1 that made it,
 * completed by its phase 3. */
typedef struct SimSecrets {
    uint32_t valid;               /* bit 0: phase 1 done; bit 1: phase 3 done (session key known) */
    uint32_t sessionId;
    uint32_t exchange;            /* the phase 1's index among the exchanges seen */
    uint8_t privateExponent[16];  /* 4 limbs, little-endian */
    uint8_t driverNonce[24];      /* answer bytes 136..159 */
    uint8_t handshakeKey[16];
    uint8_t confirmation[8];      /* the plain confirmation block */
    uint8_t sessionKey[16];       /* as deciphered from phase 3 */
} SimSecrets;

/* SimScenario.replyReturned: what a capsule reply reports as returned. */
#define SIM_RETURNED_CAPSULE 0  /* the whole reply capsule */
#define SIM_RETURNED_PADDED 1   /* the header and the padded payload, no trailer */
#define SIM_RETURNED_PAYLOAD 2  /* the header and the n payload bytes */
/* SimScenario.replySizeField: the size field of every reply capsule. */
#define SIM_REPLYSIZE_RIGHT 0   /* 16 + n rounded up to 8 */
#define SIM_REPLYSIZE_ZERO 1    /* 0 */
#define SIM_REPLYSIZE_ODD 2     /* the right size + 4: 16 + a multiple of 8 + 4 */
#define SIM_REPLYSIZE_LARGE 3   /* the offered reply buffer + 8 */

/* Session states. */
#define SIM_SESSION_NONE 0
#define SIM_SESSION_AWAIT_PHASE2 1
#define SIM_SESSION_AWAIT_PHASE3 2
#define SIM_SESSION_ESTABLISHED 3

typedef struct SimSummary {
    uint32_t exchangeCount;   /* exchanges recorded (at most SIM_MAX_EXCHANGES) */
    uint32_t exchangesSeen;   /* exchanges seen, recorded or not */
    uint32_t sessionState;    /* SIM_SESSION_* */
    uint32_t sessionId;
    uint32_t expectedSequence;
    uint32_t sessionsEnded;   /* successful IOCTL_MISC_END_SESSION calls */
    uint32_t opens;           /* successful opens of the interface device */
    uint32_t closes;
    uint32_t refusedOpens;
    uint32_t violations;      /* requests refused for a fault of the client (see SimIsViolation) */
    uint32_t sessionsRecorded; /* sessions whose secrets are recorded (at most SIM_MAX_SESSIONS) */
    uint32_t firstViolation;  /* SIM_REJECT_* of the first violation (0: none) */
    uint32_t firstViolationExchange; /* its index among the exchanges seen */
} SimSummary;

typedef struct SimExchange {
    uint32_t code;
    uint32_t inLength;        /* as sent (bytes recorded: min(inLength, 256)) */
    uint32_t outCapacity;     /* output buffer offered */
    uint32_t returned;        /* bytes-returned count the driver reported */
    uint32_t status;          /* SIM_STATUS_* */
    uint32_t win32Error;      /* what the caller's GetLastError should be; 0 on success */
    uint32_t outLength;       /* output bytes recorded: min(returned, outCapacity, 256) */
    uint32_t rejection;       /* SIM_REJECT_*: why a request was refused (0: not refused) */
    uint8_t in[SIM_MAX_RECORDED_BYTES];
    uint8_t out[SIM_MAX_RECORDED_BYTES];
} SimExchange;

/* Why the substitute refused a request (recorded, for tests). */
#define SIM_REJECT_NONE 0
#define SIM_REJECT_NO_SESSIONS 1     /* handshake or end-session on a driver without sessions */
#define SIM_REJECT_IN_LENGTH 2       /* input length wrong for the message */
#define SIM_REJECT_OUT_CAPACITY 3    /* output buffer too small for the answer */
#define SIM_REJECT_TAG 4
#define SIM_REJECT_STATE 5           /* phase out of order, or no session */
#define SIM_REJECT_SESSION_ID 6
#define SIM_REJECT_PUBLIC_VALUE 7    /* A not in 2..P-2, or a nonzero top limb */
#define SIM_REJECT_NONCE_PADDING 8   /* phase 1 bytes 156..159 not zero */
#define SIM_REJECT_PROOF 9           /* client proof wrong */
#define SIM_REJECT_CAPSULE_SIZE 10   /* size field vs payload length vs input length */
#define SIM_REJECT_CAPSULE_PADDING 11 /* padding or trailer bytes not zero */
#define SIM_REJECT_SEQUENCE 12
#define SIM_REJECT_REQUEST 13        /* EncapsuledRequest header inconsistent */
#define SIM_REJECT_PACKET 14         /* MiscPacket header inconsistent with the request */
#define SIM_REJECT_UNKNOWN_CODE 15
#define SIM_REJECT_CRYPTO 16         /* a crypto primitive failed */
#define SIM_REJECT_INJECTED 17       /* a SIM_FAULT_FAIL fault */
#define SIM_REJECT_REPEATED 18       /* phase 1: a client nonce or public value seen before */
#define SIM_REJECT_BATTERY_INDEX 19  /* battery index beyond 255: not a little-endian pack number */
#define SIM_REJECT_COUNT 20

/* Whether a refusal is a fault of the client: everything but an injected
 * failure, a failed primitive of the driver itself, and nothing refused. */
static inline int SimIsViolation(uint32_t rejection)
{
    return rejection != SIM_REJECT_NONE && rejection != SIM_REJECT_INJECTED && rejection != SIM_REJECT_CRYPTO;
}

/* A working default: sessions, seed 1, probe INVALID_PARAMETER, model
 * "VKRB2379JPN0" (short form only), flat pad status 0 with values 0, one
 * battery pack (status 0, date 2017-03-15), absent packs status 1, unknown
 * functions status 2, whole reply capsules with the right size field, no
 * status 4, strict, driver version "1.0.8.0". */
static inline void SimScenarioInitDefaults(SimScenario* s)
{
    static const char kModel[12] = {'V', 'K', 'R', 'B', '2', '3', '7', '9', 'J', 'P', 'N', '0'};
    static const char kVersion[] = "1.0.8.0";
    uint8_t* bytes = (uint8_t*)s;
    uint32_t i;
    for (i = 0; i < sizeof(SimScenario); ++i) bytes[i] = 0;
    s->size = sizeof(SimScenario);
    s->flags = SIM_FLAG_SESSIONS;
    s->seed = 1;
    s->probeStatus = SIM_STATUS_INVALID_PARAMETER;
    /* Filler in the bytes no caller reads, so nothing depends on zeros there. */
    for (i = 0; i < 128; ++i) s->modelRecord[i] = (uint8_t)(0xA5u ^ (i * 7u));
    for (i = 0; i < 12; ++i) s->modelRecord[40 + i] = (uint8_t)kModel[i];
    s->modelRecord[95] = 0;
    s->batteryCount = 1;
    s->batteries[0].status = 0;
    s->batteries[0].date = 0x4A6F;
    s->batteryAbsentStatus = 1;
    s->unknownFunctionStatus = 2;
    s->strict = 1;
    for (i = 0; kVersion[i] != 0; ++i) s->driverVersion[i] = kVersion[i];
}

#endif /* QM_SIM_CONTROL_PROTOCOL_H */
