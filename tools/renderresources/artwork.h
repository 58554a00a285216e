#ifndef ARTWORK_H
#define ARTWORK_H

#include <QImage>

// The dialog background: a blue header with the update motif above y = 280 and a quiet, light
// band below it where the dialogs put their labels and buttons.
QImage renderBackground();

// The program icon: the same motif on a rounded blue square with transparent corners.
QImage renderIcon();

// A sheet for looking at the icon: actual size on light and dark ground, the sizes Windows
// scales it to, and an enlarged copy that shows single pixels.
QImage renderIconPreview(const QImage &icon);

#endif // ARTWORK_H
