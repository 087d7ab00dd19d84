#pragma once

struct CommandLine;

// `haul --cluster URL get|resume|pause|abort|list`: the same commands as on one data directory,
// run on the back end libhaulcluster.so opens. Main thread; returns the exit status.
int runOnCluster(const CommandLine& line);
