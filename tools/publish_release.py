#!/usr/bin/env python3
"""Publishes a game folder as a Tinderhallow release folder.

    publish_release.py GAME_DIR RELEASE_DIR --release-id ID [--key PEM ...]
                       [--patch-notes FILE] [--minimum-launcher N]
                       [--sequence N | --after URL_OR_FOLDER]
                       [--toolkit EXE | --no-toolkit]

Copies every file of GAME_DIR into RELEASE_DIR, writes update_manifest.json
(sizes, lower-case SHA-256 digests, paths in byte order), signs the exact
manifest bytes with the P-256 key (ECDSA, SHA-256, through the openssl
command) and writes the Base64 of the raw r||s signature to
manifests/<sha256 of the manifest bytes>.sig. Copies patch_notes.json when
given. The manifest is written last, so a host serving RELEASE_DIR while it
is being published never offers a manifest whose files are not there yet.

For every file of at least 1 MiB it writes a chunk index to
chunks/<sha256 of the file> (docs/publishing.md describes it), so launchers
can rebuild the file from the copy they have installed and fetch only the
changed chunks. An index that is already there is kept: its name says what
it indexes. The indexes are made by TinderhallowTool's `chunk` command
(under Wine off Windows): --toolkit names it, otherwise the build's
TinderhallowTool.exe ($TINDERHALLOW_BUILD_DIR, else build/) is used when
there is one and Wine (off Windows) is installed; should that one fail, the
script says so and goes on without it. Without a toolkit, or
with --no-toolkit, the script's own chunker (tools/chunk_index.py) makes the
same indexes, much more slowly.

Every manifest carries a release sequence: launchers refuse a release whose
sequence is lower than the installed one's. By default it is one more than
the sequence of the manifest already in RELEASE_DIR; --sequence sets it, but
never lower than that one. A RELEASE_DIR without a manifest needs --sequence
or --after (the live release folder or its URL, whose sequence + 1 is taken):
starting again at 1 would make launchers refuse the release.

Every file and folder is made readable by all (0644, 0755, less what the
umask takes away), so a web server running as another user can serve it.

The default key is the development key tools/dev_signing_key.pem, which only
development builds trust. Publishers pass their own key with --key and build
the launcher with its public point (printed by this script) as
RELEASE_SIGNING_KEY_HEX.

--key may be given several times (up to four keys): the signature file then
holds one line per key, "<key id> <Base64 r||s>", the key id being the first
16 hex digits of the SHA-256 of the key's 65-byte public point. Launchers
accept a release when one line verifies with a key built into them; this is
how a publisher moves to a new key (docs/publishing.md). With one key the
file keeps the one-line form that every launcher reads.
"""

import argparse
import base64
import hashlib
import json
import os
import re
import shutil
import subprocess
import sys
import tempfile
import urllib.error
import urllib.request

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import chunk_index  # noqa: E402

DEV_KEY = os.path.join(os.path.dirname(os.path.abspath(__file__)), "dev_signing_key.pem")
MANIFEST_NAME = "update_manifest.json"
LAUNCHER_NAME = "Tinderhallow.exe"
PATCH_NOTES_NAME = "patch_notes.json"
CHUNK = 1 << 20

# Characters that no Windows file name may hold; "\" and ":" would also
# change the meaning of a manifest path.
WINDOWS_FORBIDDEN = set('<>:"|?*\\')
DEVICE_NAMES = ("CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$")
DEVICE_DIGITS = "0123456789\u00b9\u00b2\u00b3"
SEQUENCE_MAX = 2147483647
MAX_KEYS = 4
# 8.3 short names as Windows ("GAMEDA~1.PAK") and Wine ("GAME~XOK.PAK") make
# them: such a name can be another name of a different file of the release.
SHORT_NAME_ALIAS = re.compile(r"[^.~]{1,6}~[0-9]+(\.[^.]{1,3})?")
WINE_SHORT_NAME_ALIAS = re.compile(r"(?=[^.]{8}(\.|$))[^.~]{0,4}~+[A-Za-z0-5]{3}(\.[^.]{1,3})?")
CHUNKED_MINIMUM = 1 << 20
DEFAULT_TOOLKIT = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "build",
                               "TinderhallowTool.exe")
