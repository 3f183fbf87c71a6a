#include <QCheckBox>
#include <QGroupBox>
#include <QLabel>
#include <QMenuBar>
#include <QMimeData>
#include <QPushButton>
#include <QSignalSpy>
#include <QTabBar>
#include <QTabWidget>
#include <QtTest>

#include "engine/patch_catalogue.h"
#include "engine/journal_format.h"
#include "engine/user_messages.h"
#include "tools/voice_builder/disk_image_builder.h"
#include "tests/support/faulty_calls.h"
#include "tests/support/test_files.h"
#include "tests/ui/fakes.h"
#include "ui/about_window.h"
#include "ui/main_window.h"

using namespace tarnwick;
using tarnwick::voices::Container;
using tarnwick::voices::DiskImageBuilder;
using tarnwick::testing::FakeServices;
using tarnwick::testing::read_file;
using tarnwick::testing::TempDir;
using tarnwick::testing::write_file;
using tarnwick::ui::Tarnwick;

namespace {

QString q(std::string_view text) { return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size())); }

ByteString original_of(int option) {
    return hex2str(patch_catalogue()[static_cast<std::size_t>(option - 1)].lead->original_hex);
}

// A voice holding the lead originals of the given options.
ByteString voice_with(std::initializer_list<int> options, Container kind = Container::vpm) {
    DiskImageBuilder builder;
    builder.container(kind).block_exp(2).dllimg_first_block(10);
    std::int64_t at = builder.dllimg_data_start() + 32;
    for (int k : options) {
        builder.place(at, original_of(k));
        at += 128;
    }
    return builder.build();
}

// The window's file calls, with the first write into the voice failing as a
// device's can; every other call, the putting back among them, goes through.
class FirstVoiceWriteFails final : public testing::FaultyCalls {
public:
    std::error_code open_for_update(const std::filesystem::path& path, Handle& handle, FileInfo& info) override {
        const std::error_code ec = FaultyCalls::open_for_update(path, handle, info);
        if (!ec) voice_ = handle;
        return ec;
    }
    std::error_code write_at(Handle handle, std::int64_t offset, const std::uint8_t* data, std::size_t size,
                             std::size_t& written) override {
        if (handle == voice_ && !failed_once_) {
            failed_once_ = true;
            return std::make_error_code(std::errc::io_error);
        }
        return FaultyCalls::write_at(handle, offset, data, size, written);
    }

private:
    Handle voice_ = -1;
    bool failed_once_ = false;
};

struct Harness {
    explicit Harness(FileSystemCalls& files = system_file_calls()) : fakes(files) {}

    FakeServices fakes;
    VoiceImage image;
    TempDir dir;
    Tarnwick window{image, fakes.services(), dir / "journals"};

    QString file(const QString& name, const ByteString& bytes) {
        const auto path = dir / name.toStdString();
        write_file(path, bytes);
        return QString::fromStdString(path.string());
    }

    void open(const QString& path) {
        fakes.dialog.answers << QStringList{path};
        QTest::mouseClick(window.open_button(), Qt::LeftButton);
    }

    void click_box(int option) {
        QCheckBox* box = window.check_box(option);
        QWidget* page = box->parentWidget()->parentWidget();
        window.tabs()->setCurrentWidget(page);
        QTest::mouseClick(box, Qt::LeftButton, {}, box->rect().center());
    }

    bool all_boxes(bool enabled) const {
        for (int k = 1; k <= 20; ++k) {
            if (window.check_box(k)->isEnabled() != enabled) return false;
        }
        return true;
    }
};

// The label's whole one-line text is readable inside it.
bool label_fits(const QLabel* label) {
    return label->fontMetrics().horizontalAdvance(label->text()) <= label->width() &&
           label->fontMetrics().height() <= label->height();
}

struct Placement {
    int tab;
    int row;
    int frame;
};

// Tab (0-based), row (0-based) and frame number of every option.
const std::map<int, Placement> kPlacement = {
    {1, {0, 0, 3}},   {2, {0, 1, 2}},   {3, {0, 2, 4}},   {16, {0, 3, 16}}, {17, {0, 4, 17}},
    {19, {0, 5, 19}}, {20, {0, 6, 20}}, {4, {1, 0, 5}},   {8, {1, 1, 9}},   {13, {1, 2, 13}},
    {15, {1, 3, 15}}, {5, {2, 0, 6}},   {14, {2, 1, 14}}, {18, {2, 2, 18}}, {6, {3, 0, 7}},
    {7, {3, 1, 8}},   {9, {4, 0, 10}},  {10, {4, 1, 1}},  {11, {4, 2, 11}}, {12, {4, 3, 12}},
};

}  // namespace

