#ifndef ARTWORK_H
#define ARTWORK_H

#include <QImage>

// The dialog background: a blue header with the update motif above y = 280 and a quiet, light
// band below it where the dialogs put their labels and buttons. scale: 1 for 640 x 455 pixels,
// 2 for the picture of screens that scale by 200 %, the same drawing at twice the detail.
QImage renderBackground(int scale = 1);

// The program icon: the same motif on a rounded blue square with transparent corners; 64 x 64
// pixels times scale.
QImage renderIcon(int scale = 1);

// A sheet for looking at the icon: actual size on light and dark ground, the sizes Windows
// scales it to, and an enlarged copy that shows single pixels.
QImage renderIconPreview(const QImage &icon);

#endif // ARTWORK_H
