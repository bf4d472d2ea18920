// Force-included into the tools: fopen takes Windows paths of the machine, and
// a stream opened in text mode writes "\n" as "\r\n", as the platform's C
// runtime does.
#pragma once

// <cstdio> undefines function macros of its names: include it first, so that
// later includes leave the macro below in place.
#include <cstdio>
#include <stdio.h>

// Modes "r", "w", "a" with "+" and "t" or "b".  NULL with errno set for a path
// outside the machine or a mode not modelled.
FILE* KpWin32Fopen(const char* path, const char* mode);

#define fopen(path, mode) KpWin32Fopen(path, mode)