class MainWindowTest : public QObject {
    Q_OBJECT

private slots:
    void startsWithNothingEnabledOnTheSecondTab() {
        Harness h;
        QCOMPARE(h.window.windowTitle(), QStringLiteral("TTS_Tarnwick v") + ui::version_text());
        QCOMPARE(h.window.objectName(), QStringLiteral("Tarnwick"));
        QVERIFY(h.window.open_button()->isEnabled());
        QVERIFY(!h.window.patch_button()->isEnabled());
        QVERIFY(h.all_boxes(false));
        for (int k = 1; k <= 20; ++k) QVERIFY(!h.window.check_box(k)->isChecked());
        QCOMPARE(h.window.tabs()->currentIndex(), 1);
        const QList<QAction*> menu = h.window.menuBar()->actions();
        QCOMPARE(menu.size(), 1);
        QCOMPARE(menu.first()->text(), QStringLiteral("About"));
        QVERIFY(menu.first()->menu() == nullptr);
    }

    void twipsConvertAtFifteenAPixel() {
        const ui::TwipsLayout exact;
        QCOMPARE(exact.rect(120, 340, 7575, 615), QRect(8, 23, 505, 41));
        QCOMPARE(QSize(exact.px(8580), exact.px(7815)), QSize(572, 521));
        QCOMPARE(ui::TwipsLayout(0.5).scale(), 1.0);
        QCOMPARE(ui::TwipsLayout::to_fit(300, 5775), 1.0);
        const double scale = ui::TwipsLayout::to_fit(442, 5775);
        QVERIFY(ui::TwipsLayout(scale).px(5775) >= 442);
        QVERIFY(ui::TwipsLayout(scale - 0.02).px(5775) < 442);
    }

    void everythingFitsAndKeepsItsPlaceOnResize() {
        Harness h;
        h.window.show();
        const ui::TwipsLayout& at = h.window.layout();
        QCOMPARE(h.window.open_button()->geometry(), at.rect(120, 240, 2295, 375));
        QCOMPARE(h.window.instructions()->geometry(), at.rect(120, 840, 6135, 975));
        // The voice summary line sits under the instructions; all below it moves down by it.
        QCOMPARE(h.window.voice_summary()->geometry(), at.rect(120, 1815, 7845, 510));
        QCOMPARE(h.window.tabs()->geometry(), at.rect(120, 2340, 7845, 5175));
        QCOMPARE(h.window.patch_button()->geometry(), at.rect(4440, 7740, 2295, 375));
        QCOMPARE(h.window.centralWidget()->size(), QSize(at.px(8580), at.px(8355)));
        QVERIFY(h.window.instructions()->heightForWidth(h.window.instructions()->width()) <=
                h.window.instructions()->height());
        QVERIFY(h.window.tabs()->tabBar()->sizeHint().width() <= h.window.tabs()->width());
        QVERIFY(h.window.open_button()->sizeHint().width() <= h.window.open_button()->width());

        h.window.resize(h.window.width() + 200, h.window.height() + 100);
        QCoreApplication::processEvents();
        QCOMPARE(h.window.patch_button()->geometry(), at.rect(4440, 7740, 2295, 375));
        QCOMPARE(h.window.tabs()->geometry(), at.rect(120, 2340, 7845, 5175));
    }

    void captionsShowOneAmpersandAndNoAccessKey() {
        Harness h;
        const QStringList tabs = {"English", "Jack & Jill & Samantha", "Karen & Lee", "Julie & Felix",
                                  "Daniel & Emily & Serena"};
        QCOMPARE(h.window.tabs()->count(), 5);
        for (int i = 0; i < 5; ++i) {
            const QString stored = h.window.tabs()->tabText(i);
            QCOMPARE(ui::displayed_caption(stored), tabs[i]);
            QVERIFY(QKeySequence::mnemonic(stored).isEmpty());
        }
        QCOMPARE(h.window.open_button()->text(), QStringLiteral("Open TTS Voice File"));
        QCOMPARE(ui::displayed_caption(h.window.patch_button()->text()), QStringLiteral("Patch & Save"));
        QVERIFY(QKeySequence::mnemonic(h.window.patch_button()->text()).isEmpty());
        QVERIFY(QKeySequence::mnemonic(h.window.open_button()->text()).isEmpty());
        const QString text = h.window.instructions()->text();
        QVERIFY(text.contains(QStringLiteral("Click the \"Patch & Save\" button")));
        QVERIFY(!text.contains(QStringLiteral("&&")));
        QVERIFY(text.startsWith(QStringLiteral("Select changes you want to apply")));
        QVERIFY(text.endsWith(QStringLiteral("Make sure to keep a backup of the original TTS file.")));
    }

