#pragma once
// The one dimming overlay of the process: a child of the main window that
// covers it and paints a translucent black while one of the named dialogs is
// shown. Being part of the window, it needs neither a compositor nor a
// window manager that lets a separate window sit on top. It watches every
// object's show and hide events through an application-wide event filter.

#include <QColor>
#include <QPointer>
#include <QStringList>
#include <QWidget>

class MaskWidget : public QWidget {
    Q_OBJECT

public:
    static MaskWidget *instance();
    ~MaskWidget() override;

    double opacity() const { return m_opacity; }
    QColor bgColor() const { return m_color; }

public Q_SLOTS:
    // The mask becomes this window's overlay (and goes with it).
    void setMainWidget(QWidget *mainWidget);
    void setDialogNames(const QStringList &dialogNames);
    void setBgColor(const QColor &bgColor);
    void setOpacity(double opacity);

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;
    void paintEvent(QPaintEvent *event) override;

private:
    MaskWidget();
    void cover();

    QPointer<QWidget> mainWidget;
    QPointer<QWidget> m_dialog; // the dialog the mask is shown for
    QStringList dialogNames;
    QColor m_color = Qt::black;
    double m_opacity = 0.7;
};
