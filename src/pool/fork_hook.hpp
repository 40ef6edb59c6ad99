#pragma once
// A child process forked while pools exist has none of their workers: only
// the forking thread comes along. The hook makes the child forget them, so
// that nothing there waits for threads that do not exist.

namespace torvan::pool {

// Registers the hook with os.register_at_fork, once per process. Raises a
// PyError on failure.
void install_fork_hook();

}  // namespace torvan::pool