    void everyOptionSitsOnItsTabAndRow_data() {
        QTest::addColumn<int>("option");
        for (int k = 1; k <= 20; ++k) QTest::addRow("Check%d", k) << k;
    }

    void everyOptionSitsOnItsTabAndRow() {
        QFETCH(int, option);
        Harness h;
        const Placement where = kPlacement.at(option);
        QCheckBox* box = h.window.check_box(option);
        QCOMPARE(box->objectName(), QStringLiteral("Check%1").arg(option));
        QVERIFY(box->text().isEmpty());
        auto* frame = qobject_cast<QGroupBox*>(box->parentWidget());
        QVERIFY(frame);
        QCOMPARE(frame->objectName(), QStringLiteral("Frame%1").arg(where.frame));
        QVERIFY(frame->title().isEmpty());
        QCOMPARE(h.window.tabs()->indexOf(frame->parentWidget()), where.tab);
        const ui::TwipsLayout& at = h.window.layout();
        QCOMPARE(frame->geometry(), at.rect(120, 340 + 600 * where.row, 7575, 615));

        auto* label = frame->findChild<QLabel*>(QStringLiteral("Label%1").arg(option + 1));
        QVERIFY(label);
        const QString expected = q(patch_catalogue()[static_cast<std::size_t>(option - 1)].label);
        QCOMPARE(label->text(), expected);
        QCOMPARE(box->accessibleName(), expected);
        QCOMPARE(box->geometry(), at.rect(120, 240, 255, 255));
        QCOMPARE(label->geometry(), at.rect(480, 240, 5775, 255));
        // The whole label text must be readable inside its row.
        QVERIFY2(label->fontMetrics().horizontalAdvance(expected) <= label->width(), qPrintable(expected));
        QVERIFY(label->geometry().right() < frame->width());
        QLabel* state = h.window.state_label(option);
        QCOMPARE(state->parentWidget(), frame);
        QCOMPARE(state->geometry(), at.rect(6300, 240, 1155, 255));
        QVERIFY(state->geometry().right() < frame->width());
        QVERIFY(state->text().isEmpty());
    }

    void openingAVoiceEnablesEverythingAndKeepsTicks_data() {
        QTest::addColumn<int>("kind");
        QTest::addRow("vpm") << static_cast<int>(Container::vpm);
        QTest::addRow("rgn") << static_cast<int>(Container::rgn);
    }

    void openingAVoiceEnablesEverythingAndKeepsTicks() {
        QFETCH(int, kind);
        Harness h;
        h.open(h.file("voice.rgn", voice_with({1}, static_cast<Container>(kind))));
        QCOMPARE(h.fakes.dialog.title, QStringLiteral("Open Garmin TTS Voice File..."));
        QCOMPARE(h.fakes.dialog.filter, QStringLiteral("Garmin TTS (*.vpm;*.rgn)"));
        QCOMPARE(h.fakes.dialog.folder, QDir::currentPath());
        QCOMPARE(h.fakes.dialog.owner, &h.window);
        QVERIFY(h.fakes.messages.texts.isEmpty());
        QVERIFY(h.window.patch_button()->isEnabled());
        QVERIFY(h.all_boxes(true));
        for (int k = 1; k <= 20; ++k) QVERIFY(!h.window.check_box(k)->isChecked());

        h.click_box(5);
        h.open(h.file("again.vpm", voice_with({})));
        QVERIFY(h.window.check_box(5)->isChecked());
    }

