#include "ui/platform_services.h"

#include <QDesktopServices>
#include <QEvent>
#include <QFile>
#include <QFileDialog>
#include <QFileSystemModel>
#include <QHeaderView>
#include <QTreeView>
#include <QMessageBox>
#include <QRegularExpression>

#include "engine/user_messages.h"

namespace tarnwick::ui {

QStringList filter_patterns(const QString& filter) {
    static const QRegularExpression inside_parentheses(QStringLiteral("\\(([^()]*)\\)\\s*$"));
    const QRegularExpressionMatch match = inside_parentheses.match(filter);
    const QString list = match.hasMatch() ? match.captured(1) : filter;
    return list.split(QRegularExpression(QStringLiteral("[; ]")), Qt::SkipEmptyParts);
}

namespace {

// Mends Qt's own dialog once it has its widgets: Qt reads "*.vpm;*.rgn" as one
// pattern, and its detail columns are too narrow to read.
void mend_qt_dialog(QFileDialog& dialog, const QString& filter) {
    // The entry must list both kinds,
    // also after the person chooses it again, when Qt applies its own reading.
    if (auto* model = dialog.findChild<QFileSystemModel*>()) {
        const QStringList patterns = filter_patterns(filter);
        model->setNameFilters(patterns);
        QObject::connect(&dialog, &QFileDialog::filterSelected, model,
                         [model, patterns] { model->setNameFilters(patterns); });
    }
    // Size, Type and Date Modified as wide as what they show; the name takes the rest.
    if (auto* view = dialog.findChild<QTreeView*>(QStringLiteral("treeView"))) {
        QHeaderView* header = view->header();
        header->setStretchLastSection(false);
        header->setSectionResizeMode(0, QHeaderView::Stretch);
        for (int column = 1; column < header->count(); ++column) {
            header->setSectionResizeMode(column, QHeaderView::ResizeToContents);
        }
    }
}

// Mends Qt's own dialog when it is the one shown: a system's dialog never
// shows the QFileDialog widget itself.
class MendWhenShown final : public QObject {
public:
    MendWhenShown(QFileDialog& dialog, QString filter) : QObject(&dialog), dialog_(dialog), filter_(std::move(filter)) {}

protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (watched == &dialog_ && event->type() == QEvent::Show && !mended_) {
            mended_ = true;
            mend_qt_dialog(dialog_, filter_);
        }
        return false;
    }

private:
    QFileDialog& dialog_;
    QString filter_;
    bool mended_ = false;
};

}  // namespace

void prepare_open_dialog(QFileDialog& dialog, const QString& filter, DialogChoice choice) {
    if (choice == DialogChoice::qt_own) dialog.setOption(QFileDialog::DontUseNativeDialog);
    dialog.setAcceptMode(QFileDialog::AcceptOpen);
    // Several voices may be chosen at once; a typed name is taken whatever its extension.
    dialog.setFileMode(QFileDialog::ExistingFiles);
    dialog.setViewMode(QFileDialog::Detail);
    dialog.setWindowModality(Qt::WindowModal);
    dialog.setNameFilter(filter);
    if (choice == DialogChoice::qt_own) {
        mend_qt_dialog(dialog, filter);
    } else {
        dialog.installEventFilter(new MendWhenShown(dialog, filter));
    }
    dialog.resize(kOpenDialogSize);
}

QStringList QtOpenDialog::show_open_dialog(QWidget* owner, const QString& title, const QString& filter,
                                           const QString& initial_folder) {
    QFileDialog dialog(owner, title, initial_folder);
    prepare_open_dialog(dialog, filter, choice_);
    if (dialog.exec() != QDialog::Accepted) return {};
    return dialog.selectedFiles();
}

std::filesystem::path to_path(const QString& chosen) {
#ifdef _WIN32
    return std::filesystem::path(chosen.toStdWString());
#else
    const QByteArray encoded = QFile::encodeName(chosen);
    return std::filesystem::path(std::string(encoded.constData(), static_cast<std::size_t>(encoded.size())));
#endif
}

void QtMessageBoxes::show_message(QWidget* owner, const QString& text) {
    QMessageBox box(QMessageBox::NoIcon, QString::fromUtf8(messages::kApplicationTitle.data(),
                                                           static_cast<qsizetype>(messages::kApplicationTitle.size())),
                    text, QMessageBox::Ok, owner);
    box.setTextFormat(Qt::PlainText);
    box.exec();
}

bool QtMessageBoxes::ask(QWidget* owner, const Question& question) {
    QMessageBox box(QMessageBox::NoIcon, QString::fromUtf8(messages::kApplicationTitle.data(),
                                                           static_cast<qsizetype>(messages::kApplicationTitle.size())),
                    QString::fromStdString(question.text), QMessageBox::Yes | QMessageBox::No, owner);
    box.setDefaultButton(question.yes_by_default ? QMessageBox::Yes : QMessageBox::No);
    box.setTextFormat(Qt::PlainText);
    return box.exec() == QMessageBox::Yes;
}

bool QtBrowser::open_url(const QUrl& address) { return QDesktopServices::openUrl(address); }

}  // namespace tarnwick::ui
