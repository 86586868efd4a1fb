#pragma once
#include "platform/WindowHandle.h"

#include <QFont>
#include <QImage>
#include <QRawFont>
#include <QWidget>
#include <atomic>
#include <cstdint>
#include <vector>

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

    // Whether paints copy digits blended once instead of blending them
    // afresh (known after the first paint).
    bool UsesDigitImages() const { return m_bDigitImages; }

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    void PrepareFont();
    // The number as glyphs at their places; the count set.
    int Layout(const char* text, int length, quint32* glyphs, QPointF* positions, int* kinds) const;
    // Digit k blended onto the navy field at the fraction phase of a pixel:
    // the columns its place owns, the field's whole height. Null when its ink
    // leaves those columns (then only the glyph run sets it right) and for a
    // phase finer than the font's 1/64 pixel.
    const QImage& DigitImage(int k, qreal phase);
    // Sets numbers both ways on scratch images; true when they agree.
    bool DigitImagesMatchGlyphRun();
    void DrawGlyphRun(QPainter& dc, const quint32* glyphs, const QPointF* positions, int count);
    // False, having drawn nothing, when a digit has no image.
    bool DrawDigitImages(QPainter& dc, const QPointF* positions, const int* kinds, int count);

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
    // The glyphs' anti-aliased edges are blended with gamma correction, per
    // pixel, at every paint: most of what a readout cost at the screen's
    // rate. On the one navy field a glyph always blends the same, so each is
    // blended once per fraction of a pixel it is set at and then copied.
    // Advances are whole 64ths of a pixel, and so are the fractions: at most
    // 11 x 64 small images (the digits' advances differ, so a digit's
    // fraction depends on the digits before it).
    // Used only where a check on scratch images found the copies to match
    // the glyph run pixel for pixel.
    bool m_bDigitImages = false;
    int m_iDigitHeight = -1; // the field's height the images were made for
    static constexpr int kPhases = 64;
    std::vector<QImage> m_digitImages;    // [k * kPhases + 64ths]
    std::vector<signed char> m_digitMade; // 0 not yet, 1 made, -1 none
    QImage m_noDigitImage;
};