    void refusedFilesLeaveTheControlsAsTheyWere() {
        Harness h;
        const QString junk = h.file("notes.txt", ByteString(300, 'x'));
        h.open(junk);
        QCOMPARE(h.fakes.messages.texts, QStringList{q(messages::kNotVoiceFile)});
        QVERIFY(h.all_boxes(false));
        QVERIFY(!h.window.patch_button()->isEnabled());

        // After a valid file, a refused one keeps everything enabled, and the
        // run then refuses the image itself.
        h.open(h.file("voice.vpm", voice_with({1})));
        h.click_box(1);
        h.open(junk);
        QVERIFY(h.all_boxes(true));
        QVERIFY(h.window.patch_button()->isEnabled());
        QTest::mouseClick(h.window.patch_button(), Qt::LeftButton);
        QCOMPARE(h.fakes.messages.texts,
                 (QStringList{q(messages::kNotVoiceFile), q(messages::kNotVoiceFile), q(messages::kNotVoiceFile)}));
        QVERIFY(!h.window.patch_button()->isEnabled());
        QVERIFY(h.all_boxes(true));
        QCOMPARE(read_file(junk.toStdString()), ByteString(300, 'x'));
    }

    void unreadableFilesAreReportedAndChangeNothing() {
        Harness h;
        const ByteString bytes = voice_with({1});
        const QString good = h.file("voice.vpm", bytes);
        h.open(good);
        const QString missing = QString::fromStdString((h.dir / "gone.vpm").string());
        h.open(missing);
        QCOMPARE(h.fakes.messages.texts,
                 QStringList{QStringLiteral("Could not open the file \"%1\": No such file or directory.").arg(missing)});
        QCOMPARE(QString::fromStdString(h.image.file_path().string()), good);
        QCOMPARE(ByteString(h.image.file_buf().begin(), h.image.file_buf().end()), bytes);

        const QString folder = QString::fromStdString(h.dir.path().string());
        h.open(folder);
        QCOMPARE(h.fakes.messages.texts.last(),
                 QStringLiteral("Could not open the file \"%1\": it is a folder, not a file.").arg(folder));
        QVERIFY(h.all_boxes(true));
    }

    void cancellingKeepsTheLoadedFile() {
        Harness h;
        const QString path = h.file("voice.vpm", voice_with({3}));
        h.open(path);
        h.click_box(3);
        QTest::mouseClick(h.window.open_button(), Qt::LeftButton);  // the fake answers "cancelled"
        QCOMPARE(h.fakes.dialog.shown, 2);
        QVERIFY(h.all_boxes(true));
        QCOMPARE(QString::fromStdString(h.image.file_path().string()), path);
        QTest::mouseClick(h.window.patch_button(), Qt::LeftButton);
        QCOMPARE(h.fakes.messages.texts, QStringList{q(messages::kPatchedSuccessfully)});
        QCOMPARE(read_file(path.toStdString()), ByteString(h.image.file_buf().begin(), h.image.file_buf().end()));
    }

    void pathsAreUsedExactlyAsChosen() {
        Harness h;
        const QString odd = h.file(QString(" voice ") + QChar(0x00E9) + QString(" .vpm "), voice_with({3}));
        h.open(odd);
        QVERIFY(h.fakes.messages.texts.isEmpty());
        QVERIFY(h.window.patch_button()->isEnabled());

        // Longer than the 254 characters an old fixed buffer allowed.
        QString deep = QString::fromStdString(h.dir.path().string());
        for (int i = 0; i < 3; ++i) {
            deep += QStringLiteral("/") + QString(90, QChar('d'));
            QDir().mkpath(deep);
        }
        const auto deep_file = (std::filesystem::path(deep.toStdString()) / "voice.vpm");
        write_file(deep_file, voice_with({3}));
        h.open(QString::fromStdString(deep_file.string()));
        QVERIFY(h.fakes.messages.texts.isEmpty());
        QVERIFY(deep_file.string().size() > 254);
        QCOMPARE(h.image.file_path(), deep_file);
    }

    void changingABoxEnablesPatch() {
        Harness h;
        h.open(h.file("voice.vpm", voice_with({})));
        h.click_box(2);
        h.click_box(2);
        QVERIFY(!h.window.check_box(2)->isChecked());
        QVERIFY(h.window.patch_button()->isEnabled());

        QTest::mouseClick(h.window.patch_button(), Qt::LeftButton);  // nothing ticked
        QCOMPARE(h.fakes.messages.texts, QStringList{q(messages::kNothingToPatch)});
        QVERIFY(!h.window.patch_button()->isEnabled());

        h.click_box(9);
        QVERIFY(h.window.patch_button()->isEnabled());
    }

