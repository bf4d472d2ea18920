// Stand-ins for the bridge's modules in the graph tests: a sink that keeps
// what the speaker graph sends and a source that hands out a known 8 kHz
// signal.  Built without type information, as the modules they derive from.
#pragma once

#include <vector>

#include "CKAUDPASrc.h"
#include "CKAUDPBRes.h"

struct GraphRecord {
    std::vector<ULONG> sizes;  // per piece the sink received
    std::vector<UCHAR> sent;   // what the sink received
    ULONG next = 0;            // samples the source handed out
};

CKAUDPASnk* NewRecordingSink(GraphRecord* record);
CKAUDPASrc* NewCountingSource(GraphRecord* record);
// A resampler whose call number `failing` (from 0) fails without output.
CKAUDPBRes* NewResamplerFailingOnce(ULONG failing);
// Sample n of the source's signal.
SHORT CountingSample(ULONG n);
