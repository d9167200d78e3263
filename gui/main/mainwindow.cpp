#include "main/mainwindow.h"
#include "ui_mainform.h"
#include "main/commandpanel.h"
#include "chart/chartwindow.h"
#include "dialogs/uvfaulttimedialog.h"
#include "dialogs/commstatswindow.h"
#include "monitor/monitorwindow.h"
#include "main/statuspanel.h"

#include <QApplication>
#include <QHeaderView>
#include <QProxyStyle>
#include <QSerialPortInfo>
#include <array>

namespace {
// Pixel widths of the exchange grid's 19 columns, "Адрес" to "SERIAL".
constexpr std::array<int, 19> gridColumnWidths{43, 38, 38, 44, 35, 39, 41, 73, 55, 55,
                                               59, 33, 32, 40, 38, 37, 43, 53, 47};

// Grid cells keep their text 2 px from the cell edges, as a string grid does;
// with the style's wider margins "Медленно" would not fit its 55 px column.
class GridCellStyle : public QProxyStyle {
public:
    int pixelMetric(PixelMetric metric, const QStyleOption *option,
                    const QWidget *widget) const override
    {
        if (metric == PM_FocusFrameHMargin)
            return 1;
        return QProxyStyle::pixelMetric(metric, option, widget);
    }
};
} // namespace

void applyApplicationLook()
{
    QApplication::setStyle(QStringLiteral("Fusion"));
    QApplication::setFont(QFont(QStringLiteral("DejaVu Sans"), 8));
}

MainWindow::MainWindow(Session &session, QWidget *parent)
    : QWidget(parent), sessionRef(session), form(std::make_unique<Ui::MainForm>())
{
    form->setupUi(this);
    // System menu and minimise only: the layout is absolute, so no resizing
    // and no maximising.
    setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint
                   | Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint
                   | Qt::WindowCloseButtonHint);
    setFixedSize(ClientWidth, ClientHeight);

    addFoundPorts();
    setUpGrid();
    setInitialStates();
    createWindowsAndConnect();
}

MainWindow::~MainWindow()
{
    // The session outlives the window: nothing of it may report to the widgets now.
    sessionRef.disconnect(this);
}

// The chart window and the value dialog come after the main window, then
// every handler is connected. Nothing is opened and no timer runs yet.
void MainWindow::createWindowsAndConnect()
{
    errorReport = new ErrorReport(this);
    chart = std::make_unique<ChartWindow>();
    uvFaultTime = std::make_unique<UvFaultTimeDialog>();
    commStats = std::make_unique<CommStatsWindow>(sessionRef);
    statusPanel = std::make_unique<StatusPanel>(*form);
    commandPanel = new CommandPanel(*this, *uvFaultTime);

    connect(commandPanel, &CommandPanel::commandRequested, this, &MainWindow::requestCommand);
    // The chart's buttons command the detector it shows.
    connect(chart.get(), &ChartWindow::commandRequested, this,
            [this](Command command, std::optional<uint8_t> target) { sessionRef.requestCommand(command, target); });
    connect(uvFaultTime.get(), &UvFaultTimeDialog::commandRequested, this, &MainWindow::requestCommand);
    connect(chart.get(), &ChartWindow::irWindowChanged, &sessionRef, &Session::setIrAverageWindow);
    connect(chart.get(), &ChartWindow::uvWindowChanged, &sessionRef, &Session::setUvAverageWindow);
    connect(chart.get(), &ChartWindow::errorRaised, errorReport, &ErrorReport::report);

    connect(form->Button1, &QPushButton::clicked, this, &MainWindow::onConnectClicked);
    connect(form->Button2, &QPushButton::clicked, this, &MainWindow::onPollClicked);
    connect(form->Button3, &QPushButton::clicked, this, &MainWindow::onSearchClicked);
    connect(form->Button5, &QPushButton::clicked, this, &MainWindow::onAddDeviceClicked);
    connect(form->Button9, &QPushButton::clicked, this, &MainWindow::onClearTableClicked);
    connect(form->Button6, &QPushButton::clicked, this, &MainWindow::onChartClicked);
    form->lblT_UVFault->installEventFilter(this);

    connect(&sessionRef, &Session::portLost, this, [this](const Failure &f) { errorReport->reportPortLoss(windowText(f)); });
    connectPortWatch();
    connectPolling();
    connectDeviceGrid();
    connectSearch();
    connectCommStats();
    connectMonitorAndFastSearch();
}

void MainWindow::requestCommand(Command command)
{
    sessionRef.requestCommand(command, std::nullopt, commandPanel->valueReader(command));
}

void MainWindow::onChartClicked()
{
    chart->showChart();
}

void MainWindow::onUvFaultTimeDoubleClicked()
{
    uvFaultTime->show();
    uvFaultTime->raise();
}

bool MainWindow::eventFilter(QObject *watched, QEvent *event)
{
    if (watched == form->lblT_UVFault && event->type() == QEvent::MouseButtonDblClick)
        onUvFaultTimeDoubleClicked();
    return QWidget::eventFilter(watched, event);
}

// After the four COM entries and the empty one (COM5) come the ports the
// system reports, by device path, so a USB adapter can be picked from the list.
void MainWindow::addFoundPorts()
{
    for (const QSerialPortInfo &port : QSerialPortInfo::availablePorts())
        form->cb1->addItem(port.systemLocation());
}

void MainWindow::setUpGrid()
{
    QHeaderView *header = form->sg1->horizontalHeader();
    // The header does not follow a font set on its table alone, and the
    // header texts only fit the fixed column widths in the table's small font.
    header->setFont(form->sg1->font());
    header->setSectionResizeMode(QHeaderView::Fixed);
    header->setStretchLastSection(false);
    auto *cellStyle = new GridCellStyle;
    cellStyle->setParent(form->sg1);
    form->sg1->setStyle(cellStyle);
    for (int col = 0; col < int(gridColumnWidths.size()); ++col)
        form->sg1->setColumnWidth(col, gridColumnWidths[col]);
}

// States the .ui cannot express: a combo showing text with no entry
// selected, a button hidden until the device grants service access, and the
// logs' first lines (a title, then an empty line).
void MainWindow::setInitialStates()
{
    form->cb1->setCurrentIndex(-1);
    form->cb1->setEditText(QStringLiteral("COM1"));
    form->cb7->setCurrentIndex(-1);
    form->cb7->setEditText(QStringLiteral("9600"));
    form->btn4->hide();
    form->Memo1->setPlainText(QStringLiteral("Запрос\n"));
    form->Memo2->setPlainText(QStringLiteral("Ответ\n"));
}