    void aRunThatPatchedNothingDisablesFailedBoxes() {
        Harness h;
        h.window.show();
        h.open(h.file("voice.vpm", voice_with({})));
        h.click_box(1);
        h.click_box(4);
        QTest::mouseClick(h.window.patch_button(), Qt::LeftButton);
        QCOMPARE(h.fakes.messages.texts, (QStringList{q(messages::not_found("Street/Saint")),
                                                      q(messages::not_found("State Road/Stage Road")),
                                                      q(messages::kNothingToPatch)}));
        QVERIFY(!h.window.check_box(1)->isEnabled());
        QVERIFY(!h.window.check_box(4)->isEnabled());
        QVERIFY(h.window.check_box(1)->isChecked());
        QVERIFY(!h.window.patch_button()->isEnabled());
        QVERIFY(h.window.isVisible());

        h.open(h.file("other.vpm", voice_with({1})));
        QVERIFY(h.all_boxes(true));
        QVERIFY(h.window.check_box(1)->isChecked());
    }

    void labelsAndFramesTickNothing() {
        Harness h;
        h.window.show();
        h.open(h.file("voice.vpm", voice_with({})));
        QTest::mouseClick(h.window.patch_button(), Qt::LeftButton);
        QVERIFY(!h.window.patch_button()->isEnabled());
        QCheckBox* box = h.window.check_box(4);
        auto* frame = box->parentWidget();
        auto* label = frame->findChild<QLabel*>(QStringLiteral("Label5"));
        QTest::mouseClick(label, Qt::LeftButton);
        QTest::mouseClick(frame, Qt::LeftButton, {}, QPoint(frame->width() - 4, frame->height() - 4));
        QVERIFY(!box->isChecked());
        QVERIFY(!h.window.patch_button()->isEnabled());
    }

    void keyboardReachesTheControlsAndSpaceTicks() {
        Harness h;
        h.window.show();
        QVERIFY(QTest::qWaitForWindowActive(&h.window));
        h.open(h.file("voice.vpm", voice_with({})));
        QTest::mouseClick(h.window.patch_button(), Qt::LeftButton);
        QVERIFY(!h.window.patch_button()->isEnabled());

        h.window.open_button()->setFocus();
        QList<QWidget*> order;
        for (int i = 0; i < 8; ++i) {
            order << QApplication::focusWidget();
            QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        }
        QCOMPARE(order.value(0), h.window.open_button());
        QVERIFY(qobject_cast<QTabBar*>(order.value(1)));
        QCOMPARE(order.value(2), h.window.check_box(4));
        QCOMPARE(order.value(3), h.window.check_box(8));
        QCOMPARE(order.value(4), h.window.check_box(13));
        QCOMPARE(order.value(5), h.window.check_box(15));

        h.window.check_box(13)->setFocus();
        QTest::keyClick(h.window.check_box(13), Qt::Key_Space);
        QVERIFY(h.window.check_box(13)->isChecked());
        QVERIFY(h.window.patch_button()->isEnabled());
    }

    void fullRunPatchesTheFileAndCloses() {
        Harness h;
        h.window.show();
        const QString path = h.file("My Voice.vpm", voice_with({1, 4, 5, 6, 9}));
        h.open(path);
        for (int k : {1, 4, 5, 6, 9, 11}) h.click_box(k);
        QTest::mouseClick(h.window.patch_button(), Qt::LeftButton);

        QCOMPARE(h.fakes.messages.texts, (QStringList{q(messages::not_found("West</Oest<")),
                                                      q(messages::not_found("West/O")),
                                                      q(messages::kPatchedSuccessfully)}));
        QVERIFY(!h.window.isVisible());
        const ByteString on_disk = read_file(path.toStdString());
        QCOMPARE(on_disk, ByteString(h.image.file_buf().begin(), h.image.file_buf().end()));
        for (int k : {1, 4, 5, 6, 9}) {
            const auto& patch = *patch_catalogue()[static_cast<std::size_t>(k - 1)].lead;
            const ByteString replacement = hex2str(patch.replacement_hex);
            QVERIFY2(std::search(on_disk.begin(), on_disk.end(), replacement.begin(), replacement.end()) !=
                         on_disk.end(),
                     qPrintable(q(patch.name)));
            const ByteString original = original_of(k);
            QVERIFY(std::search(on_disk.begin(), on_disk.end(), original.begin(), original.end()) == on_disk.end());
        }
        QVERIFY(!h.window.check_box(11)->isEnabled());
    }

