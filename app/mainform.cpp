#include "mainform.h"
#include "ui_mainform.h"
#include "app/commandcontrols.h"
#include "chart/graph.h"
#include "chart/unit2.h"
#include "status/statusdisplay.h"

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

MainForm::MainForm(QWidget *parent)
    : QWidget(parent), form(std::make_unique<Ui::MainForm>())
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
    FormCreate();
}

MainForm::~MainForm()
{
    // The machinery goes before the widgets it reports to.
    search.disconnect(this);
    cycle.disconnect(this);
}

// The chart window and the value dialog come after the main window, then
// every handler is connected. Nothing is opened and no timer runs yet.
void MainForm::FormCreate()
{
    errorReport = new ErrorReport(this);
    Form1 = std::make_unique<TForm1>();
    Form2 = std::make_unique<TForm2>();
    statusDisplay = std::make_unique<StatusDisplay>(*form, *Form1, s);
    new CommandControls(*this, s); // owned by the window

    connect(Form1.get(), &TForm1::commandStored, this, [this](uint8_t code) { s.storeCommand(code); });
    connect(Form2.get(), &TForm2::commandStored, this, [this](uint8_t code) { s.storeCommand(code); });
    connect(Form1.get(), &TForm1::irWindowChanged, this, [this](uint8_t n) { s.averages.IrWindow = n; });
    connect(Form1.get(), &TForm1::uvWindowChanged, this, [this](uint8_t n) { s.averages.UvWindow = n; });
    connect(Form1.get(), &TForm1::errorRaised, errorReport, &ErrorReport::report);

    connect(form->Button1, &QPushButton::clicked, this, &MainForm::Button1Click);
    connect(form->Button2, &QPushButton::clicked, this, &MainForm::Button2Click);
    connect(form->Button3, &QPushButton::clicked, this, &MainForm::Button3Click);
    connect(form->Button5, &QPushButton::clicked, this, &MainForm::Button5Click);
    connect(form->Button9, &QPushButton::clicked, this, &MainForm::Button9Click);
    connect(form->Button6, &QPushButton::clicked, this, &MainForm::Button6Click);
    form->lblT_UVFault->installEventFilter(this);

    // A port lost between exchanges (an adapter pulled while idle or during
    // the delay between passes) is reported once, by polling if it runs.
    connect(&bcp, &SerialChannel::lostWhileIdle, this, [this](const QString &message) {
        if (cycle.running())
            cycle.abandon(message);
        else
            errorReport->report(message);
    });
    connectPolling();
    connectSearch();
}

void MainForm::Button6Click()
{
    Form1->showChart();
}

void MainForm::lblT_UVFaultDblClick()
{
    Form2->show();
    Form2->raise();
}

bool MainForm::eventFilter(QObject *watched, QEvent *event)
{
    if (watched == form->lblT_UVFault && event->type() == QEvent::MouseButtonDblClick)
        lblT_UVFaultDblClick();
    return QWidget::eventFilter(watched, event);
}

// After the four COM entries and the empty one (COM5) come the ports the
// system reports, by device path, so a USB adapter can be picked from the list.
void MainForm::addFoundPorts()
{
    for (const QSerialPortInfo &port : QSerialPortInfo::availablePorts())
        form->cb1->addItem(port.systemLocation());
}

void MainForm::setUpGrid()
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
void MainForm::setInitialStates()
{
    form->cb1->setCurrentIndex(-1);
    form->cb1->setEditText(QStringLiteral("COM1"));
    form->cb7->setCurrentIndex(-1);
    form->cb7->setEditText(QStringLiteral("9600"));
    form->btn4->hide();
    form->Memo1->setPlainText(QStringLiteral("Запрос\n"));
    form->Memo2->setPlainText(QStringLiteral("Ответ\n"));
}
