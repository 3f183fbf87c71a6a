// The main window on screens smaller than its layout (run with a fixed
// offscreen screen, and with a scale factor): it fits the screen's free area,
// and every control can be reached by keyboard and is in view when it has the
// focus.
#include <cmath>

#include <QCheckBox>
#include <QPushButton>
#include <QScreen>
#include <QScrollArea>
#include <QScrollBar>
#include <QTabBar>
#include <QTabWidget>
#include <QtTest>

#include "engine/patch_catalogue.h"
#include "tests/support/test_files.h"
#include "tests/ui/fakes.h"
#include "tools/voice_builder/disk_image_builder.h"
#include "ui/main_window.h"

using namespace tarnwick;

namespace {

// Whether `widget` lies wholly in the part of the client area one can see.
bool in_view(const ui::Tarnwick& window, const QWidget* widget) {
    const QWidget* viewport = window.scroller()->viewport();
    const QRect where(widget->mapTo(viewport, QPoint(0, 0)), widget->size());
    return viewport->rect().contains(where);
}

}  // namespace

class WindowFit : public QObject {
    Q_OBJECT

private slots:
    void everyControlIsReachableAndInViewOnASmallScreen() {
        testing::FakeServices fakes;
        VoiceImage image;
        testing::TempDir dir;
        ui::Tarnwick window(image, fakes.services(), dir / "journals");
        const auto voice = dir / "demo.vpm";
        testing::write_file(voice, voices::demo_voice(voices::Container::vpm));
        window.show();
        window.activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(&window));
        window.open_file(QString::fromStdString(voice.string()));
        QVERIFY(window.patch_button()->isEnabled());

        const QRect room = window.screen()->availableGeometry();
        qInfo("screen %dx%d at scale %.2f; window %dx%d, its full size %dx%d", room.width(), room.height(),
              window.devicePixelRatioF(), window.frameGeometry().width(), window.frameGeometry().height(),
              window.full_size().width(), window.full_size().height());
        QVERIFY(room.contains(window.frameGeometry()));
        // In the device's own pixels too, where a scale rounds the logical size.
        const QStringList device = qEnvironmentVariable("TARNWICK_DEVICE_SCREEN").split('x');
        if (device.size() == 2) {
            const QRect frame = window.frameGeometry();
            const double ratio = window.devicePixelRatioF();
            QVERIFY(std::ceil((frame.x() + frame.width()) * ratio) <= device[0].toInt());
            QVERIFY(std::ceil((frame.y() + frame.height()) * ratio) <= device[1].toInt());
        }
        QCOMPARE(QApplication::focusWidget() != nullptr, true);
        // The layout does not fit here, so it scrolls (the test is only worth it then).
        if (window.full_size().height() <= room.height()) QSKIP("the whole layout fits this screen");
        QVERIFY(window.scroller()->verticalScrollBar()->maximum() > 0);

        // By keyboard alone: from Open to the tab strip, each tab chosen with
        // the arrow keys, through its boxes to "Patch & Save".
        window.open_button()->setFocus();
        QSet<QWidget*> reached;
        for (int tab = 0; tab < kTabCount; ++tab) {
            window.open_button()->setFocus();
            QTest::keyClick(window.open_button(), Qt::Key_Tab);
            QCOMPARE(QApplication::focusWidget(), window.tabs()->tabBar());
            for (int presses = 0; presses < kTabCount && window.tabs()->currentIndex() != tab; ++presses) {
                QTest::keyClick(window.tabs()->tabBar(), window.tabs()->currentIndex() < tab ? Qt::Key_Right : Qt::Key_Left);
            }
            QCOMPARE(window.tabs()->currentIndex(), tab);
            for (int step = 0; step < 12 && QApplication::focusWidget() != window.patch_button(); ++step) {
                QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
                QWidget* focused = QApplication::focusWidget();
                QVERIFY2(in_view(window, focused), qPrintable(focused->objectName()));
                reached.insert(focused);
            }
            QCOMPARE(QApplication::focusWidget(), window.patch_button());
        }
        for (int k = 1; k <= kOptionCount; ++k) QVERIFY2(reached.contains(window.check_box(k)), qPrintable(QString::number(k)));
        QVERIFY(reached.contains(window.patch_button()));

        // And on round to the top, scrolled back into view.
        QTest::keyClick(window.patch_button(), Qt::Key_Tab);
        QCOMPARE(QApplication::focusWidget(), window.open_button());
        QVERIFY(in_view(window, window.open_button()));
    }

    void nothingScrollsWhereTheLayoutFits() {
        testing::FakeServices fakes;
        VoiceImage image;
        testing::TempDir dir;
        ui::Tarnwick window(image, fakes.services(), dir / "journals");
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        const QSize room = window.screen()->availableGeometry().size() - (window.frameGeometry().size() - window.size());
        if (window.full_size().height() > room.height()) QSKIP("the layout is taller than this screen");
        QCOMPARE(window.size(), window.full_size());
        QVERIFY(!window.scroller()->verticalScrollBar()->isVisible());
        QVERIFY(!window.scroller()->horizontalScrollBar()->isVisible());
        QCOMPARE(window.scroller()->viewport()->size(), window.scroller()->widget()->size());
    }
};

QTEST_MAIN(WindowFit)
#include "window_fit_test.moc"
