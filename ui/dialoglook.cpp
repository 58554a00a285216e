#include "dialoglook.h"

#include <QAction>
#include <QClipboard>
#include <QCoreApplication>
#include <QFontMetrics>
#include <QGuiApplication>
#include <QIcon>
#include <QKeySequence>
#include <QLabel>
#include <QPaintEngine>
#include <QPainter>
#include <QPixmap>
#include <QPointer>
#include <QProxyStyle>
#include <QPushButton>
#include <QStyleOption>
#include <QTextDocument>
#include <QWidget>

void makeFrameless(QWidget *dialog)
{
    dialog->setWindowFlags(dialog->windowFlags() | Qt::FramelessWindowHint);
}

namespace {
// the application's style, with a frame in the highlight colour inside a push button that has
// the keyboard's focus
class KeyboardFocusStyle : public QProxyStyle
{
public:
    void drawControl(ControlElement element, const QStyleOption *option, QPainter *painter,
        const QWidget *widget) const override
    {
        QProxyStyle::drawControl(element, option, painter, widget);
        if (element != CE_PushButton || !(option->state & State_HasFocus)
            || !(option->state & State_KeyboardFocusChange))
            return;
        painter->save();
        painter->setPen(QPen(option->palette.color(QPalette::Highlight), 2));
        painter->setBrush(Qt::NoBrush);
        painter->setRenderHint(QPainter::Antialiasing, false);
        painter->drawRect(QRectF(option->rect).adjusted(3, 3, -3, -3));
        painter->restore();
    }
};
} // namespace

void showKeyboardFocus(QWidget *dialog)
{
    static QPointer<KeyboardFocusStyle> style;
    if (!style) {
        style = new KeyboardFocusStyle;
        style->setParent(QCoreApplication::instance());
    }
    const QList<QPushButton *> buttons = dialog->findChildren<QPushButton *>();
    for (QPushButton *button : buttons)
        button->setStyle(style);
}

void paintDialogBackground(QWidget *dialog)
{
    QPainter painter(dialog);
    painter.setRenderHint(QPainter::Antialiasing, true);
    // At 1x the picture is drawn pixel for pixel as it always was. A scaling screen gets the 2x
    // picture, covering the same 640 x 455: pixel for pixel at 2 (Qt 5 rounds 150 % up to 2), and
    // scaled down smoothly at a fractional ratio, where 455 x 1.5 would be no whole number of
    // pixels for a picture of its own. The ratio is that of what is painted on: the screen's
    // backing store, or the picture of a grab.
    if (painter.paintEngine()->paintDevice()->devicePixelRatioF() <= 1.0) {
        painter.drawPixmap(QPoint(0, 0), QPixmap(QStringLiteral(":/update_bg")));
        return;
    }
    QPixmap sharp(QStringLiteral(":/update_bg@2x"));
    sharp.setDevicePixelRatio(2.0);
    painter.setRenderHint(QPainter::SmoothPixmapTransform, true);
    painter.drawPixmap(QPoint(0, 0), sharp);
}

QIcon applicationIcon()
{
    QIcon icon(QStringLiteral(":/icon"));
    icon.addFile(QStringLiteral(":/icon@2x"));
    return icon;
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
    // a screen reader reads the tool tip as the description: the same text, without markup
    label->setAccessibleName(text);
    label->setAccessibleDescription(shown == text ? QString() : text);
    // a tool tip guesses whether its text is markup, as a label does: the text goes in as
    // escaped rich text, so that it always shows literally
    label->setToolTip(
        shown == text ? QString() : Qt::convertFromPlainText(text, Qt::WhiteSpaceNormal));
    if (QAction *copy = copyAction(label))
        copy->setData(text);
}
