#include "IoTestSupport.h"