# One toolkit run chunks many files; its command line stays well below
# Windows's 32767 characters.
TOOLKIT_COMMAND_CHARS = 24000


class PublishError(Exception):
    pass


def check_element(element, where):
    if element in ("", ".", ".."):
        raise PublishError(f"unusable name in {where!r}")
    for ch in element:
        if ch in WINDOWS_FORBIDDEN or ord(ch) < 0x20:
            raise PublishError(f"name not usable on Windows: {where!r}")
    if element[-1] in " .":
        raise PublishError(f"name ending in a space or dot is not usable on Windows: {where!r}")
    if len(element.encode("utf-16-le")) // 2 > 255:
        raise PublishError(f"name longer than 255 characters is not usable on Windows: {where!r}")
    if is_device_name(element):
        raise PublishError(f"device name not usable on Windows: {where!r}")


def is_short_name_alias(element):
    """Windows: 1 to 6 characters, "~", digits, at most 8 before the dot;
    Wine: up to 4 characters, "~" up to the fifth, 3 letters or digits 0-5.
    Either with an extension of up to 3 characters. The launcher refuses the same."""
    stem = element.split(".", 1)[0]
    if SHORT_NAME_ALIAS.fullmatch(element) is not None and len(stem) <= 8:
        return True
    return WINE_SHORT_NAME_ALIAS.fullmatch(element) is not None and stem[:5].rstrip("~").find("~") < 0


def is_device_name(element):
    """Names that Windows opens as devices, not files, whatever the extension
    ("aux.txt") and letter case; the launcher refuses the same ones."""
    stem = element.split(".", 1)[0].rstrip(" ")
    upper = "".join(ch.upper() if "a" <= ch <= "z" else ch for ch in stem)
    return upper in DEVICE_NAMES or (len(upper) == 4 and upper[:3] in ("COM", "LPT") and upper[3] in DEVICE_DIGITS)


def windows_upper(text):
    # Windows compares names one UTF-16 unit at a time: no "ß" -> "SS".
    return "".join(ch.upper() if len(ch.upper()) == 1 else ch for ch in text)


def check_case_twins(paths):
    """Windows names one file by Data/a.pak and data/A.pak; the launcher
    refuses a manifest listing both."""
    seen = {}
    for path in paths:
        key = windows_upper(path)
        if key in seen:
            raise PublishError(f"{seen[key]!r} and {path!r} are one file on Windows")
        seen[key] = path


def collect_files(game_dir):
    """Relative generic paths (str) of every regular file below game_dir."""
    found = []
    for root, dirs, files in os.walk(game_dir, onerror=raise_walk_error):
        for name in dirs:
            if os.path.islink(os.path.join(root, name)):
                raise PublishError(f"a link to a folder is not published: {os.path.join(root, name)}")
        dirs.sort()
        for name in files:
            full = os.path.join(root, name)
            if not os.path.isfile(full):
                raise PublishError(f"not a regular file: {full}")
            raw = os.path.relpath(full, game_dir)
            try:
                os.fsencode(raw).decode("utf-8")
            except UnicodeDecodeError:
                raise PublishError(f"file name is not UTF-8: {os.fsencode(raw)!r}") from None
            generic = raw.replace(os.sep, "/")
            for element in generic.split("/"):
                check_element(element, generic)
                if is_short_name_alias(element):
                    raise PublishError(f"a name in the 8.3 short-name form (such as GAMEDA~1.PAK) can name another "
                                       f"file on Windows: {generic!r}")
            found.append(generic)
    return found


def raise_walk_error(error):
    raise PublishError(f"cannot read folder: {error}")


JSON_ESCAPES = {'"': '\\"', "\\": "\\\\", "\b": "\\b", "\f": "\\f", "\n": "\\n", "\r": "\\r", "\t": "\\t"}


