#pragma once

// The whole program: decides whether this machine is ready (iTunes installed
// and initialised), keeps one instance per user and runs the event loop.
// Returns the process exit status.
int runBelfry(int argc, char **argv);
