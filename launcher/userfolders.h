#pragma once

#include <QString>

// The user's home directory: HOME when it names a directory the user owns; otherwise the
// account's home from the user database. On Windows, Qt's home location. Empty when the
// account has none.
QString homeDirectory();

// A folder no other account can put anything in or look into, for the single-instance lock
// and socket: the runtime folder (XDG_RUNTIME_DIR) when it is the user's own with mode 0700,
// otherwise a folder of the user's own under the home, made when missing and closed to
// others (0700); what another account put at its name is moved out of the way. Empty when
// neither will do. On Windows, a folder in the user's local application data.
QString privateFolder();
