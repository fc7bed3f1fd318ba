#pragma once
// The window's controls, behaving as the operator window needs: check boxes with
// three values, an interval timer that never fires at interval 0, a filled
// rectangle for the lamp, text boxes with a settable text colour, and combo
// boxes whose selection only changes when an entry is picked.
#include <QCheckBox>
#include <QComboBox>
#include <QColor>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QObject>
#include <QTimer>
#include <QWidget>

namespace kestran {

// Colours as 0x00BBGGRR; a value with the top bit set names a system colour
// (0x8000000F: button face).
constexpr quint32 kGreen = 0x00C000;
constexpr quint32 kRed = 0x0000FF;
constexpr quint32 kBlue = 0xFF0000;
constexpr quint32 kButtonFace = 0x8000000F;
QColor toQColor(quint32 bgr);

// Value 0 unticked, 1 ticked, 2 greyed. Setting Value from code raises Click
// inside the call when the value changes. An operator's click turns 1 into 0,
// and 0 or 2 into 1.
class CheckBox : public QCheckBox {
    Q_OBJECT
public:
    explicit CheckBox(const QString &caption, QWidget *parent = nullptr);
    int Value() const;
    void setValue(int value);
signals:
    void Click();
protected:
    void nextCheckState() override;
};

// Single-line text box with a text colour in 0x00BBGGRR.
class TextBox : public QLineEdit {
    Q_OBJECT
public:
    explicit TextBox(QWidget *parent = nullptr);
    quint32 ForeColor() const { return m_foreColor; }
    void setForeColor(quint32 bgr);
private:
    quint32 m_foreColor = 0x80000008;  // window text
};

// Edit-and-drop-down list. Only picking an entry changes the selection and
// raises Click: every pick from the drop-down (mouse or keyboard, the current
// entry too) and every move by the arrow keys, and a change of ListIndex from
// code. Typed text never does, not on Enter and not when focus leaves; it is
// compared with nothing.
class ComboBox : public QComboBox {
    Q_OBJECT
public:
    // Item role holding the detail shown beside an entry in the drop-down.
    static constexpr int DetailRole = Qt::UserRole + 1;

    explicit ComboBox(QWidget *parent = nullptr);
    int ListIndex() const { return currentIndex(); }
    void setListIndex(int index);
    QString Text() const { return currentText(); }
    void setText(const QString &text) { setEditText(text); }
    // Append an entry; `detail` is shown beside it in the drop-down only.
    void AddItem(const QString &text, const QString &detail = QString());
    // Remove every entry and empty the text; nothing selected. Raises no Click.
    void Clear();
    QString Detail(int index) const;
signals:
    void Click();
private:
    void updatePopupWidth();
};

// A solid filled rectangle (the connection lamp).
class Shape : public QWidget {
    Q_OBJECT
public:
    explicit Shape(QWidget *parent = nullptr);
    quint32 FillColor() const { return m_fill; }
    void setFillColor(quint32 bgr);
protected:
    void paintEvent(QPaintEvent *) override;
private:
    quint32 m_fill = kButtonFace;
};

// Interval timer: ticks only while Enabled and Interval > 0 (a precise timer).
class Timer : public QObject {
    Q_OBJECT
public:
    explicit Timer(QObject *parent = nullptr);
    int Interval() const { return m_interval; }
    void setInterval(int ms);
    bool Enabled() const { return m_enabled; }
    void setEnabled(bool on);
signals:
    void Tick();   // the interval elapsed
private:
    void apply();
    QTimer m_timer;
    int m_interval = 0;
    bool m_enabled = true;
};

} // namespace kestran