    void aFailedSaveKeepsTheWindowOpen() {
        Harness h;
        h.window.show();
        const QString path = h.file("voice.vpm", voice_with({1}));
        h.open(path);
        h.click_box(1);
        std::filesystem::remove(path.toStdString());
        std::filesystem::create_directory(path.toStdString());  // the file became a folder
        QTest::mouseClick(h.window.patch_button(), Qt::LeftButton);
        QCOMPARE(h.fakes.messages.texts,
                 QStringList{QStringLiteral("Could not save the file \"%1\": it is a folder, not a file. "
                                            "The file was left unchanged.")
                                 .arg(path)});
        QVERIFY(h.window.isVisible());
        QVERIFY(h.window.patch_button()->isEnabled());
        QVERIFY(h.window.check_box(1)->isEnabled());
        QCOMPARE(h.window.state_label(1)->text(), QStringLiteral("ready"));  // the file as it is
    }

    void aWriteTheDeviceRefusesIsToldAndTheFileKept() {
        FirstVoiceWriteFails files;
        Harness h(files);
        h.window.show();
        const ByteString original = voice_with({1, 4});
        const QString path = h.file("voice.vpm", original);
        h.open(path);
        h.click_box(1);
        h.click_box(4);
        QTest::mouseClick(h.window.patch_button(), Qt::LeftButton);
        QCOMPARE(h.fakes.messages.texts,
                 QStringList{QStringLiteral("Could not save the file \"%1\": %2. The file was left unchanged.")
                                 .arg(path, QString::fromStdString(system_words(std::make_error_code(std::errc::io_error))))});
        QCOMPARE(read_file(path.toStdString()), original);
        QVERIFY(h.window.isVisible());
        QVERIFY(h.window.patch_button()->isEnabled());
        QCOMPARE(h.window.state_label(1)->text(), QStringLiteral("ready"));
    }

    void eachRowShowsItsStateInWordsAfterOpen() {
        Harness h;
        ByteString voice = voice_with({1, 3, 20});
        const ByteString changed = hex2str(patch_catalogue()[4].lead->replacement_hex);  // option 5, already done
        std::copy(changed.begin(), changed.end(), voice.end() - 2048);
        const QString path = h.file("voice.vpm", voice);
        h.open(path);
        for (int k = 1; k <= 20; ++k) {
            const QString expected = k == 1 || k == 3 || k == 20 ? QStringLiteral("ready")
                                     : k == 5                    ? QStringLiteral("already changed")
                                                                 : QStringLiteral("not in this voice");
            QCOMPARE(h.window.state_label(k)->text(), expected);
            QCOMPARE(h.window.check_box(k)->accessibleDescription(), expected);
            QVERIFY(label_fits(h.window.state_label(k)));
        }
        QCOMPARE(h.window.voice_summary()->text(),
                 QStringLiteral("voice.vpm: disk image (.vpm), 86,016 bytes\nReady options on English"));
        const QLabel* summary = h.window.voice_summary();
        for (const QString& line : summary->text().split(u'\n')) {
            QVERIFY(summary->fontMetrics().horizontalAdvance(line) <= summary->width());
        }
        QVERIFY(2 * summary->fontMetrics().height() <= summary->height());
        QVERIFY(QDir::fromNativeSeparators(summary->toolTip()).endsWith(QStringLiteral("/voice.vpm")));
        QVERIFY(h.window.check_box(1)->palette() == h.window.check_box(2)->palette());  // no colour for a state
    }