def json_string(text):
    # The launcher's manifest reader knows the escapes \" \\ \/ \b \f \n \r \t
    # and nothing else (no \u): write every other character as raw UTF-8.
    out = ['"']
    for ch in text:
        if ch in JSON_ESCAPES:
            out.append(JSON_ESCAPES[ch])
        elif ord(ch) < 0x20:
            raise PublishError(f"control character in {text!r}")
        else:
            out.append(ch)
    out.append('"')
    return "".join(out)


def manifest_bytes(release_id, minimum_launcher, entries, sequence=1):
    lines = [
        "{",
        '  "schemaVersion": 1,',
        f'  "releaseId": {json_string(release_id)},',
        f'  "minimumLauncherVersion": {minimum_launcher},',
        f'  "releaseSequence": {sequence},',
        '  "files": [',
    ]
    for index, (path, size, digest) in enumerate(entries):
        comma = "," if index + 1 < len(entries) else ""
        lines.append(f'    {{"path": {json_string(path)}, "size": {size}, "sha256": "{digest}"}}{comma}')
    lines.append("  ]")
    lines.append("}")
    return ("\n".join(lines) + "\n").encode("utf-8")


def readable_mode(mode):
    # mkstemp makes 0600 files, which a web server running as another user
    # answers with 403; the umask still has the last word.
    mask = os.umask(0o022)
    os.umask(mask)
    return mode & ~mask


def make_folders(folder):
    """Like os.makedirs, but every folder it creates is 0755 within the umask."""
    missing = []
    while folder and not os.path.isdir(folder):
        missing.append(folder)
        parent = os.path.dirname(folder)
        if parent == folder:
            break
        folder = parent
    for path in reversed(missing):
        try:
            os.mkdir(path, 0o755)
        except FileExistsError:
            pass


def put_in_place(temp, path):
    os.chmod(temp, readable_mode(0o644))
    os.replace(temp, path)


def write_atomically(path, data):
    """Writes through a temporary file beside the target: no partial file stays."""
    folder = os.path.dirname(path)
    make_folders(folder)
    fd, temp = tempfile.mkstemp(prefix=".publish_", dir=folder)
    try:
        with os.fdopen(fd, "wb") as out:
            out.write(data)
        put_in_place(temp, path)
    except BaseException:
        try:
            os.unlink(temp)
        except OSError:
            pass
        raise


def copy_and_hash(source, target):
    """Copies source to target through a temporary file; returns (size, digest) of what was written."""
    folder = os.path.dirname(target)
    make_folders(folder)
    fd, temp = tempfile.mkstemp(prefix=".publish_", dir=folder)
    digest = hashlib.sha256()
    size = 0
    try:
        with os.fdopen(fd, "wb") as out, open(source, "rb") as src:
            while True:
                chunk = src.read(CHUNK)
                if not chunk:
                    break
                digest.update(chunk)
                size += len(chunk)
                out.write(chunk)
        put_in_place(temp, target)
    except BaseException:
        try:
            os.unlink(temp)
        except OSError:
            pass
        raise
    return size, digest.hexdigest()


def run_openssl(args, data=None):
    try:
        result = subprocess.run(["openssl"] + args, input=data, capture_output=True, check=False)
    except FileNotFoundError:
        raise PublishError("the openssl command is not installed") from None
    if result.returncode != 0:
        message = result.stderr.decode("utf-8", "replace").strip()
        raise PublishError(f"openssl {args[0]} failed: {message}")
    return result.stdout


def public_point_hex(key_path):
    """The key's uncompressed public point; refuses keys on other curves."""
    text = run_openssl(["ec", "-in", key_path, "-noout", "-text"]).decode("ascii", "replace")
    if not re.search(r"ASN1 OID: prime256v1|NIST CURVE: P-256", text):
        raise PublishError(f"{key_path} is not a P-256 (prime256v1) key")
    der = run_openssl(["ec", "-in", key_path, "-pubout", "-outform", "DER"])
    point = der[-65:]
    if len(point) != 65 or point[0] != 0x04:
        raise PublishError(f"could not read the public point of {key_path}")
    return point.hex()


