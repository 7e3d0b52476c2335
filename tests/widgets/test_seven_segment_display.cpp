// The seven-segment readout widget rendered to images: each mask bit lights its
// own segment in its own place and nothing else, unlit segments leave the black
// ground untouched, the digits of a row do not reach into each other, and a
// change of masks repaints the widget.
#include "tests/fixtures/sim_fixture.h"

#include "engine/seven_segment.h"
#include "widgets/seven_segment_display.h"

#include <QImage>
#include <QPainter>
#include <QSet>
#include <QTest>

#include <algorithm>
#include <cmath>
#include <limits>
#include <utility>

using namespace qlx;
using namespace qlx::testing;

namespace {

using Pixels = QSet<QPair<int, int>>;

constexpr quint8 kTop = 1, kMiddle = 2, kBottom = 4, kUpperLeft = 8, kUpperRight = 16, kLowerLeft = 32,
                 kLowerRight = 64, kPointBit = 128;
constexpr quint8 kSegmentBits[] = {kTop, kMiddle, kBottom, kUpperLeft, kUpperRight, kLowerLeft, kLowerRight, kPointBit};

QImage render(SevenSegmentDisplay &display)
{
    display.resize(display.sizeHint());
    QImage image(display.size(), QImage::Format_RGB32);
    image.fill(Qt::white); // anything the widget leaves unpainted shows up as lit
    display.render(&image);
    return image;
}

// Pixels that are not the black ground.
Pixels lit(const QImage &image)
{
    Pixels pixels;
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x)
            if ((image.pixel(x, y) & 0xFFFFFF) != 0)
                pixels.insert({x, y});
    return pixels;
}

Pixels litBy(const QList<quint8> &masks, int digits = 1, int height = 60)
{
    SevenSegmentDisplay display(digits, Qt::red);
    display.setDigitHeight(height);
    display.setMasks(masks);
    return lit(render(display));
}

struct Box {
    double cx = 0, cy = 0;
    int left = 0, right = 0, top = 0, bottom = 0;
};

Box box(const Pixels &pixels)
{
    Box b;
    if (pixels.isEmpty())
        return b;
    b.left = b.top = std::numeric_limits<int>::max();
    b.right = b.bottom = std::numeric_limits<int>::min();
    for (const auto &[x, y] : pixels) {
        b.cx += x;
        b.cy += y;
        b.left = std::min(b.left, x);
        b.right = std::max(b.right, x);
        b.top = std::min(b.top, y);
        b.bottom = std::max(b.bottom, y);
    }
    b.cx /= double(pixels.size());
    b.cy /= double(pixels.size());
    return b;
}

class PaintCounter : public QObject {
public:
    int paints = 0;
    bool eventFilter(QObject *, QEvent *event) override
    {
        paints += event->type() == QEvent::Paint ? 1 : 0;
        return false;
    }
};

} // namespace

class TestSevenSegmentDisplay : public QObject {
    Q_OBJECT

private slots:
    void segmentsInTheirPlaces();
    void litPixelsAreTheMasksSegments_data();
    void litPixelsAreTheMasksSegments();
    void litColour_data();
    void litColour();
    void digitsSideBySide();
    void sizeFollowsDigitsAndHeight();
    void masksPaddedOrCut();
    void changedMasksRepaint();
};

// Each segment lies where the figure puts it, relative to the others: bars top to
// bottom, left and right columns, the point right of the figure at the bottom.
void TestSevenSegmentDisplay::segmentsInTheirPlaces()
{
    QMap<quint8, Box> at;
    for (const quint8 bit : kSegmentBits) {
        const Pixels pixels = litBy({bit});
        QVERIFY2(!pixels.isEmpty(), qPrintable(QStringLiteral("segment %1 lights nothing").arg(bit)));
        at[bit] = box(pixels);
    }
    const auto near = [](double a, double b) { return std::abs(a - b) <= 1.0; };

    // The three bars stand over one another, in one column.
    QVERIFY(at[kTop].bottom < at[kMiddle].top);
    QVERIFY(at[kMiddle].bottom < at[kBottom].top);
    QVERIFY(near(at[kTop].cx, at[kMiddle].cx) && near(at[kMiddle].cx, at[kBottom].cx));
    // Left and right columns, the upper pair between top and middle bar, the lower between middle and bottom.
    for (const auto &[left, right] : {std::pair{kUpperLeft, kUpperRight}, std::pair{kLowerLeft, kLowerRight}}) {
        QVERIFY(at[left].right < at[right].left);
        QVERIFY(near(at[left].cy, at[right].cy));
        QVERIFY(at[left].right < at[kTop].cx && at[kTop].cx < at[right].left);
    }
    QVERIFY(at[kTop].cy < at[kUpperLeft].cy && at[kUpperLeft].cy < at[kMiddle].cy);
    QVERIFY(at[kMiddle].cy < at[kLowerLeft].cy && at[kLowerLeft].cy < at[kBottom].cy);
    // The point: right of every segment, level with the bottom bar.
    for (const quint8 bit : kSegmentBits)
        if (bit != kPointBit)
            QVERIFY(at[bit].right < at[kPointBit].left);
    QVERIFY(at[kPointBit].top > at[kMiddle].bottom);
    QVERIFY(at[kPointBit].bottom >= at[kBottom].bottom - 1);
}

// A mask lights exactly the pixels of its segments: no more (unlit segments are
// not drawn), no less, and no two segments share a pixel.
void TestSevenSegmentDisplay::litPixelsAreTheMasksSegments_data()
{
    QTest::addColumn<int>("mask");
    QTest::newRow("blank") << int(segment::kBlank);
    QTest::newRow("1") << int(kDigitMasks[1]);
    QTest::newRow("8") << int(kDigitMasks[8]);
    QTest::newRow("8 with point") << int(kDigitMasks[8] | segment::kPoint);
    QTest::newRow("point alone") << int(segment::kPoint);
    QTest::newRow("minus") << int(segment::kMinus);
    QTest::newRow("joined minus-one") << int(segment::kMinusOne);
    QTest::newRow("three bars") << int(segment::kThreeBars);
    QTest::newRow("letter P") << int(segment::kProg[0]);
}

