#!/usr/bin/env bash
# scripts/setup.sh with stub id, apt-get and sudo: what it runs or prints as root, with sudo,
# with neither, and without apt-get, and that it says nothing when nothing is missing.
set -euo pipefail
setup=$(cd "$(dirname "$0")/../.." && pwd)/scripts/setup.sh
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
cat >"$dir/packages.txt" <<EOF
# use  package       there when
build  present-tool  command bash
build  missing-lib   file $dir/none.h
test   test-lib      file $dir/none.h
ci     present-file  file $dir/packages.txt
EOF

fails=0
# check NAME UID STUBS USES STATUS TEXT: TEXT must be whole lines of the output, or the output
# empty if "".
check() {
  local name=$1 uid=$2 stubs=$3 uses=$4 status=$5 text=$6 bin=$dir/$1 out rc=0 tool
  mkdir "$bin"
  for tool in bash grep dirname env cat; do ln -s "$(command -v "$tool")" "$bin/$tool"; done
  printf '#!/bin/sh\necho %s\n' "$uid" >"$bin/id"
  case " $stubs " in *" apt-get "*) printf '#!/bin/sh\necho "apt-get $*"\n' >"$bin/apt-get" ;; esac
  case " $stubs " in *" sudo "*) printf '#!/bin/sh\necho "sudo:"\nexec "$@"\n' >"$bin/sudo" ;; esac
  chmod +x "$bin"/*
  # shellcheck disable=SC2086  # USES is a list
  out=$(PATH=$bin DRIFTSIM_PACKAGES=$dir/packages.txt "$bin/bash" "$setup" $uses 2>&1) || rc=$?
  if [ "$rc" -ne "$status" ] || { [ -z "$text" ] && [ -n "$out" ]; } ||
    [[ $'\n'$out$'\n' != *$'\n'"$text"$'\n'* ]]; then
    printf 'FAIL %s: status %s, output:\n%s\n' "$name" "$rc" "$out"
    fails=$((fails + 1))
  fi
}

apt='apt-get -o DPkg::Lock::Timeout=600'
install="$apt install -y -qq --no-install-recommends"
check nothing-missing 1000 "apt-get sudo" ci 0 ""
check root 0 "apt-get sudo" build 0 "installing missing-lib with apt-get
$apt update -qq
$install missing-lib"
check root-tests 0 "apt-get" "build test" 0 "$install missing-lib test-lib"
check sudo 1000 "apt-get sudo" build 0 "installing missing-lib with sudo apt-get (sudo may ask for your password)
sudo:
$apt update -qq
sudo:
$install missing-lib"
check no-sudo 1000 "apt-get" build 1 "  apt-get update && apt-get install -y --no-install-recommends missing-lib"
check no-apt 0 "" "build test" 1 "driftsim needs these, which are missing (Debian's names): missing-lib test-lib"
[ "$fails" -eq 0 ] && echo "setup.sh: 6 cases passed"
