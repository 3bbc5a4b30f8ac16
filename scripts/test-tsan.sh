#!/usr/bin/env bash
# Runs the threads of a backup run under ThreadSanitizer: the tests of the
# run, the listing, the look-ahead, the copies, the closing of descriptors and
# the ending on signals, the watch on a destination that hangs or goes away,
# then whole runs of quillfen_run on a generated tree
# (an initial copy and a no-op, warm; as root also a no-op on a cold cache).
# Any report fails the script. Usage: scripts/test-tsan.sh BUILD-DIR
set -euo pipefail
build=$(cd "${1:?usage: test-tsan.sh BUILD-DIR}" && pwd)
here=$(cd "$(dirname "$0")/.." && pwd)
export TSAN_OPTIONS="halt_on_error=1 exitcode=66 second_deadlock_stack=1 suppressions=$here/testing/tsan.supp"

suites='^(WorkerThreadsTest|LookAhead|ParallelListing|CopyQueue|DeferredCloser|RunLog|CopyPlacesTest|TreeListingTest|BackupRunTest|RunLookAheadTest|RunFaults|RunSoak|RunTrust|RunHostileTrees|EndRequestTest|RunAbsentDestination|RunLostDestination)'
(cd "$build" && ctest --output-on-failure -j "${JOBS:-2}" -R "$suites")

work=$(mktemp -d "${TMPDIR:-/var/tmp}/quillfen-tsan.XXXXXX")
trap 'rm -rf "$work"' EXIT
"$build/bench/gen_tree" create --files 12000 --seed 7 "$work/src" >/dev/null
run() {
  echo "quillfen_run under ThreadSanitizer: $1"
  "$build/bench/quillfen_run" "$work/src" "$work/dst" >/dev/null
}
run "initial copy, 12,000 files"
run "no-op, warm cache"
if [ "$(id -u)" = 0 ] && sync && echo 3 >/proc/sys/vm/drop_caches 2>/dev/null; then
  run "no-op, cold cache (the look-ahead and the listing grow their threads)"
else
  echo "quillfen_run under ThreadSanitizer: cold-cache no-op skipped (dropping the caches needs root)"
fi
echo "ThreadSanitizer: no reports"
