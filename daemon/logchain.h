#pragma once
#include "link/failure.h"
#include <QString>

// A device log bounded by size: "dev5.txt" is written; when it is full it
// becomes "dev5.1.txt", the one before that "dev5.2.txt", and so on up to
// `keep` files, the oldest going.

// The n-th older file of a log: chainPath("d/dev5.txt", 2) is "d/dev5.2.txt".
QString chainPath(const QString &path, int n);
// Moves the log at `path` into the chain (with keep 0 it is removed). A
// missing link of the chain is no error; a file that will not move is.
std::optional<Failure> rotateLogChain(const QString &path, int keep);
// Tries the folder as the service will use it: creates it and a file in it,
// then removes the file. Empty when it works, else what failed and why, the
// folder called `what` in the text.
QString logFolderProblem(const QString &dir, const QString &what = QStringLiteral("the log folder"));
