// The calls the processing modules make into the echo canceller engine and
// the primitives' dispatch stubs, each behind an extern "C" entry point of the
// modules' own.  Every module calls these, never the engine or a stub
// directly: the entry points are the modules' link seam, where a test program
// can put a recorder in front of the real call by a stable, unmangled name
// (the linker's --wrap=ZvModAecCreate and so on).  Each forwards its arguments
// and result unchanged; the callers' rules (floating-point state saved, IRQL)
// are those of the function it forwards to.
#pragma once

#include <stdint.h>

#include <AecEngine.h>
#include <sp_dispatch.h>

extern "C" {

uint32_t ZvModAecCreate(AecState** out);
uint32_t ZvModAecDestroy(AecState* state);
uint32_t ZvModAecGetProperty(AecState* state, uint32_t id, uint32_t* value, uint32_t* size);
uint32_t ZvModAecGetPropertyDword(AecState* state, uint32_t id, uint32_t* value);
uint32_t ZvModAecSetProperty(AecState* state, uint32_t id, const int16_t* value, uint32_t size);
uint32_t ZvModAecSetPropertyDword(AecState* state, uint32_t id, uint16_t value);
uint32_t ZvModAecSubmit(AecState* state, uint32_t pin, const int16_t* in, uint32_t inBytes,
                        int16_t* out, uint32_t outBytes, const int16_t* delay);

sp_status ZvModLowpassDesign(double rFreq, double* taps, int32_t len, int32_t window,
                             int32_t normalise);
// keep: what the correlation keeps between calls (sp_xcorr.h), or null.
sp_status ZvModXcorr(const int16_t* src1, int32_t len1, const int16_t* src2, int32_t len2,
                     int16_t* dst, int32_t dstLen, int32_t lowLag, int32_t scale,
                     sp_xcorr_keep* keep);
sp_status ZvModMedian(const int16_t* src, int16_t* dst, int32_t len, int32_t mask);

}  // extern "C"
