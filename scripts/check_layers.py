#!/usr/bin/env python3
"""Checks that every #include of the launcher's code goes down the tiers.

  base    what every part uses and none owns: text and paths, Windows errors,
          handle owners, progress callbacks, the product's names
  engine  the subsystems' work itself; never touches the launcher state
  state   the launcher state (ui/launcher_state.*)
  worker  background work that reports into the launcher state
  window  the window and the process start-up
  tool    the toolkit, the test programs' stand-ins and the benchmarks

A file may include its own tier and the tiers below it, as MAY_INCLUDE
says. Every code file of the project must stand in TIERS (the first
matching pattern counts): a new file is placed there on purpose. Tests are
not checked.

Usage: check_layers.py [--counts] [SOURCE_DIR]
  --counts  also print how many include lines go between folders and tiers
"""

import fnmatch
import os
import re
import sys

TIERS = [
    ("base/*", "base"),
    ("ui/launcher_state.*", "state"),
    # engine
    ("update/manifest.*", "engine"),
    ("update/sha256.*", "engine"),
    ("update/file_hash.*", "engine"),
    ("update/file_identity.*", "engine"),
    ("update/parallel_hash.*", "engine"),
    ("update/install_index.*", "engine"),
    ("update/inspection.*", "engine"),
    ("update/update_transaction.*", "engine"),
    ("update/windows_names.*", "engine"),
    ("update/folder_work_lock.*", "engine"),
    ("delivery/download_client.*", "engine"),
    ("delivery/partial_download.*", "engine"),
    ("delivery/release_signature.*", "engine"),
    ("delivery/patch_source.*", "engine"),
    ("delivery/patch_notes.*", "engine"),
    ("delivery/release_list.*", "engine"),
    ("delivery/chunk_index.*", "engine"),
    ("delivery/delta_download.*", "engine"),
    ("account/game_api_client.*", "engine"),
    ("account/session.*", "engine"),
    ("account/local_settings.*", "engine"),
    ("account/game_arguments.*", "engine"),
    ("startup/install_location.*", "engine"),
    ("startup/instance_guard.*", "engine"),
    ("startup/uninstall_entry.*", "engine"),
    ("startup/launcher_file.*", "engine"),
    ("ui/background_cache.*", "engine"),
    # worker
    ("update/update_worker.*", "worker"),
    ("delivery/release_check.*", "worker"),
    ("delivery/patch_notes_worker.*", "worker"),
    ("account/login_worker.*", "worker"),
    ("account/game_launch.*", "worker"),
    ("startup/self_update.*", "worker"),
    # window
    ("ui/background_preparation.*", "window"),
    ("ui/dpi.*", "window"),
    ("ui/graphics.*", "window"),
    ("ui/layout.*", "window"),
    ("ui/main_window.*", "window"),
    ("ui/renderer.*", "window"),
    ("startup/bootstrap.*", "window"),
    ("startup/uninstall.*", "window"),
    ("startup/win_main.cpp", "window"),
    ("startup/launcher.rc", "window"),
    ("startup/program_resources.*", "window"),
    # tool
    ("tools/*", "tool"),
    ("bench/*", "tool"),
]

MAY_INCLUDE = {
    "base": {"base"},
    "engine": {"base", "engine"},
    "state": {"base", "engine", "state"},
    "worker": {"base", "engine", "state", "worker"},
    "window": {"base", "engine", "state", "worker", "window"},
    "tool": {"base", "engine", "state", "worker", "window", "tool"},
}

CODE_FOLDERS = ["base", "update", "delivery", "account", "startup", "ui", "tools", "bench"]
CODE_ENDINGS = (".h", ".cpp", ".rc", ".rc2")
INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"]+)"')


def tier_of(path):
    for pattern, tier in TIERS:
        if fnmatch.fnmatchcase(path, pattern):
            return tier
    return None


def code_files(root):
    for folder in CODE_FOLDERS:
        for directory, _, names in os.walk(os.path.join(root, folder)):
            for name in sorted(names):
                if name.endswith(CODE_ENDINGS):
                    yield os.path.relpath(os.path.join(directory, name), root).replace(os.sep, "/")


def includes(root, path):
    with open(os.path.join(root, path), encoding="utf-8", errors="replace") as f:
        for number, line in enumerate(f, 1):
            match = INCLUDE.match(line)
            if match:
                yield number, match.group(1)


def print_counts(title, names, counts):
    width = max(len(name) for name in names) + 2
    print(title)
    print("from \\ to".ljust(width) + "".join(name.rjust(width) for name in names))
    for source in names:
        row = [str(counts.get((source, target), "-")) for target in names]
        print(source.ljust(width) + "".join(cell.rjust(width) for cell in row))
    print()


def main(argv):
    counts_wanted = "--counts" in argv
    args = [arg for arg in argv if arg != "--counts"]
    root = args[0] if args else os.path.join(os.path.dirname(os.path.abspath(__file__)), "..")
    problems = []
    folder_counts, tier_counts = {}, {}
    for path in code_files(root):
        tier = tier_of(path)
        if tier is None:
            problems.append(f"{path}: not in the tier table of scripts/check_layers.py; place it there")
            continue
        for number, target in includes(root, path):
            if not os.path.isfile(os.path.join(root, target)):
                continue  # resource files, or a header the compiler will name
            target_tier = tier_of(target)
            if target_tier is None:
                problems.append(f"{path}:{number}: includes {target}, which has no tier")
                continue
            if target_tier not in MAY_INCLUDE[tier]:
                problems.append(f"{path}:{number}: {tier} file includes {target} ({target_tier})")
            source_folder, target_folder = path.split("/")[0], target.split("/")[0]
            if source_folder != target_folder:
                key = (source_folder, target_folder)
                folder_counts[key] = folder_counts.get(key, 0) + 1
            if path.rsplit(".", 1)[0] != target.rsplit(".", 1)[0]:
                key = (tier, target_tier)
                tier_counts[key] = tier_counts.get(key, 0) + 1
    if counts_wanted:
        print_counts("Include lines between folders:", CODE_FOLDERS, folder_counts)
        print_counts("Include lines between tiers (a file's own header left out):", list(MAY_INCLUDE), tier_counts)
    for problem in problems:
        print(problem, file=sys.stderr)
    if problems:
        print(f"{len(problems)} problem(s) with the tiers; see scripts/check_layers.py", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
