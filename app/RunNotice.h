// What an unattended run tells the user's desktop when it did not go well.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace quillfen {

struct RunNotice {
  std::string summary;
  std::string body;  // one line per set with failures, then the settings file
};

// The notice for an unattended program that ends now: `failedSets` the lines
// of the sets with failures (as the status line showed them), `failureCount`
// the failure lines written to standard error, `settingsError` the message
// for a settings file that could not be written (empty when it was). nullopt
// when all went well: a good run is silent.
std::optional<RunNotice> UnattendedRunNotice(const std::vector<std::string>& failedSets,
                                             size_t failureCount, const std::string& settingsError);

}  // namespace quillfen