    void aFileFromTheCommandLineOrADropOpensAsIfChosen() {
        const ByteString good = voice_with({1});
        const ByteString not_voice(300, 0x41);
        for (const ByteString* bytes : {&good, &not_voice}) {
            QStringList shown[3];
            bool enabled[3];
            QString states[3];
            for (int way = 0; way < 3; ++way) {
                Harness h;
                const QString path = h.file("voice.vpm", *bytes);
                if (way == 0) h.open(path);
                if (way == 1) h.window.open_file(path);
                if (way == 2) {
                    QMimeData data;
                    data.setUrls({QUrl::fromLocalFile(path)});
                    QDragEnterEvent enter(QPoint(5, 5), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
                    QApplication::sendEvent(&h.window, &enter);
                    QVERIFY(enter.isAccepted());
                    QDropEvent drop(QPointF(5, 5), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
                    QApplication::sendEvent(&h.window, &drop);
                }
                shown[way] = h.fakes.messages.texts;
                enabled[way] = h.window.patch_button()->isEnabled();
                states[way] = h.window.state_label(1)->text();
            }
            QCOMPARE(shown[1], shown[0]);
            QCOMPARE(shown[2], shown[0]);
            QCOMPARE(enabled[1], enabled[0]);
            QCOMPARE(enabled[2], enabled[0]);
            QCOMPARE(states[1], states[0]);
            QCOMPARE(states[2], states[0]);
            QCOMPARE(enabled[0], bytes == &good);
        }
        // Two files at once open side by side in a window of their own; this
        // one keeps what it had.
        Harness h;
        QMimeData two;
        two.setUrls({QUrl::fromLocalFile(h.file("a.vpm", good)), QUrl::fromLocalFile(h.file("b.vpm", good))});
        QDragEnterEvent enter(QPoint(5, 5), Qt::CopyAction, &two, Qt::LeftButton, Qt::NoModifier);
        enter.setAccepted(false);
        QApplication::sendEvent(&h.window, &enter);
        QVERIFY(enter.isAccepted());
        QDropEvent drop(QPointF(5, 5), Qt::CopyAction, &two, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(&h.window, &drop);
        QVERIFY(h.window.several_voices() != nullptr);
        QCOMPARE(h.window.several_voices()->batch().voices().size(), std::size_t{2});
        QVERIFY(!h.window.patch_button()->isEnabled());
        QVERIFY(h.fakes.messages.texts.isEmpty());
        // A drag that carries anything but local files is not taken.
        QMimeData web;
        web.setUrls({QUrl::fromLocalFile(h.file("c.vpm", good)), QUrl(QStringLiteral("https://example.com/d.vpm"))});
        QDragEnterEvent foreign(QPoint(5, 5), Qt::CopyAction, &web, Qt::LeftButton, Qt::NoModifier);
        foreign.setAccepted(false);
        QApplication::sendEvent(&h.window, &foreign);
        QVERIFY(!foreign.isAccepted());
    }

    // A file a save was cut off in half-way (its own save, or another path's
    // of which it is a copy) is told of and put back only when the person
    // says so; No leaves it, with the row that can still put it back.
    void aHalfWrittenFileIsPutBackOnlyWhenThePersonSaysSo() {
        for (const bool own : {true, false}) {
            for (const bool yes : {false, true}) {
                Harness h;
                h.fakes.messages.answer = yes;
                const ByteString original = voice_with({1});
                // A save of two bytes that died after the first.
                ByteString half_saved = original;
                half_saved[600] ^= 0xFF;
                const QString path = h.file("voice.vpm", half_saved);
                const std::string saved_path =
                    own ? std::filesystem::weakly_canonical(path.toStdString()).string() : "/media/GARMIN/voice.vpm";
                SaveJournal record;
                record.version = 2;
                record.save.file_path = saved_path;
                record.save.before = digest_of(original);
                record.save.ranges = {{600, {original[600]}, {half_saved[600]}},
                                 {700, {original[700]}, {static_cast<std::uint8_t>(original[700] ^ 0xFF)}}};
                record.identity.size = static_cast<std::int64_t>(original.size());
                std::filesystem::create_directories(h.dir / "journals");
                std::filesystem::permissions(h.dir / "journals", std::filesystem::perms::owner_all);
                write_file(h.dir / "journals" / (new_journal_stem(saved_path) + ".journal"), encode_journal(record));

                h.open(path);
                QCOMPARE(h.fakes.messages.questions, QStringList{q(messages::kPutBackHalfWay)});
                QCOMPARE(h.fakes.messages.texts.size(), yes ? 2 : 1);
                QVERIFY(h.fakes.messages.texts[0].contains("looks half-way through a save interrupted on"));
                QCOMPARE(h.fakes.messages.texts[0].contains("(a save of \"/media/GARMIN/voice.vpm\")"), !own);
                QCOMPARE(read_file(path.toStdString()), yes ? original : half_saved);
                if (yes) QVERIFY(h.fakes.messages.texts[1].startsWith("Put the file"));
                QCOMPARE(h.window.undo_button()->isHidden(), yes);
                if (!yes) QVERIFY(h.window.last_patch()->text().startsWith("Interrupted half-way on "));
                QVERIFY(h.window.patch_button()->isEnabled());
            }
        }
    }

    // A voice a recorded save produced says so beside "Undo Last Patch", which
    // asks first and then takes that save back; the row is there only then.
    void undoLastPatchAsksThenTakesTheSaveBack() {
        for (const bool yes : {false, true}) {
            Harness h;
            h.window.show();
            const ByteString original = voices::demo_voice(voices::Container::vpm);
            const QString path = h.file("voice.vpm", original);
            h.window.open_file(path);
            QVERIFY(h.window.undo_button()->isHidden());
            const QRect tabs_alone = h.window.tabs()->geometry();
            h.click_box(1);
            h.click_box(3);
            h.window.patch_and_save();
            const ByteString patched = read_file(path.toStdString());
            QVERIFY(patched != original);

            h.window.open_file(path);
            QVERIFY(!h.window.undo_button()->isHidden());
            QCOMPARE(h.window.undo_button()->text(), QStringLiteral("Undo Last Patch"));
            QVERIFY(h.window.last_patch()->text().startsWith(QStringLiteral("Patched with this program on ")));
            QVERIFY(h.window.last_patch()->text().endsWith(QStringLiteral(": 2 options")));
            QVERIFY(h.window.state_label(1)->text().startsWith(QStringLiteral("changed ")));
            QCOMPARE(h.window.state_label(2)->text(), QStringLiteral("ready"));
            QVERIFY(h.window.tabs()->geometry().top() > tabs_alone.top());

            h.fakes.messages.answer = yes;
            h.fakes.messages.texts.clear();
            QTest::mouseClick(h.window.undo_button(), Qt::LeftButton);
            QCOMPARE(h.fakes.messages.questions.size(), 1);
            QVERIFY(h.fakes.messages.questions[0].startsWith(QStringLiteral("Take back the patch saved on ")));
            QCOMPARE(read_file(path.toStdString()), yes ? original : patched);
            QCOMPARE(h.window.undo_button()->isHidden(), yes);
            QCOMPARE(h.fakes.messages.texts.size(), yes ? 1 : 0);
            if (yes) {
                QVERIFY(h.fakes.messages.texts[0].startsWith(QStringLiteral("Took back the patch saved on ")));
                QCOMPARE(h.window.state_label(1)->text(), QStringLiteral("ready"));
                QCOMPARE(h.window.tabs()->geometry(), tabs_alone);
            }
        }
    }

    void controlOOpensTheDialogAsTheButtonDoes() {
        Harness h;
        h.window.show();
        h.window.activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(&h.window));
        QTest::keyClick(&h.window, Qt::Key_O, Qt::ControlModifier);
        QCOMPARE(h.fakes.dialog.shown, 1);
        QCOMPARE(h.fakes.dialog.title, QStringLiteral("Open Garmin TTS Voice File..."));
        QCOMPARE(h.window.open_button()->text(), QStringLiteral("Open TTS Voice File"));
    }

    void aboutOpensOneWindowAndKeepsTheProgramAlive() {
        Harness h;
        h.window.show();
        h.window.about_action()->trigger();
        QPointer<ui::About_Form> about = h.window.about_window();
        QVERIFY(about);
        QVERIFY(about->isVisible());
        QVERIFY(about->parentWidget() == nullptr);
        h.window.about_action()->trigger();
        QCOMPARE(h.window.about_window(), about.data());
        int abouts = 0;
        for (QWidget* w : QApplication::topLevelWidgets()) abouts += qobject_cast<ui::About_Form*>(w) ? 1 : 0;
        QCOMPARE(abouts, 1);

        // The main window's commands still work beside it.
        h.open(h.file("voice.vpm", voice_with({3})));
        QVERIFY(h.window.patch_button()->isEnabled());

        // Closing the main window must not end the program while About is open.
        QApplication::setQuitOnLastWindowClosed(true);
        bool running_after_main_closed = false;
        QTimer::singleShot(0, &h.window, [&h] { h.window.close(); });
        QTimer::singleShot(200, qApp, [&] {
            running_after_main_closed = true;
            about->close_button()->click();
        });
        QTimer::singleShot(10000, qApp, [] { QCoreApplication::exit(2); });
        const int exit_code = QApplication::exec();
        QApplication::setQuitOnLastWindowClosed(false);
        QVERIFY(running_after_main_closed);
        QCOMPARE(exit_code, 0);
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        QVERIFY(about.isNull());
    }
};

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    QApplication::setQuitOnLastWindowClosed(false);  // one test turns it on around its own event loop
    MainWindowTest suite;
    return QTest::qExec(&suite, argc, argv);
}

#include "main_window_test.moc"
