#include "ui/platform_services.h"

#include <QDesktopServices>
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

void prepare_open_dialog(QFileDialog& dialog, const QString& filter) {
    // Qt's own dialog on every desktop: the filter fix-up below needs its model.
    dialog.setOption(QFileDialog::DontUseNativeDialog);
    dialog.setAcceptMode(QFileDialog::AcceptOpen);
    dialog.setFileMode(QFileDialog::AnyFile);  // a typed name is taken whatever its extension
    dialog.setViewMode(QFileDialog::Detail);
    dialog.setWindowModality(Qt::WindowModal);
    dialog.setNameFilter(filter);
    // Qt reads "*.vpm;*.rgn" as one pattern; the entry must list both kinds,
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
    dialog.resize(kOpenDialogSize);
}

QString QtOpenDialog::show_open_dialog(QWidget* owner, const QString& title, const QString& filter,
                                       const QString& initial_folder) {
    QFileDialog dialog(owner, title, initial_folder);
    prepare_open_dialog(dialog, filter);
    if (dialog.exec() != QDialog::Accepted) return {};
    const QStringList chosen = dialog.selectedFiles();
    return chosen.isEmpty() ? QString() : chosen.first();
}

void QtMessageBoxes::show_message(QWidget* owner, const QString& text) {
    QMessageBox box(QMessageBox::NoIcon, QString::fromUtf8(messages::kApplicationTitle.data(),
                                                           static_cast<qsizetype>(messages::kApplicationTitle.size())),
                    text, QMessageBox::Ok, owner);
    box.setTextFormat(Qt::PlainText);
    box.exec();
}

bool QtBrowser::open_url(const QUrl& address) { return QDesktopServices::openUrl(address); }

}  // namespace tarnwick::ui
