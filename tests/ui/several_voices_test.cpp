// The window for several voices: chosen together, patched and saved in one
// go with one summary and no box per message, and taken back in one go.
#include <QHeaderView>
#include <QPlainTextEdit>
#include <QProcess>
#include <QProgressBar>
#include <QPushButton>
#include <QTableWidget>
#include <QtTest>

#include "engine/open_voice.h"
#include "engine/patch_run.h"
#include "engine/user_messages.h"
#include "tools/voice_builder/disk_image_builder.h"
#include "tests/support/test_files.h"
#include "tests/ui/fakes.h"
#include "ui/main_window.h"

using namespace tarnwick;
using tarnwick::testing::FakeServices;
using tarnwick::testing::read_file;
using tarnwick::testing::TempDir;
using tarnwick::testing::write_file;

namespace {

// Only options 1 and 19 of the catalogue are in it.
ByteString voice_with_1_and_19() {
    voices::DiskImageBuilder builder;
    builder.container(voices::Container::vpm).block_exp(2).dllimg_first_block(10);
    std::int64_t at = builder.dllimg_data_start() + 32;
    for (const int k : {1, 19}) {
        builder.place(at, hex2str(patch_catalogue()[static_cast<std::size_t>(k - 1)].lead->original_hex));
        at += 128;
    }
    return builder.build();
}

// The bytes the voice gets when patched alone with options 1, 2 and 19: by
// the command line where there is one to run, else as it runs it.
ByteString patched_alone(const TempDir& dir, const std::string& name, const ByteString& bytes) {
    const std::filesystem::path path = dir / ("alone " + name);
    write_file(path, bytes);
#ifdef TARNWICK_CLI
    QProcess cli;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("XDG_DATA_HOME"), QString::fromStdString((dir / "cli data").string()));
    cli.setProcessEnvironment(environment);
    cli.start(QStringLiteral(TARNWICK_CLI), {QStringLiteral("apply"), QStringLiteral("--options"),
                                              QStringLiteral("1,2,19"), QString::fromStdString(path.string())});
    cli.waitForFinished(60000);
#else
    VoiceImage image;
    const OpenedVoice opened = open_voice(image, path, dir / "alone", system_file_calls(), RecoveryMode::record, {});
    WindowControls controls = opened.controls;
    controls.tick({1, 2, 19});
    run_patch(image, controls, dir / "alone", system_file_calls());
#endif
    return read_file(path);
}

}  // namespace

class SeveralVoicesTest : public QObject {
    Q_OBJECT

private slots:
    void chosenTogetherPatchedWithOneSummaryAndTakenBackExactly() {
        FakeServices fakes;
        VoiceImage image;
        TempDir dir;
        ui::Tarnwick main{image, fakes.services(), dir / "journals"};
        struct File {
            std::string name;
            ByteString bytes;
        };
        const std::vector<File> files = {
            {"English.vpm", voices::demo_voice(voices::Container::vpm)},
            {"Karen & Lee.rgn", voices::demo_voice(voices::Container::rgn)},
            {"Julie.vpm", voice_with_1_and_19()},
            {"notes.vpm", ascii_bytes("shopping list")},
        };
        QStringList chosen;
        for (const File& file : files) {
            write_file(dir / file.name, file.bytes);
            chosen << QString::fromStdString((dir / file.name).string());
        }
        fakes.dialog.answers << chosen;
        QTest::mouseClick(main.open_button(), Qt::LeftButton);
        ui::SeveralVoices* window = main.several_voices();
        QVERIFY(window != nullptr);
        QVERIFY(!main.patch_button()->isEnabled());  // the main window keeps what it had
        QTableWidget* table = window->table();

        // A column per voice, headed by its name, kind and size; a row per
        // option, its state in each voice.
        QCOMPARE(table->columnCount(), 5);
        QCOMPARE(table->horizontalHeaderItem(1)->text(),
                 QStringLiteral("English.vpm\ndisk image (.vpm), 35,584 bytes"));
        QCOMPARE(table->horizontalHeaderItem(4)->text(), QStringLiteral("notes.vpm\nnot a voice file, 13 bytes"));
        QCOMPARE(table->item(window->row_of(2), 0)->text(), QString::fromUtf8(patch_catalogue()[1].label.data()));
        QCOMPARE(table->item(window->row_of(2), 1)->text(), QStringLiteral("ready"));
        QCOMPARE(table->item(window->row_of(2), 3)->text(), QStringLiteral("not in this voice"));
        QCOMPARE(table->item(window->row_of(2), 4)->text(), QString());
        QCOMPARE(table->item(0, 0)->text(), QStringLiteral("English"));  // the tabs head their rows
        QVERIFY(!window->undo_button()->isEnabled());

        // Option 1 ticked from the keyboard, 2 and 19 by hand.
        table->setFocus();
        table->setCurrentCell(window->row_of(1), 0);
        QTest::keyClick(table, Qt::Key_Space);
        QCOMPARE(table->item(window->row_of(1), 0)->checkState(), Qt::Checked);
        for (const int k : {2, 19}) table->item(window->row_of(k), 0)->setCheckState(Qt::Checked);
        QTest::mouseClick(window->patch_button(), Qt::LeftButton);

        QVERIFY2(fakes.messages.texts.isEmpty(), qPrintable(fakes.messages.texts.join(u'|')));
        QCOMPARE(window->progress()->text(), QStringLiteral("Voice 4 of 4"));
        QCOMPARE(window->summary()->toPlainText(),
                 QStringLiteral("Saved 3 of 4 voices.\n"
                                "English.vpm: Saved with 3 changes.\n"
                                "Karen & Lee.rgn: Saved with 3 changes.\n"
                                "Julie.vpm: Saved with 2 changes.\n"
                                "notes.vpm: Refused: the file is as it was.\n"
                                "    The specified file is not a valid TTS voice file."));
        for (const File& file : files) {
            const ByteString expected = file.name == "notes.vpm" ? file.bytes : patched_alone(dir, file.name, file.bytes);
            QVERIFY2(read_file(dir / file.name) == expected, file.name.c_str());
            QVERIFY(expected != file.bytes || file.name == "notes.vpm");
        }
        QCOMPARE(table->item(window->row_of(2), 1)->text().left(8), QStringLiteral("changed "));
        QVERIFY(!(table->item(window->row_of(2), 0)->flags() & Qt::ItemIsUserCheckable));  // ready nowhere now

        // Undo All asks once; No leaves every file, Yes takes every patch back.
        QVERIFY(window->undo_button()->isEnabled());
        fakes.messages.answer = false;
        QTest::mouseClick(window->undo_button(), Qt::LeftButton);
        QCOMPARE(read_file(dir / "English.vpm") == files[0].bytes, false);
        fakes.messages.answer = true;
        QTest::mouseClick(window->undo_button(), Qt::LeftButton);
        QCOMPARE(fakes.messages.questions,
                 QStringList(2, QStringLiteral("Take back the patch this batch saved in 3 voices?")));
        for (const File& file : files) QVERIFY2(read_file(dir / file.name) == file.bytes, file.name.c_str());
        QVERIFY(window->summary()->toPlainText().startsWith(QStringLiteral("Took back the patch of 3 of 3 voices.\n")));
        QVERIFY(!window->undo_button()->isEnabled());
        QCOMPARE(table->item(window->row_of(2), 1)->text(), QStringLiteral("ready"));
    }
};

QTEST_MAIN(SeveralVoicesTest)
#include "several_voices_test.moc"
