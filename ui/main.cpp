#include <QApplication>
#include <QIcon>

#include "engine/voice_image.h"
#include "ui/main_window.h"
#include "ui/platform_services.h"

int main(int argc, char* argv[]) {
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("TTS_Tarnwick"));
    QApplication::setDesktopFileName(QStringLiteral("tts-tarnwick"));
    QApplication::setWindowIcon(QIcon(QStringLiteral(":/icons/tts-tarnwick.png")));

    tarnwick::VoiceImage image;  // the program's one voice image
    tarnwick::ui::QtOpenDialog dialog;
    tarnwick::ui::QtMessageBoxes messages;
    tarnwick::ui::QtBrowser browser;
    tarnwick::ui::Tarnwick window(image, {dialog, messages, browser}, tarnwick::default_journal_folder());
    window.show();
    return QApplication::exec();
}