void TestSevenSegmentDisplay::litPixelsAreTheMasksSegments()
{
    QFETCH(int, mask);
    Pixels expected;
    qsizetype sum = 0;
    for (const quint8 bit : kSegmentBits) {
        if (!(mask & bit))
            continue;
        const Pixels one = litBy({bit});
        sum += one.size();
        expected.unite(one);
    }
    QCOMPARE(expected.size(), sum); // segments do not overlap
    const Pixels got = litBy({quint8(mask)});
    QCOMPARE(got.size(), expected.size());
    QVERIFY(got == expected);
}

void TestSevenSegmentDisplay::litColour_data()
{
    QTest::addColumn<QColor>("colour");
    QTest::newRow("red") << QColor(Qt::red);
    QTest::newRow("green") << QColor(Qt::green);
    QTest::newRow("orange") << QColor(255, 128, 0);
}

// Lit segments carry the readout's colour, their edges blended only with the black ground.
void TestSevenSegmentDisplay::litColour()
{
    QFETCH(QColor, colour);
    SevenSegmentDisplay display(2, colour);
    display.setDigitHeight(50);
    display.setMasks(QList<quint8>{kDigitMasks[8], quint8(kDigitMasks[0] | segment::kPoint)});
    const QImage image = render(display);
    int full = 0;
    for (const auto &[x, y] : lit(image)) {
        const QColor c = image.pixelColor(x, y);
        full += c == colour ? 1 : 0;
        // A blend of the colour with black: each channel the same fraction of the colour's.
        if (c != colour) {
            QVERIFY(c.red() <= colour.red() && c.green() <= colour.green() && c.blue() <= colour.blue());
            if (colour.green() == 0)
                QCOMPARE(c.green(), 0);
            if (colour.red() == 0)
                QCOMPARE(c.red(), 0);
        }
    }
    QVERIFY(full > 100);
}

// In a row each digit keeps to its own place, left to right, and looks the same in every place.
void TestSevenSegmentDisplay::digitsSideBySide()
{
    constexpr int digits = 4;
    QList<Box> boxes;
    qsizetype size = -1;
    for (int i = 0; i < digits; ++i) {
        QList<quint8> masks(digits, segment::kBlank);
        masks[i] = quint8(kDigitMasks[8] | segment::kPoint);
        const Pixels pixels = litBy(masks, digits);
        if (size >= 0)
            QCOMPARE(pixels.size(), size); // the same figure
        size = pixels.size();
        boxes << box(pixels);
    }
    for (int i = 1; i < digits; ++i) {
        QVERIFY2(boxes[i - 1].right < boxes[i].left, qPrintable(QStringLiteral("digit %1 reaches into %2").arg(i).arg(i + 1)));
        QCOMPARE(boxes[i].top, boxes[0].top);
    }
}

void TestSevenSegmentDisplay::sizeFollowsDigitsAndHeight()
{
    const auto hint = [](int digits, int height) {
        SevenSegmentDisplay display(digits, Qt::green);
        display.setDigitHeight(height);
        return display.sizeHint();
    };
    QVERIFY(hint(4, 40).width() > hint(2, 40).width());
    QCOMPARE(hint(4, 40).height(), hint(2, 40).height());
    QVERIFY(hint(2, 40).height() > 40);
    QVERIFY(hint(2, 80).height() > hint(2, 40).height());
    QVERIFY(hint(2, 80).width() > hint(2, 40).width());
    // The whole figure fits the hinted size: the top and bottom bar and the point are not cut.
    const Pixels pixels = litBy({quint8(kDigitMasks[8] | segment::kPoint)});
    const Box b = box(pixels);
    const QSize size = hint(1, 60);
    QVERIFY(b.left > 0 && b.top > 0 && b.right < size.width() - 1 && b.bottom < size.height() - 1);
}

void TestSevenSegmentDisplay::masksPaddedOrCut()
{
    SevenSegmentDisplay display(4, Qt::red);
    display.setMasks(QList<quint8>{127});
    QCOMPARE(display.masks(), (QList<quint8>{127, 0, 0, 0}));
    display.setMasks(std::array<quint8, 6>{1, 2, 4, 8, 16, 32});
    QCOMPARE(display.masks(), (QList<quint8>{1, 2, 4, 8}));
}

// A shown readout repaints when its masks change, and the new picture is the new masks'.
void TestSevenSegmentDisplay::changedMasksRepaint()
{
    SevenSegmentDisplay display(2, Qt::green);
    display.setDigitHeight(40);
    display.resize(display.sizeHint());
    display.show();
    QVERIFY(QTest::qWaitForWindowExposed(&display));
    PaintCounter counter;
    display.installEventFilter(&counter);

    const int before = counter.paints;
    display.setMasks(green_value(12));
    QVERIFY(waitUntil([&] { return counter.paints > before; }, 5000));
    QVERIFY(lit(display.grab().toImage()) == litBy({kDigitMasks[1], kDigitMasks[2]}, 2, 40));

    const int again = counter.paints;
    display.setMasks(green_value(7));
    QVERIFY(waitUntil([&] { return counter.paints > again; }, 5000));
    QVERIFY(box(lit(display.grab().toImage())).left > display.width() / 2); // a blank, then the 7
}

QTEST_MAIN(TestSevenSegmentDisplay)
#include "test_seven_segment_display.moc"
