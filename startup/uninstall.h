#pragma once
// Removing the launcher like every Windows program: the per-user uninstall
// entry that the self-install registers (Settings > Apps), and
// "Tinderhallow.exe --uninstall [--quiet]", which removes the install folder
// with the game, both shortcuts and the entry.

#include "startup/uninstall_entry.h"

#include <filesystem>
#include <string>

// The only two arguments the launcher knows; everything else on its
// command line is ignored. "--quiet" counts only together with "--uninstall".
struct LaunchArguments {
    bool uninstall = false;
    bool quiet = false;
};
LaunchArguments parseLaunchArguments(const wchar_t* commandLine);

// Writes the uninstall entry for a launcher installed in `installDir`:
// name, icon, publisher, version, folder, its size, and the two commands
// (writeUninstallEntry).
[[nodiscard]] bool registerUninstallEntry(const std::filesystem::path& installDir, std::string* error = nullptr);

// The "Tinderhallow" entry's InstallLocation, or empty when there is none.
std::filesystem::path registeredInstallFolder();

// True only for a folder the launcher can prove is its installation: an
// absolute folder (not a link) that is neither a drive or share root nor a
// system or user folder nor holds one, holding the file Tinderhallow.exe and
// one of the files every installation has (update_manifest.json,
// patch_source.txt, server_url.txt), and no "manifests" folder (a release
// folder that a publisher serves).
[[nodiscard]] bool isRemovableInstallFolder(const std::filesystem::path& dir, std::string* error = nullptr);

// Removes the installation in `installDir` (which must pass
// isRemovableInstallFolder): every file and folder below it, the launcher
// last, then the folder, the shortcuts that start its launcher, the kept
// background copy (and its folder when that is left empty) and the
// uninstall entry that names it. A launcher running from that folder is
// asked to close; locked files are tried again for about 4 seconds. When
// this program is that launcher it moves itself out of the folder first (a
// running program can be renamed, not deleted). On failure the launcher and
// the entry stay, so that the player can try again.
[[nodiscard]] bool removeInstallation(const std::filesystem::path& installDir, std::string* error = nullptr);

// "--uninstall": finds the installation (this program's folder, else the
// entry's), asks the player unless `quiet`, removes it and tells the outcome
// unless `quiet`. Returns the process exit code: 0 removed, 1 not.
int runUninstall(bool quiet);
