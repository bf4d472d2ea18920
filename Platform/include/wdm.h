// The driver model's header, as our drivers include it.  Each area of the
// stand-in kernel declares its services in its own header under platform/.
#pragma once

#include "platform/ntdef.h"
#include "platform/ke.h"
#include "platform/ex.h"
#include "platform/rtl.h"
#include "platform/ob.h"
#include "platform/zw.h"
#include "platform/io.h"
