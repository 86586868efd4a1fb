#pragma once
#include "platform/UiThreadCall.h"

#include <QDateTime>
#include <QElapsedTimer>
#include <QPlainTextEdit>
#include <QString>
#include <ctime>

// The history log control: read-only, no wrapping, both scroll bars. It keeps
// its text as the log's own text (lines joined by "\r\n") beside the widget,
// with a running byte count, so the byte limit is measured without re-reading
// and re-encoding the widget. An append changes that text at once; the widget
// follows at the next frame of the screen, all lines that came meanwhile in
// one edit: added at its end, and cut from its front when the limit cut the
// text. In calibration mode hundreds of lines a second come in, more than any
// screen shows or anyone reads, and laying out and painting the newest lines
// is most of what a frame costs; so the widget follows at every sixth frame
// only (10 times a second at 60 Hz): still live to the eye, and as often as
// anyone could read a line, for less CPU in calibration mode than at 20 times
// a second (bench/README.md).
class CHistoryEdit : public QPlainTextEdit {
public:
    CHistoryEdit();
    ~CHistoryEdit() override;

    // TRUE: takes the focus like any entry field; FALSE: hands it straight back.
    int m_bAcceptFocus = 0;

    // The log's whole text, as appended.
    const QString& GetWindowText() const { return m_text; }
    // Its length in bytes of code page 936.
    qsizetype GetWindowTextBytes() const { return m_textBytes; }

    // The appends of other threads run here, on the UI thread.
    CUiThreadCall& UiCall() { return m_uiCall; }

    // Focus handler: previous is the widget that had the focus, or nullptr.
    void OnSetFocus(QWidget* previous);

    // One append's steps that touch the control, run as one unit on the UI thread.
    void AppendLineUnit(const QString& line);

    // How often the widget, out of step with the text, was given the whole
    // text again. Nothing the log's callers write should ever need it.
    int WidgetResyncs() const { return m_resyncs; }

    // The whole line at pos (viewport coordinates) when the widget shows only
    // part of it (longer than the widget is wide, as a recording's path makes
    // a line, or scrolled sideways); empty otherwise. It is the line's tooltip.
    QString CutLineAt(const QPoint& pos) const;

protected:
    bool viewportEvent(QEvent* e) override;

private:
    // The frame's edit: the widget catches up with the text.
    void ShowPending();
    void RequestFrame();
    static void KeepShapedText(QTextDocument* doc, int lastBlocks);

    CUiThreadCall m_uiCall;
    QString m_text;
    qsizetype m_textBytes = 0;
    qsizetype m_textPositions = 0; // of m_text, as the widget counts them
    QString m_pending;             // added to the text since the widget's last edit
    qsizetype m_pendingPositions = 0;
    bool m_showWhole = false; // what waits covers the whole text: show the text
    int m_resyncs = 0;
    bool m_framePending = false; // the next frame brings the widget up to date
    QElapsedTimer m_sinceShown;  // since the widget's last edit
};

// Adds one line "timestamp: text" to the log. Callable from any thread; a
// call from another thread returns once the line is in the log (or at once,
// unrun, when the panel is shutting down).
void AppendHistory(CHistoryEdit& log, const QString& text);

// --- the pure rules behind it ---

inline constexpr qsizetype kHistoryLimitBytes = 10000;
inline constexpr qsizetype kHistoryKeepBytes = 300;
// The widget catches up with the text at most every this many frames.
inline constexpr int kFramesPerShow = 6;

// Converts a calendar time to the local date and time; invalid when it cannot.
using LocalTimeFn = QDateTime (*)(std::time_t);
QDateTime DefaultLocalTime(std::time_t t);

// "yyyy-MM-dd HH:mm:ss" of the local time, or "0000-00-00 -01:-01:-01" when
// there is none.
QString FormatHistoryTimestamp(std::time_t t, LocalTimeFn localTime = DefaultLocalTime);

// Lets tests fix the clock and the conversion; nullptr restores the defaults.
void SetHistoryClock(std::time_t (*now)(), LocalTimeFn localTime);

// Characters of a text as the widget holds them: a "\r\n" line break is one.
qsizetype HistoryPositions(QStringView text);

// Bytes of a text in code page 936 (characters it cannot hold count as one '?').
qsizetype Cp936Length(const QString& text);

// The longest tail of text that takes at most maxBytes in code page 936 and
// starts on a character boundary (a double-byte character is never split).
QString Cp936Tail(const QString& text, qsizetype maxBytes);
