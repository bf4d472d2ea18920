// KsFltTst: a log module and nothing else.  DriverEntry registers it last,
// through LogModule<LogModuleKsFltTst>::ModuleRegister.
#include "ZDebug.h"

template class LogModule<LogModuleKsFltTst>;
