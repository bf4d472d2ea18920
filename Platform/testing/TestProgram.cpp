// Part of every program that links the test kit (its link options name
// KpTestProgramMark, so the linker takes this file even though nothing calls
// it): before the tests run, the Win32 stand-in is told that it runs in a test
// program.  A test that chose no machine then finds none, instead of working
// on ./kssim-machine in whatever folder it was started in, the checkout
// included.
#include "kp/win32.h"

extern "C" const int KpTestProgramMark = 1;

namespace {

struct TestProgram {
    TestProgram() { KpWin32RefuseDefaultMachine(); }
};

const TestProgram g_testProgram;

}  // namespace
