#pragma once

#include "platform/io.h"

// The MasterFlag of the driver's filter device in the PDO's stack ("\Driver\ZvEchowell"),
// or -1 when the driver has no device there.
int FilterMasterFlag(PDEVICE_OBJECT pdo, const char16_t* driverName);
