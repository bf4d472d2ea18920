// Linked into every tool program: before the program's own code runs, the
// folder it works on (KP_MACHINE, else kssim-machine in the current folder)
// must hold a machine, that is a registry.reg.  Without one the program would
// work on whatever folder it was started in and make a machine's folders there,
// so it stops at once with exit code 2.  Reads nothing of the stand-in, whose
// own objects may not be constructed yet.
#include <cstdio>
#include <cstdlib>
#include <filesystem>

namespace {

struct MachineCheck {
    MachineCheck() {
        const char* env = std::getenv("KP_MACHINE");
        std::filesystem::path folder =
            std::filesystem::absolute(env != nullptr && *env != 0 ? env : "kssim-machine");
        std::error_code ec;
        if (std::filesystem::is_regular_file(folder / "registry.reg", ec)) return;
        std::fprintf(stderr,
                     "kp win32: %s is no machine folder (it has no registry.reg); KP_MACHINE "
                     "names the machine a program runs on, such as a folder kssim wrote\n",
                     folder.c_str());
        std::exit(2);
    }
};

const MachineCheck g_machineCheck;

}  // namespace
