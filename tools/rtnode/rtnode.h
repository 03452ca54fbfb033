// The rtnode utility: looks into the node's directories, waits for names,
// reads a process's command line and stops processes.
#pragma once

// The entry routine; exit status 0 for success, 1 for a failure or a wait
// that ran out, 2 for a usage error.
int RtnodeMain(int argc, char** argv);
