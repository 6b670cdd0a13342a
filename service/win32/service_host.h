// The Ventrix service's process: its entry hands over to the service manager.
#pragma once

namespace ventrix {

// Runs the service until the service manager stops it; 0, or the error that
// kept it from reaching the service manager (started by hand, say).
int runService();

}  // namespace ventrix
