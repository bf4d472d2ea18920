// A logic that keeps to the surface: a header whose name only begins like a
// private one, a public header, and a private name in a comment.
#include "PrivateNot.h"
#include "Public.h"
// #include "Private.h" was here once.
