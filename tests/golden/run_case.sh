#!/bin/sh
# Runs driftsim on CASES/NAME.txt in an empty folder and compares the console text (elapsed
# seconds masked as #), NAME.dat, NAME.par and the exit status with the stored ones.
set -u
bin=$1 cases=$2 name=$3
dir=$(mktemp -d) || exit 1
trap 'rm -rf "$dir"' EXIT
cp "$cases/$name.txt" "$dir/" && cd "$dir" || exit 1
"$bin" "$name.txt" > console.txt
status=$?
sed -E 's/(Time_Taken = |TimeTaken\(S\) = )-?[0-9]+/\1#/g' console.txt > console.masked
fail=0
[ "$status" -eq 0 ] || { echo "exit status $status"; fail=1; }
cmp console.masked "$cases/$name.stdout" || fail=1
cmp "$name.dat" "$cases/$name.dat" || fail=1
cmp "$name.par" "$cases/$name.par" || fail=1
[ -z "$(ls -A | grep '\.tmp$')" ] || { echo "temporary file left behind"; fail=1; }
exit $fail
