// Start-up of the daemon, from detaching to serving.
#pragma once

// Runs the whole start-up sequence and then the request loop; returns the
// process's exit status on the paths that end it.
int daemon_main(int argc, char** argv);
