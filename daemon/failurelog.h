#pragma once
#include "link/failure.h"
#include <QString>

// kalmird's log speaks English: each kind of failure as one phrase, with
// its facts. The window's texts (windowText) never reach the log.
QString logText(const Failure &failure);
