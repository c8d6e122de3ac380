#!/bin/sh
# Fails unless a test log (a build folder: its last ctest run; or a file of GoogleTest's
# output) shows every x86 CPU row proven: each row-wise test passed for each row natively or
# emulated (MODE emulated: emulated). A row whose tests ran neither way fails here, as one
# whose tests failed does: a filter that matches no test passes in GoogleTest and in ctest.
set -u
log=$1 mode=${2:-any}
[ -d "$log" ] && log=$log/Testing/Temporary/LastTest.log
[ -f "$log" ] || { echo "check_rows: no test log $log"; exit 1; }
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
