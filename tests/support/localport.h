#pragma once
#include <QtGlobal>

// A free TCP port of 127.0.0.1 (bound and let go; the caller takes it at once).
quint16 freeLocalPort();
