#pragma once
#include <QDialog>

class QLabel;
class QPushButton;
class QTableWidget;
class Session;

// "Статистика связи": the communication counts of the listed devices, one
// row each, the address first, kept up to date while the window is open.
// "Сбросить" sets every count back to zero. Modeless; closing only hides it.
class CommStatsWindow : public QDialog {
    Q_OBJECT

public:
    explicit CommStatsWindow(Session &session, QWidget *parent = nullptr);

    // Shows the window in front, filled with the current counts.
    void open();
    void refresh();

    QTableWidget *table = nullptr;
    QPushButton *resetButton = nullptr;
    QLabel *portLosses = nullptr; // "Потери порта: N", for the whole line

protected:
    void showEvent(QShowEvent *event) override;

private:
    void fitToTable();

    Session &session;
};
