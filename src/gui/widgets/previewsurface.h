#pragma once
// The live picture, over the preview area. An opaque child that paints
// nothing but the picture: a new frame repaints that rectangle alone, where
// a picture set on the area itself also repainted the area's styled, rounded
// background and the window beneath it, every frame.

#include <QPixmap>
#include <QWidget>

class PreviewSurface : public QWidget {
    Q_OBJECT
public:
    // Lies under the area's other children and lets the mouse through to
    // the area, which keeps its hover and click handling.
    explicit PreviewSurface(QWidget *area);

    // Shown as a label shows a picture: at the left of the area, centred
    // top to bottom. The picture is in device pixels, one to one on a
    // scaled screen too (see pixelSize()). A null picture clears.
    void setPicture(const QImage &picture);
    void clear();
    const QPixmap &picture() const { return m_picture; }
    // `area`, a size in the window's units, in this screen's device pixels.
    QSize pixelSize(QSize area) const;

protected:
    void paintEvent(QPaintEvent *event) override;
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    // The picture's size in the window's units.
    QSizeF shownSize() const;
    void place();

    QPixmap m_picture;
};
