#!/usr/bin/env bash
# Installs the Debian packages of packages.txt that the uses given (build, test, ci, workflow)
# need and that are missing: with apt-get as root, else with sudo apt-get, else it prints the
# command to run as root and fails. Prints nothing when nothing is missing.
set -euo pipefail
list=${DRIFTSIM_PACKAGES:-$(dirname "$0")/../packages.txt}

missing=()
while read -r use package kind what; do
  case " $* " in *" $use "*) ;; *) continue ;; esac
  case $kind in
    command) command -v "$what" >/dev/null && continue ;;
    file) [ -e "$what" ] && continue ;;
    *) echo "$list: unknown check '$kind' for $package" >&2; exit 1 ;;
  esac
  missing+=("$package")
done < <(grep -v '^ *\(#\|$\)' "$list")
[ ${#missing[@]} -gt 0 ] || exit 0

if ! command -v apt-get >/dev/null; then
  echo "driftsim needs these, which are missing (Debian's names): ${missing[*]}" >&2
  echo "Install them with this system's package manager, or run make SETUP=true to skip this check." >&2
  exit 1
fi
# Waits for another apt run to finish rather than failing at once.
apt=(apt-get -o DPkg::Lock::Timeout=600)
install=(env DEBIAN_FRONTEND=noninteractive "${apt[@]}" install -y -qq --no-install-recommends)
if [ "$(id -u)" -ne 0 ]; then
  if ! command -v sudo >/dev/null; then
    echo "driftsim needs these Debian packages: ${missing[*]}" >&2
    echo "Install them as root, then run make again:" >&2
    echo "  apt-get update && apt-get install -y --no-install-recommends ${missing[*]}" >&2
    exit 1
  fi
  echo "installing ${missing[*]} with sudo apt-get (sudo may ask for your password)"
  apt=(sudo "${apt[@]}")
  install=(sudo "${install[@]}")
else
  echo "installing ${missing[*]} with apt-get"
fi
"${apt[@]}" update -qq
"${install[@]}" "${missing[@]}"
