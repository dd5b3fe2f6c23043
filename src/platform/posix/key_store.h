// Where the POSIX protection service keeps the user's master key. Internal:
// nothing here is exported from the shared library.
#pragma once

#include <string>

namespace movu::platform {

// The folder that holds the master key: $XDG_DATA_HOME/movu_mt5 when that is
// an absolute path, otherwise $HOME/.local/share/movu_mt5 (the password
// database's home when HOME is unset). Empty when no home can be found.
std::string KeyDirectory();

// Points the key folder somewhere else for the calling process; an empty text
// goes back to the user's folder. For tests only: the shipped library never
// calls it, and it is not reachable through the exports.
void SetKeyDirectoryForTests(const std::string& folder);

}  // namespace movu::platform
