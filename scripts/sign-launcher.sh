#!/usr/bin/env bash
# Signs the launcher and the toolkit (Authenticode) with osslsigncode, in
# place, before they are published. See docs/publishing.md.
#
# Usage:
#   scripts/sign-launcher.sh --pfx FILE [--password-file FILE] [options] [EXE...]
#   scripts/sign-launcher.sh --pkcs11-module MODULE --key URI (--cert FILE | --pkcs11-cert URI)
#                            [--pkcs11-engine ENGINE] [--password-file FILE] [options] [EXE...]
# Options:
#   --digest sha256|sha384|sha512   the signature's digest (default sha256)
#   --timestamp URL                 an RFC 3161 time-stamping service; may be given more than once
#                                   (osslsigncode tries them in turn); without one a warning is shown
#   --name TEXT                     the program name shown when Windows asks (default "Tinderhallow")
#   --url URL                       the publisher's address shown with it
#   --ca-file FILE                  check each signed file against the CA certificates in FILE
#                                   before it replaces the unsigned one
# EXE defaults to build/Tinderhallow.exe and build/TinderhallowTool.exe ($BUILD_DIR for build/).
# The password file holds the PFX password or the token's PIN on its first line.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${BUILD_DIR:-$root/build}"

usage() {
  sed -n '2,19s/^# \{0,1\}//p' "$0" >&2
  [ -n "${1:-}" ] && echo "sign-launcher: $1" >&2
  exit 2
}

pfx="" password_file="" module="" engine="" key="" cert="" token_cert=""
digest="sha256" name="Tinderhallow" url="" ca_file=""
timestamps=() files=()
while [ $# -gt 0 ]; do
  case "$1" in
    --pfx|--password-file|--pkcs11-module|--pkcs11-engine|--key|--cert|--pkcs11-cert|--digest|--timestamp|--name|--url|--ca-file)
      [ $# -ge 2 ] || usage "$1 needs a value"
      case "$1" in
        --pfx) pfx="$2" ;;
        --password-file) password_file="$2" ;;
        --pkcs11-module) module="$2" ;;
        --pkcs11-engine) engine="$2" ;;
        --key) key="$2" ;;
        --cert) cert="$2" ;;
        --pkcs11-cert) token_cert="$2" ;;
        --digest) digest="$2" ;;
        --timestamp) timestamps+=("$2") ;;
        --name) name="$2" ;;
        --url) url="$2" ;;
        --ca-file) ca_file="$2" ;;
      esac
      shift 2 ;;
    -h|--help) usage ;;
    --) shift; files+=("$@"); break ;;
    -*) usage "unknown option $1" ;;
    *) files+=("$1"); shift ;;
  esac
done

command -v osslsigncode >/dev/null || { echo "sign-launcher: osslsigncode is missing (scripts/install-deps.sh installs it)" >&2; exit 1; }
case "$digest" in sha256|sha384|sha512) ;; *) usage "--digest must be sha256, sha384 or sha512" ;; esac

# Where the key is: a PFX file, or a PKCS#11 token (a hardware key or HSM).
signer=()
if [ -n "$pfx" ]; then
  [ -z "$module$key$cert$token_cert$engine" ] || usage "--pfx does not go with the PKCS#11 options"
  [ -f "$pfx" ] || { echo "sign-launcher: no PFX file $pfx" >&2; exit 1; }
  signer=(-pkcs12 "$pfx")
elif [ -n "$module" ]; then
  [ -n "$key" ] || usage "--pkcs11-module needs --key"
  [ -n "$cert" ] || [ -n "$token_cert" ] || usage "--pkcs11-module needs --cert or --pkcs11-cert"
  [ -n "$engine" ] && signer+=(-pkcs11engine "$engine")
  signer+=(-pkcs11module "$module")
  if [ -n "$cert" ]; then signer+=(-certs "$cert"); else signer+=(-pkcs11cert "$token_cert"); fi
  signer+=(-key "$key")
else
  usage "give --pfx or --pkcs11-module"
fi
if [ -n "$password_file" ]; then
  [ -f "$password_file" ] || { echo "sign-launcher: no password file $password_file" >&2; exit 1; }
  signer+=(-readpass "$password_file")
fi
options=(-h "$digest" -n "$name")
[ -n "$url" ] && options+=(-i "$url")
for ts in "${timestamps[@]}"; do options+=(-ts "$ts"); done
if [ ${#timestamps[@]} -eq 0 ]; then
  echo "sign-launcher: warning: no --timestamp given: the signatures stop being valid when the certificate expires (fine for a test, never for a release)" >&2
fi

# osslsigncode's advice names its own options; this script has --timestamp.
show_log() {
  sed -e 's/^Use the "-t" option .*/sign-launcher: time-stamping failed; retry, or give another --timestamp URL (several may be given)/' "$1" >&2
}

[ ${#files[@]} -gt 0 ] || files=("$build/Tinderhallow.exe" "$build/TinderhallowTool.exe")
for exe in "${files[@]}"; do
  [ -f "$exe" ] || { echo "sign-launcher: no file $exe" >&2; exit 1; }
done

for exe in "${files[@]}"; do
  # Signed beside the original and renamed over it only when all went
  # well: a failure never leaves a half-signed program behind.
  signed="$(mktemp "$(dirname "$exe")/.signing.XXXXXX")"
  trap 'rm -f "$signed"' EXIT
  rm -f "$signed"
  if ! osslsigncode sign "${signer[@]}" "${options[@]}" -in "$exe" -out "$signed" >"$signed.log" 2>&1; then
    show_log "$signed.log"
    rm -f "$signed" "$signed.log"
    echo "sign-launcher: could not sign $exe" >&2
    exit 1
  fi
  rm -f "$signed.log"
  if [ -n "$ca_file" ] && ! osslsigncode verify -CAfile "$ca_file" -in "$signed" >"$signed.log" 2>&1; then
    cat "$signed.log" >&2
    rm -f "$signed" "$signed.log"
    echo "sign-launcher: the signature of $exe does not verify against $ca_file" >&2
    exit 1
  fi
  rm -f "$signed.log"
  chmod --reference="$exe" "$signed"
  mv -f "$signed" "$exe"
  trap - EXIT
  echo "signed $exe sha256 $(sha256sum "$exe" | cut -d' ' -f1)"
done
