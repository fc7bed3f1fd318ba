#include "form1.h"

#include "controls.h"
#include "mdlcomport.h"
#include "frames.h"
#include "linesettings.h"
#include "parameters.h"
#include "portname.h"
#include "openfailure.h"
#include "serialswitch.h"
#include "values.h"

#include <QCloseEvent>
#include <QCoreApplication>
#include <QEventLoop>
#include <QMessageBox>
#include <QShowEvent>

namespace kestran {

namespace {
const QString kOpen = QStringLiteral("Open");
const QString kWait = QStringLiteral("Wait");
const QString kClose = QStringLiteral("Close");
const QString kTitle = QStringLiteral("KESTRAN SETUP");

// Position of a setting in the window's fixed order, by its index character.
int settingSlot(char index)
{
    const auto &order = setupOrder();
    for (int i = 0; i < int(order.size()); ++i)
        if (order[i] == index)
            return i;
    return -1;
}
} // namespace

Form1::Form1(SerialControl *comm, QWidget *parent)
    : QWidget(parent)
{
    createControls();
    MSComm1 = comm ? comm : createSerialControl(this);
    connectHandlers();
}

Form1::~Form1() = default;

std::array<CheckBox *, 7> Form1::checkBoxes() const
{
    return {cTARGET, cACTUAL, cRESET, cDEBOUNCE0, cDEBOUNCE1, cDEBOUNCE2, cALARM};
}

std::array<TextBox *, 7> Form1::settingFields() const
{
    return {sTARGET, sACTUAL, sRESET, sDEBOUNCE0, sDEBOUNCE1, sDEBOUNCE2, sALARM};
}

std::array<TextBox *, 3> Form1::displays() const
{
    return {tTARGET, tACTUAL, tDIFFERENCE};
}

void Form1::connectHandlers()
{
    connect(bCONNECT, &QPushButton::clicked, this, &Form1::bCONNECT_Click);
    connect(bRead, &QPushButton::clicked, this, &Form1::bRead_Click);
    connect(bSETUP, &QPushButton::clicked, this, &Form1::bSETUP_Click);
    connect(cDEVICE, &ComboBox::Click, this, &Form1::cDEVICE_Click);
    connect(Timer1, &Timer::Tick, this, &Form1::Timer1_Timer);
    connect(MSComm1, &SerialControl::OnComm, this, &Form1::MSComm1_OnComm);
    connect(MSComm1, &SerialControl::connectionLost, this, &Form1::onConnectionLost);

    using Handler = void (Form1::*)();
    const std::array<Handler, 7> changes = {&Form1::sTARGET_Change, &Form1::sACTUAL_Change,
        &Form1::sRESET_Change, &Form1::sDEBOUNCE0_Change, &Form1::sDEBOUNCE1_Change,
        &Form1::sDEBOUNCE2_Change, &Form1::sALARM_Change};
    const std::array<Handler, 7> clicks = {&Form1::cTARGET_Click, &Form1::cACTUAL_Click,
        &Form1::cRESET_Click, &Form1::cDEBOUNCE0_Click, &Form1::cDEBOUNCE1_Click,
        &Form1::cDEBOUNCE2_Click, &Form1::cALARM_Click};
    const auto fields = settingFields();
    const auto boxes = checkBoxes();
    for (int i = 0; i < 7; ++i) {
        connect(fields[i], &QLineEdit::textChanged, this, changes[i]);
        connect(boxes[i], &CheckBox::Click, this, clicks[i]);
    }
}

void Form1::load()
{
    if (m_loaded)
        return;
    m_loaded = true;
    Form_Load();
}

void Form1::showEvent(QShowEvent *e)
{
    m_closing = false;
    load();
    QWidget::showEvent(e);
}

void Form1::closeEvent(QCloseEvent *e)
{
    // A Setup sequence waiting in a pause sees this and ends at once.
    m_closing = true;
    QWidget::closeEvent(e);
}

// ---------------------------------------------------------------- start-up

void Form1::Form_Load()
{
    for (TextBox *t : displays())
        t->setText(QString());
    for (TextBox *t : displays())
        t->setEnabled(false);
    for (TextBox *t : displays())
        t->setForeColor(kRed);
    cDEVICE->setListIndex(0);
    for (CheckBox *c : checkBoxes())
        c->setValue(2);
    for (TextBox *s : settingFields())
        s->setEnabled(false);
    bSETUP->setEnabled(false);
    bRead->setEnabled(false);
    LEDCommunication->setFillColor(kButtonFace);
    Timer1->setEnabled(false);
    ListComPorts();
}

void Form1::ListComPorts()
{
    cCom->Clear();
    for (short n = 1; n <= 255; ++n) {
        if (mdlCOMPort::COMPortExists(n)) {
            QString detail;
            if (const auto dev = mdlCOMPort::portTable().device(n)) {
                detail = dev->path;
                if (!dev->description.isEmpty())
                    detail += QStringLiteral(" · ") + dev->description;
            }
            cCom->AddItem(QStringLiteral("COM%1").arg(n), detail);
        }
        QCoreApplication::processEvents();
    }
    // The list ends with nothing selected and an empty text.
    cCom->setListIndex(-1);
    cCom->clearEditText();
    SelectComPort();
}

void Form1::SelectComPort()
{
    const QString wanted = QStringLiteral("COM%1").arg(mComPort);
    for (int i = 0; i < cCom->count(); ++i) {
        if (cCom->itemText(i) == wanted) {
            cCom->setListIndex(i);
            return;
        }
    }
}

// ---------------------------------------------------------------- connection

void Form1::bCONNECT_Click()
{
    if (bCONNECT->text() == kOpen)
        openSequence();
    else
        closeSequence();
}

void Form1::openSequence()
{
    if (cCom->Text().isEmpty())
        return;
    bCONNECT->setText(kWait);

    const QString portText = cCom->Text();
    const PortText port = parsePortText(portText);
    if (port.kind == PortText::Invalid) {
        // Nothing has changed but the caption: put it back and say what the box accepts.
        bCONNECT->setText(kOpen);
        reportProblem(port.problem);
        return;
    }
    const QString path = selectPort(*MSComm1, port, mdlCOMPort::portTable());
    if (!openCounterLine(*MSComm1, kWindowLineSetup)) {
        // A click on "Wait" ran the close sequence while the open waited (the
        // caption tells): the window is already as before; nothing to report.
        if (MSComm1->fault() == SerialFault::Cancelled || bCONNECT->text() != kWait)
            return;
        bCONNECT->setText(kOpen);
        reportProblem(describeOpenFailure(*MSComm1, portText, path, Audience::Window).text(QStringLiteral("\n\n")));
        return;
    }

    LEDCommunication->setFillColor(kGreen);
    cCom->setEnabled(false);
    for (TextBox *t : displays())
        t->setEnabled(true);
    for (TextBox *s : settingFields())
        s->setText(QString());
    SendReadAll();
    bSETUP->setEnabled(true);
    bRead->setEnabled(true);
    for (CheckBox *c : checkBoxes())
        c->setValue(1);
    bCONNECT->setText(kClose);
}

void Form1::closeSequence()
{
    bCONNECT->setText(kOpen);
    MSComm1->setPortOpen(false);
    cCom->setEnabled(true);
    bSETUP->setEnabled(false);
    bRead->setEnabled(false);
    for (CheckBox *c : checkBoxes())
        c->setValue(2);
    for (TextBox *s : settingFields())
        s->setText(QString());
    for (TextBox *t : displays())
        t->setEnabled(false);
    LEDCommunication->setFillColor(kButtonFace);
}

void Form1::onConnectionLost(const QString &reason)
{
    if (bCONNECT->text() == kOpen)
        return;
    const QString portText = cCom->Text();
    closeSequence();
    reportProblem(QStringLiteral("The connection to %1 was lost: %2.\n\n"
                                 "The port has been closed. Check the cable or plug the adapter "
                                 "back in, then press Open.")
                      .arg(portText, reason));
}

void Form1::reportProblem(const QString &text)
{
    emit problemReported(text);
    // Non-blocking, so the window and the serial line stay live behind it.
    auto *box = new QMessageBox(QMessageBox::Warning, kTitle, text, QMessageBox::Ok, this);
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->open();
}

// ---------------------------------------------------------------- frames

QString Form1::deviceText() const
{
    return cDEVICE->Text();
}

void Form1::output(const QString &piece)
{
    // Nothing is ever written to a closed port.
    if (MSComm1->PortOpen())
        MSComm1->setOutput(piece);
}

void Form1::SendReadAll()
{
    kestran::SendReadAll(*this);
}

void Form1::SendWrite(QChar index, const QString &value)
{
    kestran::SendWrite(*this, index, value);
}

// ---------------------------------------------------------------- read and device

void Form1::bRead_Click()
{
    readRequest();
}

void Form1::cDEVICE_Click()
{
    readRequest();
}

void Form1::readRequest()
{
    if (!MSComm1->PortOpen())
        return;
    bSETUP->setEnabled(false);
    bRead->setEnabled(false);
    for (TextBox *s : settingFields())
        s->setText(QString());
    SendReadAll();
    bSETUP->setEnabled(true);
    bRead->setEnabled(true);
}

// ---------------------------------------------------------------- replies

void Form1::MSComm1_OnComm()
{
    if (MSComm1->CommEvent() != short(CommEventCode::Receive))
        return;
    mRxChunk = MSComm1->Input();
    // Each character by itself, so "*" and CR act the same wherever they fall in a read.
    const QString chunk = mRxChunk;
    for (const QChar ch : chunk) {
        if (const auto update = mRxBuffer.feed(ch, deviceAddress(cDEVICE->Text())))
            applyReply(*update);
    }
}

void Form1::applyReply(const ReplyUpdate &update)
{
    const char index = char(update.index.unicode());
    const auto shown = displays();
    if (index >= '0' && index <= '2')
        shown[index - '0']->setText(formatDisplay(update.value));
    const int slot = settingSlot(index);
    if (slot >= 0)
        settingFields()[slot]->setText(update.value);
}

// ---------------------------------------------------------------- setup

void Form1::bSETUP_Click()
{
    if (!MSComm1->PortOpen())
        return;
    bSETUP->setEnabled(false);
    bRead->setEnabled(false);
    const auto &order = setupOrder();
    for (int step = 0; step < int(order.size()); ++step) {
        // Box and field are read only now, when this step's turn has come.
        CheckBox *box = checkBoxes()[step];
        TextBox *field = settingFields()[step];
        if (stepWrites(box->Value(), field->text()))
            SendWrite(QLatin1Char(order[step]), field->text());
        if (!pause())
            return;   // port closed or window gone: nothing more is sent
    }
    SendReadAll();
    bSETUP->setEnabled(true);
    bRead->setEnabled(true);
}

bool Form1::pause()
{
    Timer1->setInterval(kSetupPauseMs);
    Timer1->setEnabled(true);
    mTimerDone = false;
    // Wait in the event loop for the tick; every other handler runs meanwhile.
    while (!mTimerDone) {
        if (m_closing || !MSComm1->PortOpen()) {
            Timer1->setEnabled(false);
            return false;
        }
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    }
    return !m_closing && MSComm1->PortOpen();
}

void Form1::Timer1_Timer()
{
    Timer1->setEnabled(false);
    mTimerDone = true;
}

// ---------------------------------------------------------------- field checks

void Form1::colourCheck(int setting)
{
    TextBox *field = settingFields()[setting];
    const Parameter *p = parameterFor(QLatin1Char(setupOrder()[setting]));
    field->setForeColor(hasValueShape(p->shape, field->text()) ? kGreen : kRed);
}

void Form1::enableFromCheck(int setting)
{
    settingFields()[setting]->setEnabled(checkBoxes()[setting]->Value() == 1);
}

void Form1::sTARGET_Change() { colourCheck(0); }
void Form1::sACTUAL_Change() { colourCheck(1); }
void Form1::sRESET_Change() { colourCheck(2); }
void Form1::sDEBOUNCE0_Change() { colourCheck(3); }
void Form1::sDEBOUNCE1_Change() { colourCheck(4); }
void Form1::sDEBOUNCE2_Change() { colourCheck(5); }
void Form1::sALARM_Change() { colourCheck(6); }
void Form1::cTARGET_Click() { enableFromCheck(0); }
void Form1::cACTUAL_Click() { enableFromCheck(1); }
void Form1::cRESET_Click() { enableFromCheck(2); }
void Form1::cDEBOUNCE0_Click() { enableFromCheck(3); }
void Form1::cDEBOUNCE1_Click() { enableFromCheck(4); }
void Form1::cDEBOUNCE2_Click() { enableFromCheck(5); }
void Form1::cALARM_Click() { enableFromCheck(6); }

} // namespace kestran
