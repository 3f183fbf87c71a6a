#include <QApplication>
#include <QCommandLineParser>
#include <QIcon>
#include <QTimer>

#include <cstring>

#include "engine/voice_image.h"
#include "ui/main_window.h"
#include "ui/platform_services.h"

namespace {

void describe(QCommandLineParser& parser) {
    parser.setApplicationDescription(QStringLiteral("Changes how a navigation voice reads street abbreviations."));
    parser.addHelpOption();
    parser.addVersionOption();
    parser.addPositionalArgument(QStringLiteral("file"),
                                 QStringLiteral("A voice file (.vpm or .rgn) to open; several open side by side."),
                                 QStringLiteral("[file...]"));
}

bool asks_only_for_words(int argc, char* argv[]) {
    for (int i = 1; i < argc; ++i) {
        for (const char* word : {"-h", "-?", "--help", "--help-all", "-v", "--version"}) {
            if (std::strcmp(argv[i], word) == 0) return true;
        }
    }
    return false;
}

}  // namespace

int main(int argc, char* argv[]) {
    QCoreApplication::setApplicationName(QStringLiteral("TTS_Tarnwick"));
    QCoreApplication::setApplicationVersion(tarnwick::ui::version_text());
    if (asks_only_for_words(argc, argv)) {
        // Help and version are printed without opening a display.
        QCoreApplication words(argc, argv);
        QCommandLineParser parser;
        describe(parser);
        parser.process(words);  // prints, then ends the program
    }

    QApplication app(argc, argv);
    QApplication::setDesktopFileName(QStringLiteral("tts-tarnwick"));
    QApplication::setWindowIcon(QIcon(QStringLiteral(":/icons/tts-tarnwick.png")));
    QCommandLineParser parser;
    describe(parser);
    parser.process(app);

    tarnwick::VoiceImage image;  // the program's one voice image
    tarnwick::ui::QtOpenDialog dialog;
    tarnwick::ui::QtMessageBoxes messages;
    tarnwick::ui::QtBrowser browser;
    tarnwick::ui::Tarnwick window(image, {dialog, messages, browser, tarnwick::system_file_calls()}, tarnwick::default_journal_folder());
    window.show();
    if (const QStringList files = parser.positionalArguments(); !files.isEmpty()) {
        // Once the window is up, so that any message has it as owner.
        QTimer::singleShot(0, &window, [&window, files] { window.open_files(files); });
    }
    return QApplication::exec();
}
