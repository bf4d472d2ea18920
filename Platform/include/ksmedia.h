// Kernel streaming for audio: ranges and formats of PCM wave audio, the audio
// property set, positions and the categories and node types audio filters use.
#pragma once

#include "ks.h"
#include "mmreg.h"

typedef struct {
    KSDATARANGE DataRange;
    ULONG MaximumChannels;  // 0xFFFFFFFF: any number of channels
    ULONG MinimumBitsPerSample;
    ULONG MaximumBitsPerSample;
    ULONG MinimumSampleFrequency;
    ULONG MaximumSampleFrequency;
    ULONG Padding;  // ranges are 8-byte multiples
} KSDATARANGE_AUDIO, *PKSDATARANGE_AUDIO;
static_assert(sizeof(KSDATARANGE_AUDIO) == 88);
static_assert(offsetof(KSDATARANGE_AUDIO, MaximumChannels) == 64 &&
              offsetof(KSDATARANGE_AUDIO, MaximumSampleFrequency) == 80);

#pragma pack(push, 1)
typedef struct {
    KSDATAFORMAT DataFormat;
    WAVEFORMATEX WaveFormatEx;
} KSDATAFORMAT_WAVEFORMATEX, *PKSDATAFORMAT_WAVEFORMATEX;

typedef struct {
    KSDATAFORMAT DataFormat;
    WAVEFORMATEXTENSIBLE WaveFormatExt;
} KSDATAFORMAT_WAVEFORMATEXTENSIBLE, *PKSDATAFORMAT_WAVEFORMATEXTENSIBLE;
#pragma pack(pop)
static_assert(sizeof(KSDATAFORMAT_WAVEFORMATEX) == 82);
static_assert(sizeof(KSDATAFORMAT_WAVEFORMATEXTENSIBLE) == 104);

typedef struct {
    ULONGLONG PlayOffset;
    ULONGLONG WriteOffset;
} KSAUDIO_POSITION, *PKSAUDIO_POSITION;
static_assert(sizeof(KSAUDIO_POSITION) == 16);

#define KSPROPERTY_AUDIO_LATENCY 1
#define KSPROPERTY_AUDIO_CHANNEL_CONFIG 3
#define KSPROPERTY_AUDIO_VOLUMELEVEL 4
#define KSPROPERTY_AUDIO_POSITION 5

DEFINE_GUID(KSPROPSETID_Audio, 0x45FFAAA0, 0x6E1B, 0x11D0, 0xBC, 0xF2, 0x44, 0x45, 0x53, 0x54, 0x00,
            0x00);

DEFINE_GUID(KSCATEGORY_AUDIO, 0x6994AD04, 0x93EF, 0x11D0, 0xA3, 0xCC, 0x00, 0xA0, 0xC9, 0x22, 0x31,
            0x96);
DEFINE_GUID(KSCATEGORY_CAPTURE, 0x65E8773D, 0x8F56, 0x11D0, 0xA3, 0xB9, 0x00, 0xA0, 0xC9, 0x22,
            0x31, 0x96);
DEFINE_GUID(KSCATEGORY_RENDER, 0x65E8773E, 0x8F56, 0x11D0, 0xA3, 0xB9, 0x00, 0xA0, 0xC9, 0x22, 0x31,
            0x96);
DEFINE_GUID(KSCATEGORY_TOPOLOGY, 0xDDA54A40, 0x1E4C, 0x11D1, 0xA0, 0x50, 0x40, 0x57, 0x05, 0xC1,
            0x00, 0x00);

DEFINE_GUID(KSDATAFORMAT_TYPE_AUDIO, 0x73647561, 0x0000, 0x0010, 0x80, 0x00, 0x00, 0xAA, 0x00, 0x38,
            0x9B, 0x71);
DEFINE_GUID(KSDATAFORMAT_TYPE_MUSIC, 0xE725D360, 0x62CC, 0x11CF, 0xA5, 0xD6, 0x28, 0xDB, 0x04, 0xC1,
            0x00, 0x00);
DEFINE_GUID(KSDATAFORMAT_SUBTYPE_PCM, 0x00000001, 0x0000, 0x0010, 0x80, 0x00, 0x00, 0xAA, 0x00,
            0x38, 0x9B, 0x71);
DEFINE_GUID(KSDATAFORMAT_SUBTYPE_MIDI, 0x1D262760, 0xE957, 0x11CF, 0xA5, 0xD6, 0x28, 0xDB, 0x04,
            0xC1, 0x00, 0x00);
DEFINE_GUID(KSDATAFORMAT_SUBTYPE_ANALOG, 0x6DBA3190, 0x67BD, 0x11CF, 0xA0, 0xF7, 0x00, 0x20, 0xAF,
            0xD1, 0x56, 0xE4);
DEFINE_GUID(KSDATAFORMAT_SPECIFIER_WAVEFORMATEX, 0x05589F81, 0xC356, 0x11CE, 0xBF, 0x01, 0x00, 0xAA,
            0x00, 0x55, 0x59, 0x5A);
DEFINE_GUID(KSDATAFORMAT_SPECIFIER_DSOUND, 0x518590A2, 0xA184, 0x11D0, 0x85, 0x22, 0x00, 0xC0, 0x4F,
            0xD9, 0xBA, 0xF3);

DEFINE_GUID(KSNODETYPE_VOLUME, 0x3A5ACC00, 0xC557, 0x11D0, 0x8A, 0x2B, 0x00, 0xA0, 0xC9, 0x25, 0x5A,
            0xC1);
DEFINE_GUID(KSNODETYPE_SPEAKER, 0xDFF21CE1, 0xF70F, 0x11D0, 0xB9, 0x17, 0x00, 0xA0, 0xC9, 0x22,
            0x31, 0x96);
DEFINE_GUID(KSNODETYPE_MICROPHONE, 0xDFF21BE1, 0xF70F, 0x11D0, 0xB9, 0x17, 0x00, 0xA0, 0xC9, 0x22,
            0x31, 0x96);
