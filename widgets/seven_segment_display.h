// A row of seven-segment digits painted from segment masks, as the controller's
// front panel shows its value and channel readouts.
//
// The widget only paints: which segments are lit comes from the masks of
// engine/seven_segment.h (bit 1 top, 2 middle, 4 bottom, 8 upper left,
// 16 upper right, 32 lower left, 64 lower right, 128 the decimal point after
// the digit). Lit segments are filled in the readout's colour on a black
// ground; unlit segments are not drawn at all, so they vanish into the ground
// as they do on the panel.
//
// The figure scales with the widget: the digits are as tall as the widget's
// height (less a margin) allows, narrowed when its width is short, and centred.
// The size hint is that of the digit height set with setDigitHeight.
#pragma once

#include <QColor>
#include <QList>
#include <QWidget>

#include <array>
#include <cstddef>

namespace qlx {

class SevenSegmentDisplay : public QWidget {
    Q_OBJECT
public:
    // `digits` digits, all blank, lit segments in `lit`.
    explicit SevenSegmentDisplay(int digits, const QColor &lit, QWidget *parent = nullptr);

    int digitCount() const { return int(m_masks.size()); }

    // The masks left to right. Missing digits become blank, extra masks are ignored.
    // Repaints only when something changed.
    void setMasks(const QList<quint8> &masks);
    template <std::size_t N>
    void setMasks(const std::array<quint8, N> &masks)
    {
        setMasks(QList<quint8>(masks.begin(), masks.end()));
    }
    QList<quint8> masks() const { return m_masks; }

    QColor litColor() const { return m_lit; }
    void setLitColor(const QColor &lit);

    // Height of one digit's figure in the size hint, pixels.
    int digitHeight() const { return m_digitHeight; }
    void setDigitHeight(int pixels);

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    QList<quint8> m_masks;
    QColor m_lit;
    int m_digitHeight = 40;
};

} // namespace qlx
