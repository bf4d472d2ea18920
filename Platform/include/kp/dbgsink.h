// Host-only: what kernel code printed with DbgPrint, and its breakpoints.
#pragma once

#include <string>
#include <vector>

#include "platform/ntdef.h"

// Every DbgPrint call appends its text as one record (the most recent 100000 are
// kept).  With the environment variable KP_DBGPRINT set, each is also written to
// stderr.
std::vector<std::string> KpDbgRecords(void);
// All records joined, and split into lines (a record may hold several lines or
// end without a line end; a line is a '\n'-terminated piece of the joined text,
// plus the unterminated rest if any).
std::string KpDbgText(void);
std::vector<std::string> KpDbgLines(void);
void KpDbgClear(void);
// Echo to stderr on or off (overrides the environment variable).
void KpDbgSetEcho(bool Echo);

// DbgBreakPoint calls so far.  A break only traps (SIGTRAP) when the environment
// variable KP_DBGBREAK is set.
ULONG KpDbgBreakCount(void);
void KpDbgResetBreakCount(void);
