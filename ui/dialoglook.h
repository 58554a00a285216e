#ifndef DIALOGLOOK_H
#define DIALOGLOOK_H

class QIcon;
class QLabel;
class QString;
class QWidget;

// The look the dialogs share: a frameless 640 x 455 window whose whole surface is the
// background picture, with the widgets drawn over it. The pictures come at 1x and 2x
// (":/update_bg@2x", ":/icon@2x"); on a screen that scales, the sharper one is drawn, in the same
// device-independent size.
void makeFrameless(QWidget *dialog);
// Gives the dialog's buttons a focus frame the keyboard can be followed by, in every style
// (Fusion draws the default button alike with and without the focus); shown, as Windows shows
// focus, once the keyboard has moved the focus.
void showKeyboardFocus(QWidget *dialog);
void paintDialogBackground(QWidget *dialog);
// the application's icon: ":/icon" with its 2x picture
QIcon applicationIcon();

// A one-line label for text that comes from the network or from files (plain text in the
// forms). It gets a "复制" action, in its context menu and as Ctrl+C in its window, that puts
// the whole text last shown on the clipboard.
void addCopyAction(QLabel *label);
// Shows the text elided to the label's width; the whole text is in the tool tip, is what the
// copy action copies and is the label's accessible name, which screen readers read.
void showWholeText(QLabel *label, const QString &text);
// the whole text a label of showWholeText shows, elided or not
QString wholeText(const QLabel *label);

#endif // DIALOGLOOK_H