def der_length(data, pos):
    if pos >= len(data):
        raise PublishError("truncated DER signature")
    first = data[pos]
    pos += 1
    if first < 0x80:
        return first, pos
    count = first & 0x7F
    if count == 0 or count > 2 or pos + count > len(data):
        raise PublishError("bad DER length in signature")
    return int.from_bytes(data[pos:pos + count], "big"), pos + count


def der_integer(data, pos):
    if pos >= len(data) or data[pos] != 0x02:
        raise PublishError("DER signature: INTEGER expected")
    length, pos = der_length(data, pos + 1)
    value = data[pos:pos + length]
    if len(value) != length or length == 0:
        raise PublishError("truncated DER signature")
    return value, pos + length


def raw_signature(der):
    """r||s, each a 32-byte big-endian number, from an ECDSA-Sig-Value."""
    if not der or der[0] != 0x30:
        raise PublishError("DER signature: SEQUENCE expected")
    length, pos = der_length(der, 1)
    if pos + length != len(der):
        raise PublishError("DER signature has a wrong length")
    r, pos = der_integer(der, pos)
    s, pos = der_integer(der, pos)
    if pos != len(der):
        raise PublishError("DER signature has trailing bytes")
    out = b""
    for value in (r, s):
        value = value.lstrip(b"\x00")
        if len(value) > 32:
            raise PublishError("signature value longer than 32 bytes: not a P-256 key")
        out += value.rjust(32, b"\x00")
    return out


def sign(manifest, key_path):
    der = run_openssl(["dgst", "-sha256", "-sign", key_path], manifest)
    raw = raw_signature(der)
    # Check what is about to be published with openssl's own verifier.
    with tempfile.TemporaryDirectory() as temp:
        der_path = os.path.join(temp, "signature.der")
        pub_path = os.path.join(temp, "public.pem")
        data_path = os.path.join(temp, "manifest")
        with open(der_path, "wb") as f:
            f.write(der)
        with open(data_path, "wb") as f:
            f.write(manifest)
        pub = run_openssl(["ec", "-in", key_path, "-pubout"])
        with open(pub_path, "wb") as f:
            f.write(pub)
        run_openssl(["dgst", "-sha256", "-verify", pub_path, "-signature", der_path, data_path])
    return raw


def key_id(public_hex):
    return hashlib.sha256(bytes.fromhex(public_hex)).hexdigest()[:16]


def signature_file(manifest, keys):
    """The signature file's bytes for KEYS, a list of (key path, public hex)."""
    if len(keys) == 1:
        return base64.b64encode(sign(manifest, keys[0][0])) + b"\n"
    lines = [f"{key_id(public_hex)} {base64.b64encode(sign(manifest, path)).decode('ascii')}\n"
             for path, public_hex in keys]
    return "".join(lines).encode("ascii")


def is_inside(path, folder):
    path = os.path.realpath(path)
    folder = os.path.realpath(folder)
    return path == folder or path.startswith(folder.rstrip(os.sep) + os.sep)


def check_release_id(release_id):
    # The launcher uses the id as a folder name while it installs.
    if not release_id:
        raise PublishError("the release id is empty")
    check_element(release_id, release_id)
    if "/" in release_id:
        raise PublishError(f"the release id may not contain '/': {release_id!r}")


def published_sequence(release_dir):
    """The release sequence of the manifest already in RELEASE_DIR: 0 when
    it has no sequence, None when there is no manifest."""
    path = os.path.join(release_dir, MANIFEST_NAME)
    try:
        with open(path, "rb") as f:
            data = f.read()
    except FileNotFoundError:
        return None
    return sequence_of(data, path)


def live_sequence(where):
    """The release sequence of the live release: a release folder, or the URL
    of one (or of its manifest)."""
    if not re.match(r"(?i)https?://", where):
        sequence = published_sequence(where)
        if sequence is None:
            raise PublishError(f"--after {where}: no {MANIFEST_NAME} there")
        return sequence
    url = where if where.endswith("/" + MANIFEST_NAME) else where.rstrip("/") + "/" + MANIFEST_NAME
    try:
        with urllib.request.urlopen(url, timeout=60) as answer:
            data = answer.read(64 << 20)
    except (urllib.error.URLError, OSError, ValueError) as error:
        raise PublishError(f"--after: cannot read the live release {url}: {error}") from None
    return sequence_of(data, url)


