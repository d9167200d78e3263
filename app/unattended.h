#pragma once
#include "startoptions.h"

class MainWindow;

// The end of a run started with --quit-after: after the given time the
// window pictures go to the --shots folder, the communication statistics to
// stdout, and the program ends as closing the window would end it.
void scheduleUnattendedEnd(MainWindow &window, const StartOptions &options);
