#pragma once

#include <QFont>
#include <QImage>
#include <QPainter>

namespace quill {

// The window's font: Tahoma 8 pt where installed, else the system sans-serif.
QFont WindowFont();
// The same family, bold, at a character height in pixels.
QFont BoldFont(int pixelHeight);

// The pictures of the window's skin, drawn by code at first use. Button
// pictures use white (#FFFFFF) only for the pixels that are cut out.
struct TSkin {
  QImage TitleLeft, TitleFill, TitleRight;     // 22, 256 and 5 x 57
  QImage StatusLeft, StatusFill, StatusRight;  // 4, 8 and 4 x 29
  QImage PageBar;                              // 8 x 24
  QImage Device;                               // 101 x 108: a device and its cable
  QImage CloseButton;                          // 14 x 15
  QImage CheckButton, CheckButtonDown;         // 28 x 26
  QImage ExportButton, ExportButtonDown;       // 76 x 26
  QImage CancelPicture, DonePicture, CancelButtonDown;  // "C", "D" and pressed, 76 x 22
  QImage TreeAll, TreeAlbum, TreeCamera;       // 18 x 18
  QImage PrevArrow, NextArrow;                 // 16 x 16
  QImage Folder;                               // 16 x 16
  QImage ToPc;                                 // 22 x 22
  QImage MoreArrow;                            // 9 x 9
};

const TSkin& Skin();

// Paints the device of the overlay (a pocket player beside its cable) in a
// 101 x 108 box at the painter's origin, without a background. The program's
// icon is the same picture.
void PaintDevice(QPainter& painter);

}  // namespace quill
