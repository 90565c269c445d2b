#include "packer/options.h"

#include "packer/failure.h"
#include "packer/terminal.h"

namespace packer {

void Warn(const Options& options, const std::string& message) {
  ++*options.warnings;
  if (options.werror)
    PrintLine(stderr, "setuppack: error (--werror): " + message);
  else if (!options.quiet)
    PrintLine(stderr, "setuppack: warning: " + message);
}

void FailOnWarnings(const Options& options) {
  int warnings = options.warnings->load();
  if (options.werror && warnings > 0)
    throw Failure(std::to_string(warnings) + " warning" + (warnings == 1 ? "" : "s") +
                  ", fatal with --werror; nothing was written");
}

}  // namespace packer
