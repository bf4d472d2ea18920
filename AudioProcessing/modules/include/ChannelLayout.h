// Channel layouts named by their speaker masks, shared by the format
// converter and the channel mix.
#pragma once

#include <wdm.h>

constexpr ULONG kSpeakerMaskMono = 0x4;
constexpr ULONG kSpeakerMaskStereo = 0x3;
constexpr ULONG kSpeakerMaskQuad = 0x33;
constexpr ULONG kSpeakerMaskSurround = 0x107;  // front left, right, centre; back centre
constexpr ULONG kSpeakerMask5Point1 = 0x3F;

// Most channels of a frame either module handles, and the largest frame
// (6 channels of 32 bits) in bytes.
constexpr ULONG kMaxFrameChannels = 6;
constexpr ULONG kMaxFrameBytes = 24;