def sequence_of(data, path):
    try:
        manifest = json.loads(data.decode("utf-8"))
    except (UnicodeDecodeError, ValueError) as error:
        raise PublishError(f"cannot read the release sequence of {path}: {error}") from None
    sequence = manifest.get("releaseSequence", 0) if isinstance(manifest, dict) else None
    if type(sequence) is not int or not 0 <= sequence <= SEQUENCE_MAX:
        raise PublishError(f"{path} has no usable releaseSequence: {sequence!r}")
    return sequence


def choose_sequence(requested, release_dir, after=None):
    previous = published_sequence(release_dir)
    if after is not None:
        live = live_sequence(after)
        if live >= SEQUENCE_MAX:
            raise PublishError(f"the live release's sequence {live} cannot grow any further")
        requested = max(live + 1, previous or 0)
    if previous is None:
        if requested is None:
            raise PublishError(f"{release_dir} holds no release, so the next release sequence is not known there: "
                               f"give --after with the live release's folder or URL (its sequence + 1 is taken), "
                               f"or --sequence N (1 only for the very first release); starting again at 1 would "
                               f"make launchers that installed a later release refuse this one")
        previous = 0
    if requested is None:
        if previous >= SEQUENCE_MAX:
            raise PublishError(f"the release folder's sequence {previous} cannot grow any further")
        return previous + 1
    if not 1 <= requested <= SEQUENCE_MAX:
        raise PublishError(f"--sequence must be between 1 and {SEQUENCE_MAX}")
    if requested < previous:
        raise PublishError(f"--sequence {requested} is lower than the sequence {previous} of the release already "
                           f"published there; launchers that installed it would refuse this one")
    return requested


def windows_path(path):
    path = os.path.abspath(path)
    return path if os.name == "nt" else "Z:" + path.replace("/", "\\")


def toolkit_command(toolkit):
    """The command line that starts the toolkit, and its environment."""
    if os.name == "nt":
        return [toolkit], None
    env = dict(os.environ, WINEDEBUG="-all")
    build = os.path.dirname(os.path.abspath(toolkit))
    if "WINEPREFIX" not in os.environ and os.path.isfile(os.path.join(build, "CMakeCache.txt")):
        # A build's toolkit runs in that build's own Wine prefix, made on first use.
        wine_run = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "cmake", "wine-run.sh")
        return [wine_run, os.path.join(build, "wineprefix"), toolkit], env
    return ["wine", toolkit], env


def run_toolkit_chunk(toolkit, pairs):
    """TinderhallowTool chunk FILE INDEX ... for (file, index) pairs."""
    command, env = toolkit_command(toolkit)
    args = [word for source, index in pairs for word in (windows_path(source), windows_path(index))]
    # Output goes to files: a wineserver started by this run would hold a
    # pipe open long after the toolkit ended.
    with tempfile.TemporaryFile() as out:
        try:
            code = subprocess.run(command + ["chunk"] + args, env=env, stdin=subprocess.DEVNULL, stdout=out,
                                  stderr=subprocess.STDOUT).returncode
        except OSError as error:
            raise PublishError(f"cannot run the toolkit {toolkit}: {error}") from None
        out.seek(0)
        text = out.read().decode("utf-8", "replace").strip()
    if code != 0:
        raise PublishError(f"the toolkit could not chunk the release files: {text}")


def chunk_batches(pairs):
    batch, length = [], 0
    for source, index in pairs:
        words = len(windows_path(source)) + len(windows_path(index)) + 6
        if batch and length + words > TOOLKIT_COMMAND_CHARS:
            yield batch
            batch, length = [], 0
        batch.append((source, index))
        length += words
    if batch:
        yield batch


