// The driver model's header, as our drivers include it.  Each area of the
// stand-in kernel declares its services in its own header under platform/.
#pragma once

#include "platform/ntdef.h"
#if __has_include("platform/ke.h")
#include "platform/ke.h"
#endif
#if __has_include("platform/ex.h")
#include "platform/ex.h"
#endif
#if __has_include("platform/rtl.h")
#include "platform/rtl.h"
#endif
#if __has_include("platform/ob.h")
#include "platform/ob.h"
#endif
#if __has_include("platform/zw.h")
#include "platform/zw.h"
#endif
#if __has_include("platform/io.h")
#include "platform/io.h"
#endif
