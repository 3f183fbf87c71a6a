#pragma once

#include <functional>

#include <QList>
#include <QStringList>
#include <QUrl>

#include "ui/platform_services.h"

namespace tarnwick::testing {

// Answers the open dialog from a queue, each answer the files chosen; an
// empty queue answers "cancelled".
struct FakeDialog : ui::OpenDialog {
    QList<QStringList> answers;
    int shown = 0;
    QWidget* owner = nullptr;
    QString title, filter, folder;

    QStringList show_open_dialog(QWidget* owner_widget, const QString& dialog_title, const QString& dialog_filter,
                             const QString& initial_folder) override {
        ++shown;
        owner = owner_widget;
        title = dialog_title;
        filter = dialog_filter;
        folder = initial_folder;
        return answers.isEmpty() ? QStringList() : answers.takeFirst();
    }
};

// Records every message box in order; `on_show` runs while a box would be up.
struct FakeMessages : ui::MessageBoxes {
    QStringList texts;
    QList<QWidget*> owners;
    std::function<void(const QString&)> on_show;

    void show_message(QWidget* owner, const QString& text) override {
        texts << text;
        owners << owner;
        if (on_show) on_show(text);
    }

    // Questions asked, answered with `answer`.
    QStringList questions;
    bool answer = false;
    bool ask(QWidget*, const Question& question) override {
        questions << QString::fromStdString(question.text);
        return answer;
    }
};

struct FakeBrowser : ui::Browser {
    QList<QUrl> opened;
    bool starts = true;

    bool open_url(const QUrl& address) override {
        opened << address;
        return starts;
    }
};

struct FakeServices {
    FakeDialog dialog;
    FakeMessages messages;
    FakeBrowser browser;
    FakeServices() = default;
    explicit FakeServices(FileSystemCalls& calls) : files(&calls) {}

    // The system's own file calls unless a test gives others.
    FileSystemCalls* files = &system_file_calls();
    ui::PlatformServices services() { return {dialog, messages, browser, *files}; }
};

}  // namespace tarnwick::testing
