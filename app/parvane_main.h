// The tool's entry routine, called by the platform's start-up.
#pragma once

// Prints the banner, reads the options, sets the priorities, makes sure the
// master driver runs (StartMasterDriver) and runs the bus check (RunChecks).
// Returns the 32-bit status of the run: 0 when every step passed.
int ParvaneMain(int argc, char** argv);
