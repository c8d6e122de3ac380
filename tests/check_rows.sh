#!/bin/sh
# Fails unless the last ctest run in BUILD proved every x86 CPU row: each row-wise test passed
# for each row natively or emulated (MODE emulated: emulated). A row whose tests ran neither
# way fails here, as one whose tests failed does.
set -u
build=$1 mode=${2:-any}
log=$build/Testing/Temporary/LastTest.log
[ -f "$log" ] || { echo "check_rows: no test log in $build"; exit 1; }
fail=0
for test in Kernels.GiveThePortableBytes Kernels.TransmitLikePortableAtEveryEdge \
  Kernels.PackedCodesLikePortable ReferenceRuns.MatchTheReference \
  ReferenceRuns.MatchTheReferenceWithModelOptions GoldenCases.GiveTheStoredFilesOnEveryRow; do
  line="$test:"
  for row in avx2 avx2_pdep avx512; do
    if [ "$mode" != emulated ] && grep -Eq "^\[       OK \] [^ ]*$test/$row \(" "$log"; then
      how=native
    elif grep -Eq "^\[       OK \] [^ ]*$test/${row}_emulated \(" "$log"; then
      how=emulated
    else
      how=NOT-RUN
      fail=1
    fi
    line="$line $row $how,"
  done
  echo "${line%,}"
done
[ $fail -eq 0 ] || echo "check_rows: some rows were proven neither natively nor emulated"
exit $fail
