// The launcher's main flow: install the carried package through msiexec, or remove the
// carried product through the installer service.
#pragma once

namespace launcher {

// The process exit code: the installer's or the service's code once the flow has stored one,
// -1 until then (a launcher failure).
int exitCode();

// The payload the launch frame runs; reports failure only by raising.
void installerMain();

}  // namespace launcher
