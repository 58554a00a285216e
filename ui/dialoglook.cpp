#include "dialoglook.h"

#include <QPainter>
#include <QPixmap>
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