def write_chunk_indexes(release_dir, entries, toolkit, toolkit_named):
    """chunks/<sha256> for every file of at least CHUNKED_MINIMUM bytes that
    has none yet; returns how many were written and by which chunker."""
    folder = os.path.join(release_dir, "chunks")
    wanted = {}
    for path, size, digest in entries:
        if size >= CHUNKED_MINIMUM and not os.path.isfile(os.path.join(folder, digest)):
            wanted.setdefault(digest, (os.path.join(release_dir, *path.split("/")), size))
    if not wanted:
        return 0, None
    make_folders(folder)
    temporaries = {}
    try:
        for digest in wanted:
            fd, temporaries[digest] = tempfile.mkstemp(prefix=".publish_", dir=folder)
            os.close(fd)
        by_toolkit = toolkit is not None
        if by_toolkit:
            pairs = [(wanted[digest][0], temporaries[digest]) for digest in wanted]
            try:
                for batch in chunk_batches(pairs):
                    run_toolkit_chunk(toolkit, batch)
            except PublishError as error:
                # Only a toolkit asked for by name must work; the build's is a speed-up.
                if toolkit_named:
                    raise
                print(f"warning: {error}; using tools/chunk_index.py instead", file=sys.stderr)
                by_toolkit = False
        if not by_toolkit:
            for digest, (source, size) in wanted.items():
                with open(temporaries[digest], "wb") as f:
                    f.write(chunk_index.encode_index(size, chunk_index.chunk_file(source)))
        for digest, (source, size) in wanted.items():
            with open(temporaries[digest], "rb") as f:
                data = f.read()
            try:
                indexed_size, _ = chunk_index.decode_index(data)
            except ValueError as error:
                raise PublishError(f"the chunk index made for {source} is not usable: {error}") from None
            if indexed_size != size:
                raise PublishError(f"the chunk index made for {source} is for another size")
            put_in_place(temporaries.pop(digest), os.path.join(folder, digest))
    finally:
        for temp in temporaries.values():
            try:
                os.unlink(temp)
            except OSError:
                pass
    return len(wanted), toolkit if by_toolkit else "tools/chunk_index.py"


def choose_toolkit(args):
    if args.no_toolkit:
        return None
    if args.toolkit is not None:
        if not os.path.isfile(args.toolkit):
            raise PublishError(f"no toolkit at {args.toolkit}")
        return args.toolkit
    # The build's toolkit only where it can run: on Windows, or with Wine.
    build_dir = os.environ.get("TINDERHALLOW_BUILD_DIR")
    default = os.path.join(build_dir, "TinderhallowTool.exe") if build_dir else DEFAULT_TOOLKIT
    if not os.path.isfile(default) or (os.name != "nt" and shutil.which("wine") is None):
        return None
    return default


