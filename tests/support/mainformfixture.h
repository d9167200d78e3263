#pragma once
// The main window as its layout tests see it: opened once for a suite, its
// controls found by their layout names.
#include "main/mainwindow.h"

#include <QTest>
#include <QWidget>

#include <memory>

// The widgets of the layout itself, not the internals of combos, tables etc.
inline bool isLaidOutControl(const QWidget *w)
{
    const QString n = w->objectName();
    return !n.isEmpty() && !n.startsWith(QLatin1String("qt_"));
}

struct MainFormFixture {
    Session session{nullptr, MainWindow::DeviceCapacity};
    std::unique_ptr<MainWindow> form;

    // Shows the window as the program starts it.
    bool open()
    {
        applyApplicationLook();
        form = std::make_unique<MainWindow>(session);
        form->show();
        return QTest::qWaitForWindowExposed(form.get());
    }

    template <class T> T *control(const char *name)
    {
        T *w = form->findChild<T *>(QLatin1String(name));
        if (!w)
            qWarning("no %s named %s", T::staticMetaObject.className(), name);
        return w;
    }
};
