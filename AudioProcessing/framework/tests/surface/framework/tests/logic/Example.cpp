// The fixture framework's example logic, refused once held to the surface.
#include "Private.h"
