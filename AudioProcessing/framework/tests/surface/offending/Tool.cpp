// A tool that reaches into the framework, by a path and with spaces.
// clang-format off
#  include <sub/Private.h>
// clang-format on
