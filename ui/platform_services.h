#pragma once

#include <QSize>
#include <QStringList>

#include <filesystem>
#include <QString>
#include <QUrl>

#include "engine/file_calls.h"
#include "engine/user_messages.h"

class QFileDialog;
class QWidget;

namespace tarnwick::ui {

// The open-file dialog: returns the chosen paths (one or several) exactly as
// the person chose or typed them, or none when the dialog was cancelled.
class OpenDialog {
public:
    virtual ~OpenDialog() = default;
    virtual QStringList show_open_dialog(QWidget* owner, const QString& title, const QString& filter,
                                         const QString& initial_folder) = 0;
};

// Modal message boxes: the text, the single button OK, no icon, the program's
// title as caption. Returns once the box is dismissed.
class MessageBoxes {
public:
    virtual ~MessageBoxes() = default;
    virtual void show_message(QWidget* owner, const QString& text) = 0;
    // The same with the buttons Yes and No, the default as the question
    // says: true for Yes.
    virtual bool ask(QWidget* owner, const Question& question) = 0;
};

// The person's web browser. Returns false when it could not be started.
class Browser {
public:
    virtual ~Browser() = default;
    virtual bool open_url(const QUrl& address) = 0;
};

struct PlatformServices {
    OpenDialog& dialog;
    MessageBoxes& messages;
    Browser& browser;
    FileSystemCalls& files;  // every read and write of a voice and its journals
};

// Which open dialog to show: the system's own where the platform offers one
// (Windows; a desktop whose Qt platform theme or portal has one), else Qt's;
// or Qt's own always.
enum class DialogChoice { system_where_there_is_one, qt_own };

// The real thing, built on Qt's file dialog, QMessageBox and QDesktopServices.
class QtOpenDialog final : public OpenDialog {
public:
    explicit QtOpenDialog(DialogChoice choice = DialogChoice::system_where_there_is_one) : choice_(choice) {}
    QStringList show_open_dialog(QWidget* owner, const QString& title, const QString& filter,
                                 const QString& initial_folder) override;

private:
    DialogChoice choice_;
};

class QtMessageBoxes final : public MessageBoxes {
public:
    void show_message(QWidget* owner, const QString& text) override;
    bool ask(QWidget* owner, const Question& question) override;
};

class QtBrowser final : public Browser {
public:
    bool open_url(const QUrl& address) override;
};

// The open dialog's setup: the title, filter, folder and modality asked for;
// where Qt's own dialog shows, both patterns of the filter in force whichever
// way the filter is chosen, and columns wide enough to read.
inline constexpr QSize kOpenDialogSize{860, 520};
void prepare_open_dialog(QFileDialog& dialog, const QString& filter,
                         DialogChoice choice = DialogChoice::system_where_there_is_one);

// A path as the dialog, a drop or the command line gave it, as the engine takes it.
std::filesystem::path to_path(const QString& chosen);

// The wildcard patterns of a filter such as "Name (*.a;*.b)": {"*.a", "*.b"}.
QStringList filter_patterns(const QString& filter);

}  // namespace tarnwick::ui