def publish(args):
    game_dir = args.game_dir
    release_dir = args.release_dir
    if not os.path.isdir(game_dir):
        raise PublishError(f"not a folder: {game_dir}")
    if is_inside(release_dir, game_dir) or is_inside(game_dir, release_dir):
        raise PublishError("the game folder and the release folder must not contain each other")
    check_release_id(args.release_id)
    if not 0 <= args.minimum_launcher <= 2147483647:
        raise PublishError("--minimum-launcher must be between 0 and 2147483647")
    key_paths = args.key or [DEV_KEY]
    if len(key_paths) > MAX_KEYS:
        raise PublishError(f"at most {MAX_KEYS} keys (--key) may sign a release")
    for key_path in key_paths:
        if not os.path.isfile(key_path):
            raise PublishError(f"no key file: {key_path}")
    notes = None
    if args.patch_notes is not None:
        try:
            with open(args.patch_notes, "rb") as f:
                notes = f.read()
            json.loads(notes.decode("utf-8"))
        except (OSError, UnicodeDecodeError, ValueError) as error:
            raise PublishError(f"patch notes are not a readable UTF-8 JSON file: {error}") from None

    sequence = choose_sequence(args.sequence, release_dir, args.after)
    toolkit = choose_toolkit(args)

    keys = [(key_path, public_point_hex(key_path)) for key_path in key_paths]
    if len({public_hex for _, public_hex in keys}) != len(keys):
        raise PublishError("the same key is given twice")
    files = collect_files(game_dir)
    check_case_twins(files)
    reserved = {MANIFEST_NAME} | ({PATCH_NOTES_NAME} if notes is not None else set())
    for path in files:
        if path in reserved:
            raise PublishError(f"the game folder holds {path}, which the release folder uses itself")
        # The launcher knows its own file only by this exact name; under any
        # other spelling an update would try to overwrite the running launcher.
        if path.lower() == LAUNCHER_NAME.lower() and path != LAUNCHER_NAME:
            raise PublishError(f"the launcher must be published as {LAUNCHER_NAME}, not {path}")
    files.sort(key=lambda p: p.encode("utf-8"))

    entries = []
    for path in files:
        size, digest = copy_and_hash(os.path.join(game_dir, *path.split("/")),
                                     os.path.join(release_dir, *path.split("/")))
        entries.append((path, size, digest))

    # Before the manifest: a launcher that reads it finds every index already there.
    indexed, chunker = write_chunk_indexes(release_dir, entries, toolkit, args.toolkit is not None)

    manifest = manifest_bytes(args.release_id, args.minimum_launcher, entries, sequence)
    manifest_digest = hashlib.sha256(manifest).hexdigest()
    signature = signature_file(manifest, keys)

    write_atomically(os.path.join(release_dir, "manifests", manifest_digest + ".sig"), signature)
    if notes is not None:
        write_atomically(os.path.join(release_dir, PATCH_NOTES_NAME), notes)
    write_atomically(os.path.join(release_dir, MANIFEST_NAME), manifest)

    total = sum(size for _, size, _ in entries)
    print(f"release {args.release_id}: {len(entries)} files, {total} bytes")
    print(f"manifest sha256 {manifest_digest}")
    print(f"release sequence {sequence}")
    if indexed:
        print(f"chunk indexes written: {indexed} (by {chunker})")
    for key_path, public_hex in keys:
        print(f"signed with {key_path} (public key {public_hex}, key id {key_id(public_hex)})")
        if os.path.realpath(key_path) == os.path.realpath(DEV_KEY):
            print("warning: signed with the DEVELOPMENT key; only development builds accept this release",
                  file=sys.stderr)


def main(argv=None):
    parser = argparse.ArgumentParser(description="Publish a game folder as a signed Tinderhallow release folder.")
    parser.add_argument("game_dir", metavar="GAME_DIR")
    parser.add_argument("release_dir", metavar="RELEASE_DIR")
    parser.add_argument("--release-id", required=True, metavar="ID")
    parser.add_argument("--key", action="append", metavar="PEM",
                        help="P-256 private key; give it up to four times to sign with several keys "
                             "(default: development key)")
    parser.add_argument("--patch-notes", metavar="FILE", help="patch_notes.json to publish with the release")
    parser.add_argument("--minimum-launcher", type=int, default=1, metavar="N",
                        help="lowest launcher version that may install the release (default 1)")
    ordering = parser.add_mutually_exclusive_group()
    ordering.add_argument("--sequence", type=int, metavar="N",
                          help="release sequence (default: one more than the release already in RELEASE_DIR; "
                               "required for an empty RELEASE_DIR unless --after is given)")
    ordering.add_argument("--after", metavar="URL_OR_FOLDER",
                          help="the live release (folder or URL): the sequence is one more than its")
    chunker = parser.add_mutually_exclusive_group()
    chunker.add_argument("--toolkit", metavar="EXE",
                         help="TinderhallowTool.exe that makes the chunk indexes (default: build/TinderhallowTool.exe "
                              "when it exists; run under Wine off Windows)")
    chunker.add_argument("--no-toolkit", action="store_true",
                         help="make the chunk indexes with the script's own (slow) chunker")
    args = parser.parse_args(argv)
    try:
        publish(args)
    except (PublishError, OSError) as error:
        print(f"publish_release: {error}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
