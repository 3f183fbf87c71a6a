#include <QLabel>
#include <QPushButton>
#include <QtTest>

#include "engine/user_messages.h"
#include "tests/ui/fakes.h"
#include "ui/about_window.h"
#include "ui/main_window.h"

using namespace tarnwick;
using tarnwick::testing::FakeServices;
using tarnwick::ui::About_Form;

class AboutWindowTest : public QObject {
    Q_OBJECT

private slots:
    void showsItsTextsAndGeometry() {
        FakeServices fakes;
        About_Form about(fakes.services());
        about.setAttribute(Qt::WA_DeleteOnClose, false);
        QCOMPARE(about.windowTitle(), QStringLiteral("About TTSTarnwick"));
        QCOMPARE(about.objectName(), QStringLiteral("About_Form"));
        QCOMPARE(about.size(), QSize(about.layout().px(3645), about.layout().px(2220)));
        QCOMPARE(about.close_button()->geometry(), about.layout().rect(1080, 1680, 1455, 375));
        QCOMPARE(about.link()->geometry(), about.layout().rect(600, 1200, 2775, 495));
        QCOMPARE(about.minimumSize(), about.maximumSize());
        QVERIFY(about.windowFlags().testFlag(Qt::Tool));
        QVERIFY(!about.windowFlags().testFlag(Qt::WindowMinimizeButtonHint));
        QVERIFY(!about.windowFlags().testFlag(Qt::WindowMaximizeButtonHint));
        QVERIFY(about.windowFlags().testFlag(Qt::WindowCloseButtonHint));

        const auto label = [&](const char* name) { return about.findChild<QLabel*>(QString::fromLatin1(name)); };
        QCOMPARE(label("Label1")->text(), QStringLiteral("Garmin TTS Tarnwick v") + ui::version_text());
        QCOMPARE(label("Label1")->font().pointSizeF(), 9.75);
        QVERIFY(label("Label1")->alignment().testFlag(Qt::AlignHCenter));
        QCOMPARE(label("Label2")->text(), QStringLiteral("Created by Pellbrook"));
        QCOMPARE(label("Label3")->text(), QStringLiteral("Find latest version here:"));
        QCOMPARE(label("Label4"), about.link());
        QCOMPARE(about.link()->text(), ui::kMakerAddress);
        QVERIFY(QUrl(about.link()->text()).host().endsWith(QStringLiteral("example.com")));
        QCOMPARE(about.link()->palette().color(QPalette::WindowText), QColor(0, 0, 255));
        QVERIFY(!about.link()->font().underline());
        QCOMPARE(about.link()->cursor().shape(), Qt::PointingHandCursor);
        QCOMPARE(about.close_button()->text(), QStringLiteral("Close"));
        QCOMPARE(about.close_button()->objectName(), QStringLiteral("Command1"));
        for (QLabel* l : about.findChildren<QLabel*>()) {
            QCOMPARE(l->focusPolicy(), l == about.link() ? Qt::StrongFocus : Qt::NoFocus);
            QVERIFY2(l->fontMetrics().horizontalAdvance(l->text()) <= l->width(), qPrintable(l->text()));
        }
    }

    void theLinkOpensTheBrowserEachTime() {
        FakeServices fakes;
        About_Form about(fakes.services());
        about.setAttribute(Qt::WA_DeleteOnClose, false);
        about.show();
        QTest::mouseClick(about.link(), Qt::LeftButton);
        QTest::mouseClick(about.link(), Qt::LeftButton);
        QCOMPARE(fakes.browser.opened, (QList<QUrl>{QUrl(ui::kMakerAddress), QUrl(ui::kMakerAddress)}));
        QVERIFY(fakes.messages.texts.isEmpty());
        QVERIFY(about.isVisible());

        for (const char* other : {"Label1", "Label2", "Label3"}) {
            QTest::mouseClick(about.findChild<QLabel*>(QString::fromLatin1(other)), Qt::LeftButton);
        }
        QCOMPARE(fakes.browser.opened.size(), 2);
    }

    void theKeyboardAloneReachesTheLinkAndClosesTheWindow() {
        FakeServices fakes;
        About_Form about(fakes.services());
        about.setAttribute(Qt::WA_DeleteOnClose, false);
        about.show();
        about.activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(&about));
        QCOMPARE(QApplication::focusWidget(), about.close_button());
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        QCOMPARE(QApplication::focusWidget(), about.link());
        QTest::keyClick(about.link(), Qt::Key_Return);
        QTest::keyClick(about.link(), Qt::Key_Space);
        QCOMPARE(fakes.browser.opened, (QList<QUrl>{QUrl(ui::kMakerAddress), QUrl(ui::kMakerAddress)}));
        QTest::keyClick(about.link(), Qt::Key_Escape);
        QVERIFY(!about.isVisible());
    }

    void aBrowserThatWillNotStartIsReported() {
        FakeServices fakes;
        fakes.browser.starts = false;
        About_Form about(fakes.services());
        about.setAttribute(Qt::WA_DeleteOnClose, false);
        about.show();
        QTest::mouseClick(about.link(), Qt::LeftButton);
        QCOMPARE(fakes.messages.texts,
                 QStringList{QStringLiteral("Could not start a web browser. Open this address by hand: %1")
                                 .arg(ui::kMakerAddress)});
        QCOMPARE(fakes.messages.owners.value(0), &about);
        QVERIFY(about.isVisible());
    }

    void closeDiscardsAndAboutShowsAFreshWindow() {
        FakeServices fakes;
        VoiceImage image;
        ui::Tarnwick window(image, fakes.services(), {});
        window.show();
        window.about_action()->trigger();
        QPointer<About_Form> first = window.about_window();
        QVERIFY(first);
        QTest::mouseClick(first->close_button(), Qt::LeftButton);
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        QVERIFY(first.isNull());
        window.about_action()->trigger();
        QVERIFY(window.about_window() != nullptr);
        QVERIFY(window.about_window()->isVisible());
        QCOMPARE(window.about_window()->link()->text(), ui::kMakerAddress);
        QVERIFY(window.isVisible());
    }
};

QTEST_MAIN(AboutWindowTest)
#include "about_window_test.moc"
