#ifndef DIALOGLOOK_H
#define DIALOGLOOK_H

class QWidget;

// The look the three dialogs share: a frameless 640 x 455 window whose whole surface is the
// background picture, with the widgets drawn over it.
void makeFrameless(QWidget *dialog);
void paintDialogBackground(QWidget *dialog);

#endif // DIALOGLOOK_H
