#include "main/mainwindow.h"
#include "ui_mainform.h"

#include <QApplication>
#include <QCommandLineParser>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("kalmir"));
    applyApplicationLook();

    QCommandLineParser options;
    options.setApplicationDescription(QStringLiteral("Service tool for КАЛМИР-ИК/УФ flame detectors"));
    options.addHelpOption();
    const QCommandLineOption port(QStringLiteral("port"),
                                  QStringLiteral("Port to show in the port list, e.g. /dev/ttyUSB0."),
                                  QStringLiteral("name"));
    options.addOption(port);
    options.process(app);

    Session session;
    MainWindow mainWindow(session);
    if (options.isSet(port))
        mainWindow.ui()->cb1->setEditText(options.value(port));
    mainWindow.show();
    return app.exec();
}
