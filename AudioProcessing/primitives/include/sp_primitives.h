// Everything public of the sp_ primitives library.
#pragma once

#include "sp_status.h"
#include "sp_buffers.h"
#include "sp_cpu.h"
#include "sp_dispatch.h"
#include "sp_lowpass.h"
#include "sp_median.h"
#if __has_include("sp_fft.h")
#include "sp_fft.h"
#endif
#if __has_include("sp_rfft.h")
#include "sp_rfft.h"
#endif
#if __has_include("sp_xcorr.h")
#include "sp_xcorr.h"
#endif
