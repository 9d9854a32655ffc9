#pragma once

// Where the program keeps its own files. A program folder the user may write (a build, a copied
// folder) holds them itself: the error log TARVWEB.ERR beside the executable and the spill files
// in TEMP under it. An installed program's folder is not the user's to write, so the error log
// goes to the user's state folder ($XDG_STATE_HOME/zephran/, by default
// ~/.local/state/zephran/) and the spill files to a private folder of the user
// ($XDG_RUNTIME_DIR/zephran/ when set, else zephran-UID under the temporary folder). Both are
// made with owner-only access when missing, and refused when they belong to someone else.

#include <string>

// True when the program folder (see ProgramDirectory()) is the program's own to write: the
// user may write it and it is not the folder the program is installed to.
bool ProgramFolderWritable();

// The folder of the error log, with a trailing separator. The program folder when it is
// writable; else the state folder, or the program folder again when that cannot be had.
std::string ErrorLogFolder();

// The folder of the spill files, with a trailing separator. TEMP under the program folder when
// that is writable; else the private folder, or TEMP again when that cannot be had.
std::string SpillFolder();

// Test seam: 1 makes ProgramFolderWritable() answer true, 0 false, -1 brings back the check.
// Tests run as a user who may write every folder, so the check itself cannot be driven there.
void SetProgramFolderWritableForTesting(int answer);
