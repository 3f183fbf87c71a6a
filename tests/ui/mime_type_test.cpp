// The desktop learns voice files from the program's shared-mime-info type:
// .vpm by name or mark, .rgn by the mark alone.
#include <QMimeDatabase>
#include <QProcess>
#include <QtTest>

#include "tools/voice_builder/disk_image_builder.h"
#include "tests/support/test_files.h"

using namespace tarnwick;

namespace {
const QString kVoiceType = QStringLiteral("application/x-tts-tarnwick-voice");
}

class MimeTypeTest : public QObject {
    Q_OBJECT

private slots:
    void voicesAreKnownByNameAndMark() {
        const testing::TempDir files;
        struct Case {
            const char* name;
            ByteString bytes;
            bool voice;
        };
        const ByteString text(200, 'x');
        const std::vector<Case> cases = {
            {"demo.vpm", voices::demo_voice(voices::Container::vpm), true},
            {"demo.rgn", voices::demo_voice(voices::Container::rgn), true},
            {"renamed.bin", voices::demo_voice(voices::Container::vpm), true},
            {"unmarked.vpm", text, true},
            {"other-map.rgn", text, false},
        };
        QMimeDatabase db;
        for (const Case& c : cases) {
            testing::write_file(files / c.name, c.bytes);
            const QString type = db.mimeTypeForFile(QString::fromStdString((files / c.name).string())).name();
            QVERIFY2((type == kVoiceType) == c.voice, qPrintable(QStringLiteral("%1: %2").arg(c.name, type)));
        }
    }
};

int main(int argc, char** argv) {
    // The type installed as `cmake --install` puts it, into a data folder of this test's own.
    const testing::TempDir data;
    const auto packages = data.path() / "mime" / "packages";
    std::filesystem::create_directories(packages);
    std::filesystem::copy_file(TARNWICK_MIME_XML, packages / "tts-tarnwick-voice.xml");
    if (QProcess::execute(QStringLiteral("update-mime-database"),
                          {QString::fromStdString((data.path() / "mime").string())}) != 0) {
        return 1;
    }
    qputenv("XDG_DATA_DIRS", QByteArray::fromStdString(data.path().string()) + ":/usr/share");
    QCoreApplication app(argc, argv);
    MimeTypeTest suite;
    return QTest::qExec(&suite, argc, argv);
}

#include "mime_type_test.moc"
