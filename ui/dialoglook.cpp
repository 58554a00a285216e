#include "dialoglook.h"

#include <QAction>
#include <QClipboard>
#include <QFontMetrics>
#include <QGuiApplication>
#include <QKeySequence>
#include <QLabel>
#include <QPainter>
#include <QPixmap>
#include <QTextDocument>
#include <QWidget>

void makeFrameless(QWidget *dialog)
{
    dialog->setWindowFlags(dialog->windowFlags() | Qt::FramelessWindowHint);
}

void paintDialogBackground(QWidget *dialog)
{
    QPainter painter(dialog);
    painter.setRenderHint(QPainter::Antialiasing, true);
    painter.drawPixmap(QPoint(0, 0), QPixmap(QStringLiteral(":/update_bg")));
}

namespace {
QAction *copyAction(const QLabel *label)
{
    return label->findChild<QAction *>(QString(), Qt::FindDirectChildrenOnly);
}
} // namespace

void addCopyAction(QLabel *label)
{
    auto *copy = new QAction(QLabel::tr("复制"), label);
    copy->setShortcut(QKeySequence::Copy);
    copy->setShortcutContext(Qt::WindowShortcut);
    QObject::connect(copy, &QAction::triggered, copy,
        [copy] { QGuiApplication::clipboard()->setText(copy->data().toString()); });
    label->addAction(copy);
    label->setContextMenuPolicy(Qt::ActionsContextMenu);
    copy->setData(label->text());
}

QString wholeText(const QLabel *label)
{
    const QAction *copy = copyAction(label);
    return copy ? copy->data().toString() : label->text();
}

void showWholeText(QLabel *label, const QString &text)
{
    const QString shown
        = label->fontMetrics().elidedText(text, Qt::ElideMiddle, label->contentsRect().width());
    label->setText(shown);
    // a tool tip guesses whether its text is markup, as a label does: the text goes in as
    // escaped rich text, so that it always shows literally
    label->setToolTip(
        shown == text ? QString() : Qt::convertFromPlainText(text, Qt::WhiteSpaceNormal));
    if (QAction *copy = copyAction(label))
        copy->setData(text);
}
