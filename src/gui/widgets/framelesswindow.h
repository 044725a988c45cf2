#pragma once
// Gives a frameless top-level window what the window manager's frame would:
// 5-px resize edges and corners (handed to the platform's own interactive
// resize), the matching resize cursors, and contents margins that keep the
// contents inside the screen while maximized.

#include <QMargins>
#include <QObject>
#include <QRect>

class QWidget;
class QWindow;

class FramelessWindow : public QObject {
    Q_OBJECT

public:
    explicit FramelessWindow(QWidget *window);

    // Contents margins while not maximized; the maximized ones add the
    // platform's frame thickness (none for a window without a frame).
    void setBaseMargins(const QMargins &margins);
    QMargins baseMargins() const { return m_baseMargins; }
    QMargins frameMargins() const { return m_frameMargins; }
    bool maximizedMarginsApplied() const { return m_maximizedMarginsApplied; }

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void watchNativeWindow();
    bool handleWindowEvent(QEvent *event);
    // Where the platform cannot resize interactively: follows the pointer itself.
    bool resizeByHand(QEvent *event);
    void updateMaximizedMargins();

    QWidget *m_window;
    QWindow *m_handle = nullptr;
    QMargins m_baseMargins;
    QMargins m_frameMargins;
    bool m_maximizedMarginsApplied = false;
    bool m_cursorOverridden = false;
    Qt::Edges m_handEdges;
    QPoint m_handStart;
    QRect m_handGeometry;
};
