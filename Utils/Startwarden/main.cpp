// Startwarden: the launcher service.
//   Startwarden            run as the service (started by the service manager)
//   Startwarden -i | -is   register the service if absent, then start it
//   Startwarden -u         delete the service
//   Startwarden -reboot    offer the reboot at once
#include "LauncherService.h"

int main(int argc, char** argv) {
    LauncherService service;
    if (!service.LoadServiceApi()) return 0;
    return service.ParseOptions(argc, argv);
}
