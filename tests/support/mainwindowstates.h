#pragma once
// What the main window's suites expect of its controls: the enabled
// controls of each column of the state table, and the texts several suites
// check.
#include <QString>

// Enabled controls of each column of the state table, in its row order.
inline const QString StartColumn = QStringLiteral("Button1 Button6 chk1 CheckBox3 CheckBox4");
inline const QString State1 = QStringLiteral("Button1");
inline const QString State2 = QStringLiteral("Button1 Button5 Button3"); // check boxes kept
inline const QString State3 = QStringLiteral("Button1 Button5 Button3 Button2 Button9");
inline const QString State4 = QStringLiteral("Button2 Button7 Button4 Button6 chk1 CheckBox3 CheckBox4");
inline const QString State5 = QStringLiteral("Button2");
inline const QString State6 = QStringLiteral("Button3");

inline const QString Progress = QStringLiteral("Идет поиск... Прибор № ");

inline QString notInteger(const QString &text) { return QStringLiteral("'%1' is not a valid integer value").arg(text); }
