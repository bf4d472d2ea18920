// A unit of the fixture framework that names the logic it serves (Widgetwell);
// its private headers are its own.
#include "Private.h"
