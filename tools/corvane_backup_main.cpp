// corvane_backup_main.cpp - the process entry of corvane-backup (the verbs
// are in corvane_backup.cpp, where the fuzz targets reach them too).
#include "tools/corvane_backup.h"

int main(int argc, char **argv) {
    // The tool is no program under test: the device's fault rules and trace
    // are for the system's runs, not for the scratch devices'.
    host::clearFaults();
    host::setTrace("");
    return backup::run(std::vector<std::string>(argv + 1, argv + argc));
}
