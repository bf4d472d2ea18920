// Hookfitter: installs or uninstalls a filter driver.
//   Hookfitter -i|-u FILE -upr|-lwr -class GUID
//   Hookfitter -i|-u FILE -upr|-lwr -dev GUID vid pid mi [minver [maxver]] ...
// Prints nothing; exits with 1 for success and 0 for failure.
#include "FilterInstaller.h"

int main(int argc, char** argv) {
    FilterInstaller installer;
    if (!installer.LoadServiceApi()) return 0;
    if (!installer.ParseCommandLine(argc, argv)) return 0;
    return installer.Run();
}
