// The program's own picture: a disc above a drive with a download arrow. Used
// for Image1, the window icon and the packaged application icon.
#pragma once

#include <QIcon>
#include <QImage>
#include <QRectF>

class QPainter;

namespace qx::qt {

// Paints the picture into the largest square centred in `area`. Uses no fonts,
// so it works without a running application (the icon generator relies on it).
void PaintDrivePicture(QPainter& painter, const QRectF& area);

// The picture on a transparent background, `width` x `height` device pixels.
QImage DrivePicture(int width, int height);

// Window icon in the usual sizes.
QIcon AppIcon();

}  // namespace qx::qt
