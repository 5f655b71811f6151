#include "qt_dialogs.h"

#include <QDialog>
#include <QDialogButtonBox>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QVBoxLayout>

namespace zephlink {

bool QtDialogs::confirm(const QString& message, const QString& information, const QString& accept,
                        const QString& cancel) {
    QMessageBox box;
    box.setWindowTitle(QStringLiteral("Zephlink"));
    box.setIcon(QMessageBox::Warning);
    // Texts may carry what a link said (a relay's host): never markup.
    box.setTextFormat(Qt::PlainText);
    box.setText(message);
    box.setInformativeText(information);
    if (auto* label = box.findChild<QLabel*>(QStringLiteral("qt_msgbox_informativelabel")))
        label->setTextFormat(Qt::PlainText);
    // A screen reader announces the alert by its question.
    box.setAccessibleName(message);
    box.setAccessibleDescription(information);
    QPushButton* first = box.addButton(accept, QMessageBox::AcceptRole);
    QPushButton* second = box.addButton(cancel, QMessageBox::RejectRole);
    box.setDefaultButton(second);
    box.setWindowFlag(Qt::WindowStaysOnTopHint);
    box.exec();
    return box.clickedButton() == first;
}

std::optional<QString> QtDialogs::askAddress(const QString& message, const QString& information,
                                             const QString& text) {
    QDialog dialog;
    dialog.setWindowTitle(QStringLiteral("Zephlink"));
    dialog.setWindowFlag(Qt::WindowStaysOnTopHint);
    auto* layout = new QVBoxLayout(&dialog);
    auto* title = new QLabel(message);
    QFont bold = title->font();
    bold.setBold(true);
    title->setFont(bold);
    layout->addWidget(title);
    auto* info = new QLabel(information);
    info->setWordWrap(true);
    info->setMaximumWidth(420);
    layout->addWidget(info);
    auto* field = new QLineEdit(text);
    field->setFixedSize(360, 24);
    field->setAccessibleName(QStringLiteral("Relay address"));
    layout->addWidget(field);
    auto* buttons = new QDialogButtonBox;
    QPushButton* copy =
        buttons->addButton(QStringLiteral("Copy invitation"), QDialogButtonBox::AcceptRole);
    buttons->addButton(QStringLiteral("Cancel"), QDialogButtonBox::RejectRole);
    copy->setDefault(true);
    layout->addWidget(buttons);
    QObject::connect(buttons, &QDialogButtonBox::accepted, &dialog, &QDialog::accept);
    QObject::connect(buttons, &QDialogButtonBox::rejected, &dialog, &QDialog::reject);
    if (dialog.exec() != QDialog::Accepted)
        return std::nullopt;
    return field->text();
}

} // namespace zephlink
