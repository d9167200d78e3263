#pragma once
// The lamps' colours as the windows paint them.
#include <QColor>

inline const QColor Red(255, 0, 0);
inline const QColor Lime(0, 255, 0);
inline const QColor White(255, 255, 255);
