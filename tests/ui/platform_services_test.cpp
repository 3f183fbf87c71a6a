#include <QComboBox>
#include <QDialogButtonBox>
#include <QHeaderView>
#include <QTreeView>
#include <QFileDialog>
#include <QFileSystemModel>
#include <QLineEdit>
#include <QListView>
#include <QMessageBox>
#include <QPushButton>
#include <QtTest>

#include "tests/support/test_files.h"
#include "ui/platform_services.h"

using namespace tarnwick;
using tarnwick::testing::TempDir;
using tarnwick::testing::write_file;

namespace {

// Runs `act` on the first modal widget of type T once it is shown.
template <typename T>
void when_shown(std::function<void(T*)> act) {
    auto* timer = new QTimer(qApp);
    timer->setInterval(20);
    QObject::connect(timer, &QTimer::timeout, [timer, act] {
        for (QWidget* w : QApplication::topLevelWidgets()) {
            if (auto* found = qobject_cast<T*>(w); found && found->isVisible()) {
                timer->stop();
                timer->deleteLater();
                act(found);
                return;
            }
        }
    });
    timer->start();
}

}  // namespace

class PlatformServicesTest : public QObject {
    Q_OBJECT

private slots:
    void filterPatternsSplitBothKinds() {
        QCOMPARE(ui::filter_patterns(QStringLiteral("Garmin TTS (*.vpm;*.rgn)")),
                 (QStringList{QStringLiteral("*.vpm"), QStringLiteral("*.rgn")}));
        QCOMPARE(ui::filter_patterns(QStringLiteral("Text (*.txt)")), QStringList{QStringLiteral("*.txt")});
    }

    void openDialogOffersOneFilterForBothKinds() {
        TempDir dir;
        for (const char* name : {"a.vpm", "b.rgn", "c.txt"}) write_file(dir / name, ByteString{1});
        const QString folder = QString::fromStdString(dir.path().string());
        QWidget owner;
        owner.show();

        QString title;
        QStringList filters;
        QStringList model_filters;
        QString shown_folder;
        Qt::WindowModality modality = Qt::NonModal;
        when_shown<QFileDialog>([&](QFileDialog* dialog) {
            title = dialog->windowTitle();
            filters = dialog->nameFilters();
            shown_folder = dialog->directory().absolutePath();
            modality = dialog->windowModality();
            if (auto* model = dialog->findChild<QFileSystemModel*>()) model_filters = model->nameFilters();
            dialog->reject();
        });
        ui::QtOpenDialog real;
        const QStringList chosen =
            real.show_open_dialog(&owner, QStringLiteral("Open Garmin TTS Voice File..."),
                                  QStringLiteral("Garmin TTS (*.vpm;*.rgn)"), folder);
        QVERIFY(chosen.isEmpty());
        QCOMPARE(title, QStringLiteral("Open Garmin TTS Voice File..."));
        QCOMPARE(filters, QStringList{QStringLiteral("Garmin TTS (*.vpm;*.rgn)")});
        QCOMPARE(model_filters, (QStringList{QStringLiteral("*.vpm"), QStringLiteral("*.rgn")}));
        QCOMPARE(shown_folder, QDir(folder).absolutePath());
        QCOMPARE(modality, Qt::WindowModal);
    }

    void choosingTheFilterAgainKeepsBothPatternsAndTheColumnsAreReadable_data() {
        QTest::addColumn<ui::DialogChoice>("choice");
        // With no dialog of the platform's here, both end in Qt's own, mended.
        QTest::newRow("the system's where there is one") << ui::DialogChoice::system_where_there_is_one;
        QTest::newRow("Qt's own") << ui::DialogChoice::qt_own;
    }

    void choosingTheFilterAgainKeepsBothPatternsAndTheColumnsAreReadable() {
        QFETCH(ui::DialogChoice, choice);
        TempDir dir;
        for (const char* name : {"a.vpm", "b.rgn", "c.txt"}) write_file(dir / name, ByteString{1});
        QFileDialog dialog(nullptr, QStringLiteral("t"), QString::fromStdString(dir.path().string()));
        ui::prepare_open_dialog(dialog, QStringLiteral("Garmin TTS (*.vpm;*.rgn)"), choice);
        dialog.show();
        QVERIFY(QTest::qWaitForWindowExposed(&dialog));
        auto* types = dialog.findChild<QComboBox*>(QStringLiteral("fileTypeCombo"));
        QVERIFY(types);
        // What choosing the entry in the list does: the combo box signals the
        // index, on which Qt applies its own reading, then the text.
        emit types->activated(0);
        emit types->textActivated(types->itemText(0));
        auto* model = dialog.findChild<QFileSystemModel*>();
        QCOMPARE(model->nameFilters(), (QStringList{QStringLiteral("*.vpm"), QStringLiteral("*.rgn")}));

        auto* view = dialog.findChild<QTreeView*>(QStringLiteral("treeView"));
        QVERIFY(view && view->isVisible());
        QTRY_COMPARE(model->rowCount(view->rootIndex()), 2);
        const QHeaderView* header = view->header();
        for (int column : {1, 3}) {  // Size, Date Modified
            const int right = header->sectionViewportPosition(column) + header->sectionSize(column);
            QVERIFY2(right <= view->viewport()->width(), qPrintable(model->headerData(column, Qt::Horizontal).toString()));
            const QString shown = view->model()->index(0, column, view->rootIndex()).data().toString();
            QVERIFY(view->fontMetrics().horizontalAdvance(shown) < header->sectionSize(column));
        }
    }

    void openDialogTakesATypedNameWhateverItsExtension() {
        TempDir dir;
        write_file(dir / "voice.dat", ByteString{1});
        const QString folder = QString::fromStdString(dir.path().string());
        when_shown<QFileDialog>([](QFileDialog* dialog) {
            auto* edit = dialog->findChild<QLineEdit*>(QStringLiteral("fileNameEdit"));
            QVERIFY(edit);
            edit->setText(QStringLiteral("voice.dat"));
            QTest::keyClick(edit, Qt::Key_Return);
        });
        ui::QtOpenDialog real;
        const QStringList chosen = real.show_open_dialog(nullptr, QStringLiteral("t"), QStringLiteral("Garmin TTS (*.vpm;*.rgn)"), folder);
        QCOMPARE(chosen, QStringList{QDir(folder).absoluteFilePath(QStringLiteral("voice.dat"))});
    }

    void messageBoxHasCaptionTextOkAndNoIcon() {
        QString caption, text;
        QMessageBox::Icon icon = QMessageBox::Warning;
        QList<QAbstractButton*> buttons;
        when_shown<QMessageBox>([&](QMessageBox* box) {
            caption = box->windowTitle();
            text = box->text();
            icon = box->icon();
            buttons = box->buttons();
            box->button(QMessageBox::Ok)->click();
        });
        ui::QtMessageBoxes real;
        real.show_message(nullptr, QStringLiteral("Could not find any abbreviation to patch."));
        QCOMPARE(caption, QStringLiteral("TTS_Tarnwick"));
        QCOMPARE(text, QStringLiteral("Could not find any abbreviation to patch."));
        QCOMPARE(icon, QMessageBox::NoIcon);
        QCOMPARE(buttons.size(), 1);
    }
};

QTEST_MAIN(PlatformServicesTest)
#include "platform_services_test.moc"
