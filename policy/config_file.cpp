// What the loader (config_loader.cpp) and the saver (config_saver.cpp, with
// the copies beside the file in config_copies.cpp) share: the held file and
// the text of the last failure.
#include "policy/config_file.h"

namespace ventrix {

void ConfigFile::closeHeld() {
    if (ConfigFileHandle == FileSystem::InvalidHandle) return;
    files_.close(ConfigFileHandle);
    ConfigFileHandle = FileSystem::InvalidHandle;
}

int ConfigFile::closeConfiguration() {
    if (!isHeld()) return 0;
    closeHeld();
    return 1;
}

// The error text is taken where a step fails, before any clean-up call can
// overwrite the system's last error.
bool ConfigFile::failure() {
    failure_ = files_.lastErrorText();
    return false;
}

}  // namespace ventrix
