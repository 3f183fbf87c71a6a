#include <QApplication>
#include <QCommandLineParser>
#include <QIcon>
#include <QTimer>

#include "engine/voice_image.h"
#include "ui/main_window.h"
#include "ui/platform_services.h"

int main(int argc, char* argv[]) {
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("TTS_Tarnwick"));
    QApplication::setApplicationVersion(tarnwick::ui::version_text());
    QApplication::setDesktopFileName(QStringLiteral("tts-tarnwick"));
    QApplication::setWindowIcon(QIcon(QStringLiteral(":/icons/tts-tarnwick.png")));

    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Changes how a navigation voice reads street abbreviations."));
    parser.addHelpOption();
    parser.addVersionOption();
    parser.addPositionalArgument(QStringLiteral("file"), QStringLiteral("A voice file (.vpm or .rgn) to open."),
                                 QStringLiteral("[file]"));
    parser.process(app);

    tarnwick::VoiceImage image;  // the program's one voice image
    tarnwick::ui::QtOpenDialog dialog;
    tarnwick::ui::QtMessageBoxes messages;
    tarnwick::ui::QtBrowser browser;
    tarnwick::ui::Tarnwick window(image, {dialog, messages, browser}, tarnwick::default_journal_folder());
    window.show();
    if (const QStringList files = parser.positionalArguments(); !files.isEmpty()) {
        // Once the window is up, so that any message has it as owner.
        QTimer::singleShot(0, &window, [&window, file = files.first()] { window.open_file(file); });
    }
    return QApplication::exec();
}
