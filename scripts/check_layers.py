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
says. Inside the engine tier the folders go one way too (ENGINE_FOLDERS):
an engine file includes engine files of its own folder or of a folder
listed before it. Every code file of the project must stand in TIERS (the
first matching pattern counts): a new file is placed there on purpose.
Tests are not checked.

Includes are found as the compiler finds them: "name" beside the including
file first, then in the include folders; <name> in the include folders only.
The include folders are the project's own ones named in CMakeLists.txt
(target_include_directories / include_directories below the source tree),
the repository root when it names none. A quoted include, or an angle one
that starts with a project folder, that names no file is an error, and so
is one that leads out of the repository.

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
    ("delivery/parallel_download.*", "engine"),
    ("update/install_index.*", "engine"),
    ("update/inspection.*", "engine"),
    ("update/update_transaction.*", "engine"),
    ("update/file_replacement.*", "engine"),
    ("update/update_journal.*", "engine"),
    ("update/update_space.*", "engine"),
    ("update/windows_names.*", "engine"),
    ("update/folder_work_lock.*", "engine"),
    ("update/release_floor.*", "engine"),
    ("delivery/download_client.*", "engine"),
    ("delivery/download_url.*", "engine"),
    ("delivery/download_headers.*", "engine"),
    ("delivery/download_messages.*", "engine"),
    ("delivery/download_pace.*", "engine"),
    ("delivery/download_transfer.*", "engine"),
    ("delivery/download_request.*", "engine"),
    ("delivery/download_resume.*", "engine"),
    ("delivery/download_body.*", "engine"),
    ("delivery/download_reads.*", "engine"),
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

# Engine folders from the lowest: hashes, manifests and the transaction;
# downloads; the game service; the install folder and the launcher file;
# the window's cached picture. No engine file reaches a later folder.
ENGINE_FOLDERS = ["update", "delivery", "account", "startup", "ui"]

CODE_FOLDERS = ["base", "update", "delivery", "account", "startup", "ui", "tools", "bench"]
CODE_ENDINGS = (".h", ".cpp", ".rc", ".rc2")
INCLUDE = re.compile(r'^\s*#\s*include\s*([<"])([^">]+)[">]')
CMAKE_INCLUDE_CALL = re.compile(r"\b(?:target_)?include_directories\s*\(([^)]*)\)", re.IGNORECASE)
SOURCE_DIR_VARIABLE = re.compile(r"^\$\{(?:CMAKE_SOURCE_DIR|PROJECT_SOURCE_DIR|CMAKE_CURRENT_SOURCE_DIR)\}(/.*)?$")


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


def include_folders(root):
    """The project's include folders relative to ROOT ("" for the root), in
    the order CMakeLists.txt names them; folders of the build tree hold no
    project header and are left out."""
    folders = []
    try:
        with open(os.path.join(root, "CMakeLists.txt"), encoding="utf-8") as f:
            text = re.sub(r"#[^\n]*", "", f.read())
    except OSError:
        text = ""
    for call in CMAKE_INCLUDE_CALL.finditer(text):
        for word in call.group(1).split():
            match = SOURCE_DIR_VARIABLE.match(word.strip('"'))
            if match:
                folder = (match.group(1) or "").strip("/")
                if folder not in folders:
                    folders.append(folder)
    return folders or [""]


def includes(root, path):
    with open(os.path.join(root, path), encoding="utf-8", errors="replace") as f:
        for number, line in enumerate(f, 1):
            match = INCLUDE.match(line)
            if match:
                yield number, match.group(1), match.group(2)


def resolve(root, path, form, name, folders):
    """The repository path the compiler opens for an include of NAME in
    PATH, None when no file answers, or ".." + the path when it lies
    outside the repository. A header CMake configures from NAME.in into the
    build tree stands for that template."""
    bases = ([os.path.dirname(path)] if form == '"' else []) + folders
    for template in ("", ".in"):
        for base in bases:
            candidate = os.path.normpath(os.path.join(base, name)).replace(os.sep, "/") + template
            if os.path.isfile(os.path.join(root, candidate)):
                return candidate
    return None


def is_project_include(form, name):
    """Quoted includes are the project's own; an angle include is when it
    starts with a project folder (<windows.h> is the system's)."""
    return form == '"' or name.replace("\\", "/").split("/")[0] in CODE_FOLDERS


def engine_folder_problem(path, target):
    source_folder, target_folder = path.split("/")[0], target.split("/")[0]
    if source_folder not in ENGINE_FOLDERS or target_folder not in ENGINE_FOLDERS:
        return None
    if ENGINE_FOLDERS.index(target_folder) <= ENGINE_FOLDERS.index(source_folder):
        return None
    return (f"engine file in {source_folder}/ includes {target} from {target_folder}/ "
            f"(engine folders go {', '.join(ENGINE_FOLDERS)}: only earlier ones)")


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
    folders = include_folders(root)
    problems = []
    folder_counts, tier_counts = {}, {}
    for path in code_files(root):
        tier = tier_of(path)
        if tier is None:
            problems.append(f"{path}: not in the tier table of scripts/check_layers.py; place it there")
            continue
        for number, form, name in includes(root, path):
            spelled = f'"{name}"' if form == '"' else f"<{name}>"
            target = resolve(root, path, form, name, folders)
            if target is None:
                if is_project_include(form, name):
                    looked = (["beside the file"] if form == '"' else []) + [f or "the repository root" for f in folders]
                    problems.append(f"{path}:{number}: cannot resolve #include {spelled} "
                                    f"(looked {', '.join(looked)})")
                continue
            if target.startswith("../"):
                problems.append(f"{path}:{number}: #include {spelled} leads out of the repository")
                continue
            target_tier = tier_of(target)
            if target_tier is None:
                problems.append(f"{path}:{number}: includes {target}, which has no tier")
                continue
            if target_tier not in MAY_INCLUDE[tier]:
                problems.append(f"{path}:{number}: {tier} file includes {target} ({target_tier})")
            elif tier == "engine" and target_tier == "engine":
                folder_problem = engine_folder_problem(path, target)
                if folder_problem:
                    problems.append(f"{path}:{number}: {folder_problem}")
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
