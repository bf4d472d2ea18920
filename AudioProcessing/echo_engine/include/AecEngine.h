// Echo canceller engine: a fixed-point, time-domain acoustic echo canceller
// for 16-bit mono speech at 8000 Hz or 16000 Hz in frames of 10 ms.
//
// The engine is pure computation: it takes memory only through the driver
// allocator (MemAlloc/MemFree) and calls nothing else outside itself.  It is
// not re-entrant; its one client (the echo-canceller module) serialises every
// call and brackets each one with a save and restore of the floating-point
// state, because the near-end delay alignment computes in floating point.
#pragma once

#include <stdint.h>

// The engine's own status words.  They never cross the module boundary as
// they are: AecSubmit maps them onto the module's small status codes and the
// property calls report them as 0 or 1.
typedef uint16_t AecStatus;
enum : AecStatus {
    AEC_STATUS_SUCCESS = 0,
    AEC_STATUS_NOT_INITIALISED = 11001,   // a magic word is not AEC_MAGIC
    AEC_STATUS_BAD_SAMPLE_RATE = 11003,   // rate not 8000 or 16000 (8000 used)
    AEC_STATUS_CANCELLER_SETUP = 11004,   // the canceller set-up failed
    AEC_STATUS_BAD_FRAME_LENGTH = 11005,  // frame not 80 or 160 samples
    AEC_STATUS_DELAY_TOO_SHORT = 11006,   // near-end delay below range (0 used)
    AEC_STATUS_DELAY_TOO_LONG = 11007,    // near-end delay above range (clamped)
    AEC_STATUS_BAD_MODE = 11010,          // mode not 0 or 1 (0 used)
    AEC_STATUS_BAD_TAIL_LENGTH = 11012,   // tail not 32 or 64 ms (32 used)
    AEC_STATUS_CORRECTED = 11013,         // a configuration field was corrected
    AEC_STATUS_FRAME_REFUSED = 0xFFFF,    // the frame driver refused its input
};

// Magic word of a configured engine and of its canceller.
enum : uint16_t { AEC_MAGIC = 12345 };

// Version word reported by property id 1.
enum : uint32_t { AEC_VERSION = 0x1040002 };

// The engine's configuration as the property calls see it.
struct AecConfig {
    uint16_t sampleRate;    // Hz: 8000 or 16000
    uint16_t tailLength;    // echo tail covered by the adaptive filter, ms: 32 or 64
    uint16_t stateMachine;  // 1: long hold before the echo control leaves its first state, 0: short
    uint16_t comfortNoise;  // 0 off; 1, 2, 3 on at level 0, 1, 2
    uint16_t autoOff;       // 1: the automatic bypass may switch the canceller off
    uint16_t active;        // read back only: 1 processing, 0 switched off by auto-off
};

// Property ids of AecGetProperty(Dword) / AecSetProperty(Dword).
enum : uint32_t {
    AEC_PROP_PRESENT = 0,          // read-only, always 1
    AEC_PROP_VERSION = 1,          // read-only, AEC_VERSION
    AEC_PROP_AUTO_OFF = 2,         // 0 or 1
    AEC_PROP_STATE_MACHINE = 3,    // 0 (short hold) or 10 (long hold)
    AEC_PROP_TAIL_LENGTH = 4,      // ms, 32 or 64
    AEC_PROP_COMFORT_NOISE = 5,    // 0 off, 1-3 on at level 0-2
    AEC_PROP_REAPPLY = 6,          // set: re-initialise with the whole configuration
    AEC_PROP_BITS_PER_SAMPLE = 7,  // read-only, 16
    AEC_PROP_SAMPLE_RATE = 8,      // Hz, 8000 or 16000; a change re-initialises
};

// Pins of AecSubmit.
enum : uint32_t { AEC_PIN_FAR_END = 0, AEC_PIN_NEAR_END = 1 };

// Module status codes that AecSubmit returns (the module's ZvStatus values).
enum : uint32_t {
    AEC_ZV_SUCCESS = 0,
    AEC_ZV_FAILED = 1,
    AEC_ZV_NOT_READY = 3,
    AEC_ZV_DELAY_TOO_SHORT = 9,
    AEC_ZV_DELAY_TOO_LONG = 10,
};

// Near-end delay range accepted without clamping, ms.
enum : int16_t { AEC_DELAY_MAX_MS = 500, AEC_DELAY_LIMIT_MS = 800, AEC_DELAY_FALLBACK_MS = 150 };

struct AecState;

// Allocates and configures an engine with {8000 Hz, 64 ms, long hold, comfort
// noise at level 2 (field 3), auto-off 0} and the near-end high-pass on.
// Returns 0 on success with *out set; 1 on failure, with *out set to null
// when memory ran out (nothing is left allocated) and to the engine when only
// the configuration failed (the caller then destroys it).
uint32_t AecCreate(AecState** out);

// Frees the engine and its buffers; null is accepted.  Returns 0.
uint32_t AecDestroy(AecState* state);

// Reads one property (ids above); always 0.  Ids 6 and above 8 write nothing.
uint32_t AecGetPropertyDword(AecState* state, uint32_t id, uint32_t* value);

// As AecGetPropertyDword; *size becomes 4 where a value is defined, else 0.
uint32_t AecGetProperty(AecState* state, uint32_t id, uint32_t* value, uint32_t* size);

// Sets one property.  Returns 0, or 1 when the value was refused or corrected
// (the setting is then left as it was or replaced by a valid one).
uint32_t AecSetPropertyDword(AecState* state, uint32_t id, uint16_t value);

// As AecSetPropertyDword with the value read as one 16-bit word from `value`
// (at least 2 bytes).  Ids below 2 or above 8 return 0.
uint32_t AecSetProperty(AecState* state, uint32_t id, const int16_t* value, uint32_t size);

// Hands one 10 ms frame to the engine.  Pin 0: far-end (loudspeaker) samples;
// `out` and `delay` are not used and may be null.  Pin 1: near-end
// (microphone) samples, written echo-cancelled to `out` (which may be `in`),
// with the near-end delay in ms in *delay (the low 16 bits of the module's
// side value; clamped to 0-500, 150 above 800).  The frame is inBytes / 2
// samples, inBytes read as a signed 16-bit count: 80 or 160 (either at either
// rate); `out` must hold as many (outBytes is checked).  Returns a module
// status: 0; 1 refused (bad pin, frame length or buffers; nothing written);
// 3 not initialised; 9 or 10 delay clamped (the frame is still processed).
// Feed the far-end frame of each 10 ms before its near-end frame.
uint32_t AecSubmit(AecState* state, uint32_t pin, const int16_t* in, uint32_t inBytes, int16_t* out,
                   uint32_t outBytes, const int16_t* delay);
