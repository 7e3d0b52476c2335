#include "widgets/seven_segment_display.h"

#include <QPaintEvent>
#include <QPainter>
#include <QPainterPath>
#include <QPolygonF>

#include <algorithm>
#include <cmath>

namespace qlx {

namespace {

// Proportions of the figure, in units of a digit's height.
constexpr double kMargin = 0.12;    // around the row of digits
constexpr double kWidth = 0.56;     // one digit's figure
constexpr double kPointRoom = 0.22; // right of a figure: its decimal point and the gap to the next digit
constexpr double kBar = 0.13;       // thickness of a segment
constexpr double kGap = 0.2;        // between the ends of two segments, in bar thicknesses
constexpr double kPoint = 0.15;     // diameter of the decimal point

const QColor kGround(Qt::black);

// A horizontal bar with pointed ends: its centre line runs from x0 to x1 at y.
QPolygonF horizontalBar(double x0, double x1, double y, double t)
{
    const double h = t / 2;
    return QPolygonF({QPointF(x0, y), QPointF(x0 + h, y - h), QPointF(x1 - h, y - h), QPointF(x1, y),
                      QPointF(x1 - h, y + h), QPointF(x0 + h, y + h)});
}

// A vertical bar with pointed ends: its centre line runs from y0 to y1 at x.
QPolygonF verticalBar(double x, double y0, double y1, double t)
{
    const double h = t / 2;
    return QPolygonF({QPointF(x, y0), QPointF(x + h, y0 + h), QPointF(x + h, y1 - h), QPointF(x, y1),
                      QPointF(x - h, y1 - h), QPointF(x - h, y0 + h)});
}

// The lit segments of one mask, the figure's top left corner at (left, top), `height` tall.
QPainterPath digitPath(quint8 mask, double left, double top, double height)
{
    const double t = kBar * height;
    const double g = kGap * t;
    const double xl = left + t / 2;                    // centre lines of the left and right bars
    const double xr = left + kWidth * height - t / 2;
    const double yt = top + t / 2;                     // centre lines of the top, middle and bottom bars
    const double ym = top + height / 2;
    const double yb = top + height - t / 2;

    QPainterPath path;
    const auto add = [&path, mask](quint8 bit, const QPolygonF &bar) {
        if (mask & bit) {
            path.addPolygon(bar);
            path.closeSubpath();
        }
    };
    add(1, horizontalBar(xl + g, xr - g, yt, t));
    add(2, horizontalBar(xl + g, xr - g, ym, t));
    add(4, horizontalBar(xl + g, xr - g, yb, t));
    add(8, verticalBar(xl, yt + g, ym - g, t));
    add(16, verticalBar(xr, yt + g, ym - g, t));
    add(32, verticalBar(xl, ym + g, yb - g, t));
    add(64, verticalBar(xr, ym + g, yb - g, t));
    if (mask & 128) {
        const double d = kPoint * height;
        const QPointF centre(left + kWidth * height + kPointRoom * height * 0.45, top + height - d / 2);
        path.addEllipse(centre, d / 2, d / 2);
    }
    return path;
}

// Width and height of a row of `digits` digits `height` tall, margins included.
QSizeF rowSize(int digits, double height)
{
    return {height * (2 * kMargin + digits * (kWidth + kPointRoom)), height * (1 + 2 * kMargin)};
}

} // namespace

SevenSegmentDisplay::SevenSegmentDisplay(int digits, const QColor &lit, QWidget *parent)
    : QWidget(parent)
    , m_masks(std::max(digits, 1), quint8(0))
    , m_lit(lit)
{
    // Every pixel is painted: the ground, then the lit segments.
    setAttribute(Qt::WA_OpaquePaintEvent);
    setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
}

void SevenSegmentDisplay::setMasks(const QList<quint8> &masks)
{
    QList<quint8> next(m_masks.size(), quint8(0));
    std::copy_n(masks.begin(), std::min(masks.size(), next.size()), next.begin());
    if (next == m_masks)
        return;
    m_masks = next;
    update();
}

void SevenSegmentDisplay::setLitColor(const QColor &lit)
{
    if (lit == m_lit)
        return;
    m_lit = lit;
    update();
}

void SevenSegmentDisplay::setDigitHeight(int pixels)
{
    m_digitHeight = std::max(pixels, 8);
    updateGeometry();
}

QSize SevenSegmentDisplay::sizeHint() const
{
    return rowSize(digitCount(), m_digitHeight).toSize();
}

QSize SevenSegmentDisplay::minimumSizeHint() const
{
    return rowSize(digitCount(), 8).toSize();
}

void SevenSegmentDisplay::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    painter.fillRect(rect(), kGround);

    // The tallest digits that fit, centred.
    const QSizeF unit = rowSize(digitCount(), 1.0);
    const double height = std::min(width() / unit.width(), this->height() / unit.height());
    if (height <= 0)
        return;
    const QSizeF used = rowSize(digitCount(), height);
    const double left = (width() - used.width()) / 2 + kMargin * height;
    const double top = std::round((this->height() - used.height()) / 2 + kMargin * height);

    // Each digit starts on a whole pixel, so every place draws the same figure.
    QPainterPath lit;
    for (int i = 0; i < digitCount(); ++i)
        lit.addPath(digitPath(m_masks.at(i), std::round(left + i * (kWidth + kPointRoom) * height), top, height));
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(Qt::NoPen);
    painter.setBrush(m_lit);
    painter.drawPath(lit);
}

} // namespace qlx
