// Fault injection for the flush of a file system: linked into a test binary,
// it stands in for syncfs() there, so that a test can make the flush after
// the copies fail as a failing disk makes it fail.
#pragma once

namespace quillfen::testing {

// The next `count` syncfs() calls of this process fail with `err`; later ones
// reach the system again.
void FailNextSyncs(int err, int count = 1);

// The number of syncfs() calls this process has made so far.
int SyncCalls();

}  // namespace quillfen::testing
