// The process exit codes, one name each. The windowed mode and the two
// headless modes end with the first two; the "--certificate" helper with the
// others, which the window reads back from the elevated copy.
#pragma once

namespace vantrel {

// Windowed: the message loop ended (whatever the installation's outcome).
// "--verify", "--verify-ucrt": downloaded and verified. "--certificate": the
// pinned root is in the machine's ROOT store, or was added and found again.
constexpr int kExitSuccess = 0;
// Windowed: another instance runs, or start-up failed. Headless: any failure,
// an unsupported system included.
constexpr int kExitFailure = 1;
// "--certificate": the embedded certificate is missing or fails its pin.
constexpr int kExitCertificateNotEmbedded = 2;
// "--certificate": the machine distrusts the root, or that can't be ruled out.
constexpr int kExitCertificateDistrusted = 3;
// "--certificate": the ROOT store can't be opened for writing.
constexpr int kExitRootStoreNotWritable = 4;
// "--certificate": the add failed, or the root wasn't found afterwards.
constexpr int kExitCertificateNotAdded = 5;

}  // namespace vantrel
