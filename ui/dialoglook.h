#ifndef DIALOGLOOK_H
#define DIALOGLOOK_H

class QLabel;
class QString;
class QWidget;

// The look the dialogs share: a frameless 640 x 455 window whose whole surface is the
// background picture, with the widgets drawn over it.
void makeFrameless(QWidget *dialog);
void paintDialogBackground(QWidget *dialog);

// A one-line label for text that comes from the network or from files (plain text in the
// forms). It gets a "复制" action, in its context menu and as Ctrl+C in its window, that puts
// the whole text last shown on the clipboard.
void addCopyAction(QLabel *label);
// Shows the text elided to the label's width; the whole text is in the tool tip and is what the
// copy action copies.
void showWholeText(QLabel *label, const QString &text);
// the whole text a label of showWholeText shows, elided or not
QString wholeText(const QLabel *label);

#endif // DIALOGLOOK_H
