#include "shell/HistoryEdit.h"

#include "platform/FrameClock.h"

#include <QApplication>
#include <QHelpEvent>
#include <QPointer>
#include <QScrollBar>
#include <QStringEncoder>
#include <QTextBlock>
#include <QTextCursor>
#include <QTextDocument>
#include <QTextLayout>
#include <QToolTip>

namespace {
std::time_t (*g_now)() = nullptr;
LocalTimeFn g_localTime = nullptr;

const QString kLineBreak = QStringLiteral("\r\n");

qsizetype CharBytes(QStringView ch) {
    if (ch.size() == 1 && ch[0].unicode() < 0x80)
        return 1;
    // The unified ideographs of Unicode 1.1, all double-byte in GBK: most of
    // what the log's texts hold that is not ASCII.
    if (ch.size() == 1 && ch[0].unicode() >= 0x4E00 && ch[0].unicode() <= 0x9FA5)
        return 2;
    // Made once per thread: making a converter costs far more than encoding
    // one character, and in calibration mode every decoded record's log line
    // is measured here, character by character.
    thread_local QStringEncoder enc("GBK", QStringConverter::Flag::Stateless);
    const QByteArray b = enc.encode(ch);
    // GBK has no four-byte forms; what it cannot hold becomes one '?'.
    return b.isEmpty() || b.size() > 2 ? 1 : b.size();
}
} // namespace

QDateTime DefaultLocalTime(std::time_t t) {
    return QDateTime::fromSecsSinceEpoch(qint64(t));
}

void SetHistoryClock(std::time_t (*now)(), LocalTimeFn localTime) {
    g_now = now;
    g_localTime = localTime;
}

QString FormatHistoryTimestamp(std::time_t t, LocalTimeFn localTime) {
    const QDateTime local = localTime(t);
    // Without a local time the stamp is what the log has always shown then,
    // each field at its fallback (the date's 0, the time's -1), so that the
    // line keeps its "stamp: text" shape.
    if (!local.isValid())
        return QStringLiteral("0000-00-00 -01:-01:-01");
    return local.toString(QStringLiteral("yyyy-MM-dd HH:mm:ss"));
}

qsizetype HistoryPositions(QStringView text) {
    qsizetype n = text.size();
    for (qsizetype i = 1; i < text.size(); ++i)
        if (text[i] == u'\n' && text[i - 1] == u'\r')
            --n;
    return n;
}

qsizetype Cp936Length(const QString& text) {
    qsizetype n = 0;
    for (qsizetype i = 0; i < text.size();) {
        const qsizetype len = text[i].isHighSurrogate() && i + 1 < text.size() ? 2 : 1;
        n += CharBytes(QStringView(text).mid(i, len));
        i += len;
    }
    return n;
}

QString Cp936Tail(const QString& text, qsizetype maxBytes) {
    qsizetype start = text.size();
    qsizetype bytes = 0;
    while (start > 0) {
        qsizetype len = 1;
        if (start >= 2 && text[start - 1].isLowSurrogate() && text[start - 2].isHighSurrogate())
            len = 2;
        const qsizetype b = CharBytes(QStringView(text).mid(start - len, len));
        if (bytes + b > maxBytes)
            break;
        bytes += b;
        start -= len;
    }
    return text.mid(start);
}

CHistoryEdit::CHistoryEdit() {
    setReadOnly(true);
    setLineWrapMode(QPlainTextEdit::NoWrap);
    setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    setUndoRedoEnabled(false);
    // The widget gets the focus first and hears who had it only afterwards.
    connect(qApp, &QApplication::focusChanged, this, [this](QWidget* old, QWidget* now) {
        if (now == this)
            OnSetFocus(old);
    });
}

CHistoryEdit::~CHistoryEdit() {
    m_uiCall.Close();
}

void CHistoryEdit::OnSetFocus(QWidget* previous) {
    if (m_bAcceptFocus)
        return;
    // Nobody to hand it back to: clearing the focus is the nearest thing.
    if (previous)
        previous->setFocus(Qt::OtherFocusReason);
    else
        clearFocus();
}

QString CHistoryEdit::CutLineAt(const QPoint& pos) const {
    const QTextBlock block = cursorForPosition(pos).block();
    if (!block.isValid())
        return {};
    const QRectF line = blockBoundingGeometry(block).translated(contentOffset());
    if (pos.y() < line.top() || pos.y() >= line.bottom())
        return {};
    const qreal right = line.left() + document()->documentMargin() +
                        QFontMetricsF(font()).horizontalAdvance(block.text());
    if (horizontalScrollBar()->value() == 0 && right <= viewport()->width())
        return {};
    return block.text();
}

