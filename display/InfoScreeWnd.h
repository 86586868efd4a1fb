#pragma once
#include "platform/WindowHandle.h"

#include <QFont>
#include <QRawFont>
#include <QWidget>
#include <atomic>
#include <cstdint>

// Shows one integer in large light-yellow digits on a navy field, in place of
// a static control of the panel. m_iValue may be written from any thread,
// followed by InvalidateRect(m_hWnd, nullptr, false); the paint shows whatever
// it holds then.
class CInfoScreeWnd : public QWidget {
    Q_OBJECT
public:
    CInfoScreeWnd();
    ~CInfoScreeWnd() override;

    // UI thread. Takes the control's parent, place and size, goes on top of its
    // siblings, hides the control, shows the readout and gives it its window.
    void SubclassWindow(QWidget* control);
    // UI thread. The window is gone: later repaint requests do nothing.
    void DestroyWindow();

    // The face, cell height, average width and weight of the digits.
    static QFont ReadoutFont();

    std::atomic<int32_t> m_iValue{0};
    char m_szText[256] = {}; // the text of the last paint; UI thread only

    CWndHandle m_hWnd;

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    void PrepareFont();

    // ReadoutFont and its ascent, worked out at the first paint: the readout
    // repaints at every frame while values stream, and finding the font
    // measures it several times.
    QFont m_font;
    int m_iAscent = -1;
    // A number is only ever digits and a minus sign, set one after the other
    // at their advances; their glyphs are looked up once, so that a paint
    // neither shapes the text nor finds the font again. Empty when the face
    // lacks one of them: the paint then sets the text the long way.
    QRawFont m_rawFont;
    quint32 m_glyph[11] = {}; // '0'..'9', '-'
    qreal m_advance[11] = {};
};
