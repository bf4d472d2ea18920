// A test of the fixture framework looks inside it.
#include "../src/Private.h"
