#pragma once
#include <QObject>
#include <QPointer>
#include <QString>

class QMessageBox;
class QWidget;

// The application's error handler: every port, file, text or axis error ends
// up here and is shown in a message box. The box is not modal to the program's
// flow: the handler that met the error has already stopped, and polling or a
// search under way goes on.
class ErrorReport : public QObject {
    Q_OBJECT
public:
    explicit ErrorReport(QWidget *owner);
    void report(const QString &message);
    // A lost port: shown like any error unless the box of an earlier loss is
    // still open (a flaky adapter would stack them up); then dropped, since
    // the reply log has its line already.
    void reportPortLoss(const QString &message);
    // While quiet (the window is closing), errors are dropped.
    void setQuiet(bool q) { quiet = q; }

signals:
    void reported(const QString &message);

private:
    QMessageBox *show(const QString &message);

    QWidget *owner;
    QPointer<QMessageBox> portLossBox;
    bool quiet = false;
};
