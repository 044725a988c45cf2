#include "gui/widgets/firstpaint.h"

#include <QCoreApplication>
#include <QEvent>
#include <QTimer>
#include <QVariant>
#include <QWidget>

namespace {

const char *const kPaintedProperty = "lumoraFirstPaintDone";

// Watches every paint in the application until one belongs to the window.
class FirstPaintWatch : public QObject {
public:
    FirstPaintWatch(QWidget *window, std::function<void()> then)
        : QObject(window), m_window(window), m_then(std::move(then))
    {
        QCoreApplication::instance()->installEventFilter(this);
    }

protected:
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (event->type() != QEvent::Paint || !watched->isWidgetType() ||
            static_cast<QWidget *>(watched)->window() != m_window)
            return false;
        m_window->setProperty(kPaintedProperty, true);
        QCoreApplication::instance()->removeEventFilter(this);
        // After the paint pass: the picture reaches the screen first.
        QTimer::singleShot(0, m_window, std::move(m_then));
        deleteLater();
        return false;
    }

private:
    QWidget *const m_window;
    std::function<void()> m_then;
};

} // namespace

bool hasBeenPainted(const QWidget *window)
{
    return window && window->property(kPaintedProperty).toBool();
}

void whenFirstPainted(QWidget *window, std::function<void()> then)
{
    if (!window || !then)
        return;
    if (hasBeenPainted(window)) {
        then();
        return;
    }
    new FirstPaintWatch(window, std::move(then));
}
