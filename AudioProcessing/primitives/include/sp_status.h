// Result codes of the sp_ signal-processing primitives.  Every public primitive
// returns one: 0 success, a positive value a warning (the output is written), a
// negative value an error (the output is left untouched).
#pragma once

#include <stdint.h>

enum sp_status : int32_t {
    sp_status_ok = 0,
    sp_status_even_mask = 5,      // warning: an even median mask was reduced by one
    sp_status_zero_divisor = 6,   // warning: a divisor was zero; every output is written
    sp_status_alloc_failed = -4,  // not enough memory for the operation
    sp_status_bad_arg = -5,       // an argument or parameter is bad
    sp_status_bad_size = -6,      // a length or size below its minimum, or a parameter out of range
    sp_status_null_ptr = -8,      // a null pointer argument
    sp_status_no_memory = -9,     // an allocation failed
    sp_status_divide_by_zero = -10,  // a division by zero was refused
    sp_status_fft_order = -15,       // FFT order outside its range
    sp_status_fft_flag = -16,        // FFT scaling flag not one of the allowed values
    sp_status_wrong_state = -17,     // a state record of another kind
    sp_status_delay_index = -24,     // a delay-line sample index outside the line
    sp_status_iir_order = -25,       // an IIR filter order out of range
    sp_status_fir_length = -26,      // an FIR filter length of zero or less
    sp_status_phase = -30,           // a phase outside 0 <= phase < factor
    sp_status_factor = -31,          // a sampling factor of zero or less
    sp_status_negative_shift = -32,  // a shift count below zero
    sp_status_wavelet_offset = -35,  // a wavelet filter offset out of range
    sp_status_tone_phase = -44,      // tone phase negative, or at least 2*PI
    sp_status_tone_freq = -45,       // tone frequency negative, or at least 0.5
    sp_status_tone_magnitude = -46,  // tone magnitude at most zero
};

// Processor variants: the column of a dispatch row that a member belongs to.
enum sp_variant : int32_t {
    sp_variant_generic = 0,
    sp_variant_sse = 1,
    sp_variant_sse2 = 2,
    sp_variant_sse3 = 3,
    sp_variant_end = 4,  // ends a row of sp_cpu_variant_order
};
