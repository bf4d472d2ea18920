// The modules' link seam into the engine and the primitives: plain forwarders
// (see ModuleEngineCalls.h).  They live in their own translation unit so that
// every module's call stays an external reference a test program can redirect.
#include "ModuleEngineCalls.h"

extern "C" {

uint32_t ZvModAecCreate(AecState** out) {
    return AecCreate(out);
}
uint32_t ZvModAecDestroy(AecState* state) {
    return AecDestroy(state);
}
uint32_t ZvModAecGetProperty(AecState* state, uint32_t id, uint32_t* value, uint32_t* size) {
    return AecGetProperty(state, id, value, size);
}
uint32_t ZvModAecGetPropertyDword(AecState* state, uint32_t id, uint32_t* value) {
    return AecGetPropertyDword(state, id, value);
}
uint32_t ZvModAecSetProperty(AecState* state, uint32_t id, const int16_t* value, uint32_t size) {
    return AecSetProperty(state, id, value, size);
}
uint32_t ZvModAecSetPropertyDword(AecState* state, uint32_t id, uint16_t value) {
    return AecSetPropertyDword(state, id, value);
}
uint32_t ZvModAecSubmit(AecState* state, uint32_t pin, const int16_t* in, uint32_t inBytes,
                        int16_t* out, uint32_t outBytes, const int16_t* delay) {
    return AecSubmit(state, pin, in, inBytes, out, outBytes, delay);
}

sp_status ZvModLowpassDesign(double rFreq, double* taps, int32_t len, int32_t window,
                             int32_t normalise) {
    return sp_fir_design_lowpass_f64_stub(rFreq, taps, len, window, normalise);
}
sp_status ZvModXcorr(const int16_t* src1, int32_t len1, const int16_t* src2, int32_t len2,
                     int16_t* dst, int32_t dstLen, int32_t lowLag, int32_t scale,
                     sp_xcorr_keep* keep) {
    return sp_xcorr_i16_scaled_keep_stub(src1, len1, src2, len2, dst, dstLen, lowLag, scale, keep);
}
sp_status ZvModMedian(const int16_t* src, int16_t* dst, int32_t len, int32_t mask) {
    return sp_median_filter_i16_stub(src, dst, len, mask);
}

}  // extern "C"
