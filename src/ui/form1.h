#pragma once
// The operator window.
#include "decoder.h"
#include "frames.h"
#include <QGroupBox>
#include <QLabel>
#include <QPushButton>
#include <QString>
#include <QWidget>
#include <array>

namespace kestran {

class CheckBox;
class ComboBox;
class Shape;
class SerialControl;
class TextBox;
class Timer;

class Form1 : public QWidget, private FrameOutput {
    Q_OBJECT
public:
    class SetupRecord *setupRecord() const { return m_record; }
    // `comm` is the serial control to use (owned by the caller); nullptr makes a real one.
    explicit Form1(SerialControl *comm = nullptr, QWidget *parent = nullptr);
    ~Form1() override;

    // Runs Form_Load once (also run by the first show when not done before).
    void load();

    // ---- controls (named as in the window description) ----
    QGroupBox *Frame1 = nullptr, *Frame2 = nullptr, *Frame3 = nullptr;
    QLabel *Label1 = nullptr;
    ComboBox *cDEVICE = nullptr, *cCom = nullptr;
    QPushButton *bCONNECT = nullptr, *bRead = nullptr, *bSETUP = nullptr;
    Shape *LEDCommunication = nullptr;
    Timer *Timer1 = nullptr;
    SerialControl *MSComm1 = nullptr;
    QLabel *nTARGET = nullptr, *nACTUAL = nullptr, *nDIFFERENCE = nullptr;
    TextBox *tTARGET = nullptr, *tACTUAL = nullptr, *tDIFFERENCE = nullptr;
    CheckBox *cTARGET = nullptr, *cACTUAL = nullptr, *cRESET = nullptr, *cDEBOUNCE0 = nullptr,
             *cDEBOUNCE1 = nullptr, *cDEBOUNCE2 = nullptr, *cALARM = nullptr;
    TextBox *sTARGET = nullptr, *sACTUAL = nullptr, *sRESET = nullptr, *sDEBOUNCE0 = nullptr,
            *sDEBOUNCE1 = nullptr, *sDEBOUNCE2 = nullptr, *sALARM = nullptr;

    // The seven settings in their fixed order (TARGET, ACTUAL, RESET, DEBOUNCE(0..2), ALARM).
    std::array<CheckBox *, 7> checkBoxes() const;
    std::array<TextBox *, 7> settingFields() const;
    std::array<TextBox *, 3> displays() const;

    // ---- handlers ----
    void Form_Load();
    void bCONNECT_Click();
    void bRead_Click();
    void bSETUP_Click();
    void cDEVICE_Click();
    void MSComm1_OnComm();
    void Timer1_Timer();
    void sTARGET_Change();
    void sACTUAL_Change();
    void sRESET_Change();
    void sDEBOUNCE0_Change();
    void sDEBOUNCE1_Change();
    void sDEBOUNCE2_Change();
    void sALARM_Change();
    void cTARGET_Click();
    void cACTUAL_Click();
    void cRESET_Click();
    void cDEBOUNCE0_Click();
    void cDEBOUNCE1_Click();
    void cDEBOUNCE2_Click();
    void cALARM_Click();
    void ListComPorts();
    void SelectComPort();
    void SendReadAll();
    void SendWrite(QChar index, const QString &value);

    // ---- form-level state ----
    QString mRxChunk;
    ReplyDecoder mRxBuffer;
    bool mTimerDone = false;
    short mComPort = 0;

    // True once the window has been closed (a running Setup then ends at once).
    bool closing() const { return m_closing; }

signals:
    // The message box text shown for a failed open or a lost connection (for tests).
    void problemReported(const QString &text);

protected:
    void showEvent(QShowEvent *e) override;
    void closeEvent(QCloseEvent *e) override;

private:
    void createControls();   // layout: every control with its designed values
    void connectHandlers();
    void openSequence();
    void closeSequence();
    void onConnectionLost(const QString &reason);
    void reportProblem(const QString &text);
    void colourCheck(int setting);     // a setting field's text changed
    void enableFromCheck(int setting); // a check box's value changed
    void readRequest();                // Read and a new device number do the same
    void applyReply(const ReplyUpdate &update);
    bool pause();            // waits for one tick of Timer1; false when the sequence must end

    // FrameOutput
    QString deviceText() const override;
    void output(const QString &piece) override;

    int selectedDevice() const;        // the device number cDEVICE names now
    // What Setup would write as the boxes and fields stand now: index and value field.
    QVector<QPair<char, QString>> plannedWrites() const;
    class SetupRecord *m_record = nullptr;   // the history of what Setup sends

    bool m_loaded = false;
    bool m_closing = false;
};

} // namespace kestran
