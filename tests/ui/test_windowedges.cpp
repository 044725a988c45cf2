// Resize edges of the frameless window: which area lies under the pointer.

#include "gui/widgets/windowedges.h"

#include <QtTest>

using lumora::ui::HitArea;
using lumora::ui::hitTestEdges;

Q_DECLARE_METATYPE(HitArea)

class TestWindowEdges : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void hitTest_data()
    {
        QTest::addColumn<QRect>("window");
        QTest::addColumn<QPoint>("cursor");
        QTest::addColumn<bool>("horizontal");
        QTest::addColumn<bool>("vertical");
        QTest::addColumn<HitArea>("expected");

        // x 100..899, y 50..649 (right and bottom exclusive at 900 and 650)
        const QRect w(100, 50, 800, 600);
        QTest::newRow("centre") << w << QPoint(500, 300) << true << true << HitArea::None;
        QTest::newRow("4 px inside left") << w << QPoint(104, 300) << true << true << HitArea::Left;
        QTest::newRow("5 px inside left") << w << QPoint(105, 300) << true << true << HitArea::None;
        QTest::newRow("left of window") << w << QPoint(99, 300) << true << true << HitArea::None;
        QTest::newRow("right edge") << w << QPoint(895, 300) << true << true << HitArea::Right;
        QTest::newRow("right, outside") << w << QPoint(900, 300) << true << true << HitArea::None;
        QTest::newRow("right, 6 px inside") << w << QPoint(894, 300) << true << true << HitArea::None;
        QTest::newRow("top edge") << w << QPoint(500, 54) << true << true << HitArea::Top;
        QTest::newRow("bottom edge") << w << QPoint(500, 645) << true << true << HitArea::Bottom;
        QTest::newRow("bottom-left") << w << QPoint(102, 648) << true << true << HitArea::BottomLeft;
        QTest::newRow("bottom-right") << w << QPoint(899, 649) << true << true << HitArea::BottomRight;
        QTest::newRow("top-left") << w << QPoint(100, 50) << true << true << HitArea::TopLeft;
        QTest::newRow("top-right") << w << QPoint(897, 52) << true << true << HitArea::TopRight;
        QTest::newRow("fixed width: left") << w << QPoint(101, 300) << false << true << HitArea::None;
        QTest::newRow("fixed width: right") << w << QPoint(899, 300) << false << true << HitArea::None;
        QTest::newRow("fixed width: corner is bottom") << w << QPoint(101, 648) << false << true << HitArea::Bottom;
        QTest::newRow("fixed height: top") << w << QPoint(500, 51) << true << false << HitArea::None;
        QTest::newRow("fixed height: corner is left") << w << QPoint(101, 51) << true << false << HitArea::Left;
        QTest::newRow("fixed both") << w << QPoint(100, 50) << false << false << HitArea::None;
        // Narrower than two borders: the later tests (right, top) win.
        const QRect tiny(0, 0, 8, 8);
        QTest::newRow("tiny: right beats left") << tiny << QPoint(4, 6) << true << false << HitArea::Right;
        QTest::newRow("tiny: top beats bottom") << tiny << QPoint(6, 4) << false << true << HitArea::Top;
        QTest::newRow("tiny: top-right beats all") << tiny << QPoint(4, 4) << true << true << HitArea::TopRight;
    }

    void hitTest()
    {
        QFETCH(QRect, window);
        QFETCH(QPoint, cursor);
        QFETCH(bool, horizontal);
        QFETCH(bool, vertical);
        QFETCH(HitArea, expected);
        QCOMPARE(hitTestEdges(window, cursor, horizontal, vertical), expected);
    }

    void edgesForCorners()
    {
        QCOMPARE(lumora::ui::edgesOf(HitArea::BottomLeft), Qt::BottomEdge | Qt::LeftEdge);
        QCOMPARE(lumora::ui::edgesOf(HitArea::TopRight), Qt::TopEdge | Qt::RightEdge);
        QCOMPARE(lumora::ui::edgesOf(HitArea::None), Qt::Edges());
    }
};

QTEST_GUILESS_MAIN(TestWindowEdges)
#include "test_windowedges.moc"