// The log keeps a line to a row: wrapped, a recording's path would take two
// or three of the five rows the log has. A line it shows only in part is
// there whole as its tooltip.
bool CHistoryEdit::viewportEvent(QEvent* e) {
    if (e->type() != QEvent::ToolTip)
        return QPlainTextEdit::viewportEvent(e);
    const auto* help = static_cast<QHelpEvent*>(e);
    const QString line = CutLineAt(help->pos());
    if (line.isEmpty()) {
        QToolTip::hideText();
        e->ignore();
    } else {
        // As rich text, so that a long line wraps in the tooltip.
        QToolTip::showText(help->globalPos(), Qt::convertFromPlainText(line), viewport());
    }
    return true;
}

void CHistoryEdit::AppendLineUnit(const QString& line) {
    if (m_textBytes > kHistoryLimitBytes) {
        m_text = Cp936Tail(m_text, kHistoryKeepBytes);
        m_textBytes = Cp936Length(m_text);
        m_textPositions = HistoryPositions(m_text);
    }
    const QString added = m_text.isEmpty() ? line : kLineBreak + line;
    const qsizetype addedPositions = HistoryPositions(added);
    m_text += added;
    m_textBytes += Cp936Length(added);
    m_textPositions += addedPositions;

    // The control catches up at the next frame. Once what waits covers the
    // whole text, the text itself is what the control will get.
    if (!m_showWhole) {
        m_pending += added;
        m_pendingPositions += addedPositions;
        if (m_pendingPositions >= m_textPositions) {
            m_showWhole = true;
            m_pending.clear();
            m_pendingPositions = 0;
        }
    }
    if (!m_framePending) {
        m_framePending = true;
        RequestFrame();
    }
}

void CHistoryEdit::RequestFrame() {
    CFrameClock::Request([self = QPointer<CHistoryEdit>(this)] {
        if (self)
            self->ShowPending();
    });
}

// The widget lays a line out only when it comes into view (the newest lines,
// at every frame) and by default lets the shaped text go at once, so that
// painting the line shapes it all over again. The lines a frame adds keep
// theirs: only lines laid out hold any, and the log holds few lines.
void CHistoryEdit::KeepShapedText(QTextDocument* doc, int lastBlocks) {
    QTextBlock b = doc->lastBlock();
    for (int i = 0; i < lastBlocks && b.isValid(); ++i, b = b.previous())
        b.layout()->setCacheEnabled(true);
}

void CHistoryEdit::ShowPending() {
    // At most every kFramesPerShow-th frame: frames come at least a period
    // apart, so half a period short of that many periods is that frame.
    const int period = CFrameClock::PeriodMs();
    if (m_sinceShown.isValid() && 2 * m_sinceShown.elapsed() < (2 * kFramesPerShow - 1) * period) {
        RequestFrame();
        return;
    }
    m_sinceShown.start();
    m_framePending = false;
    QTextDocument* doc = document();
    const qsizetype shown = doc->characterCount() - 1;
    QTextCursor c(doc);
    c.beginEditBlock();
    int before = 1;
    if (m_showWhole) {
        c.select(QTextCursor::Document);
        c.insertText(m_text);
    } else {
        // New lines at the end; what the byte limit cut off, from the front.
        before = doc->blockCount();
        c.movePosition(QTextCursor::End);
        c.insertText(m_pending);
        const qsizetype cut = shown + m_pendingPositions - m_textPositions;
        if (cut > 0) {
            c.setPosition(0);
            c.setPosition(int(cut), QTextCursor::KeepAnchor);
            c.removeSelectedText();
            before = 1;
        }
    }
    KeepShapedText(doc, doc->blockCount() - before + 1);
    c.endEditBlock();
    m_pending.clear();
    m_pendingPositions = 0;
    m_showWhole = false;
    // Characters the control counts otherwise (none the log's callers write)
    // would leave it out of step: then it gets the whole text.
    if (doc->characterCount() - 1 != m_textPositions) {
        ++m_resyncs;
        QTextCursor all(doc);
        all.select(QTextCursor::Document);
        all.insertText(m_text);
    }
    // Bring the newest line into view, from the line's start.
    verticalScrollBar()->setValue(verticalScrollBar()->maximum());
    horizontalScrollBar()->setValue(horizontalScrollBar()->minimum());
}

void AppendHistory(CHistoryEdit& log, const QString& text) {
    const std::time_t now = g_now ? g_now() : std::time(nullptr);
    const LocalTimeFn localTime = g_localTime ? g_localTime : DefaultLocalTime;
    // In calibration mode hundreds of lines a second share their second; its
    // timestamp is made once.
    thread_local std::time_t stampTime = 0;
    thread_local LocalTimeFn stampFn = nullptr;
    thread_local QString stamp;
    if (now != stampTime || localTime != stampFn || stamp.isEmpty()) {
        stamp = FormatHistoryTimestamp(now, localTime);
        stampTime = now;
        stampFn = localTime;
    }
    const QString line = stamp + QStringLiteral(": ") + text;
    log.UiCall().Call([&log, &line] { log.AppendLineUnit(line); });
}
