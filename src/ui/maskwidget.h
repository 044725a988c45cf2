#pragma once
// The one dimming overlay of the process: a translucent black window laid over
// the main window while one of the named dialogs is shown. It watches every
// object's show and hide events through an application-wide event filter.

#include <QStringList>
#include <QWidget>

class MaskWidget : public QWidget {
    Q_OBJECT

public:
    static MaskWidget *instance();

public Q_SLOTS:
    void setMainWidget(QWidget *mainWidget);
    void setDialogNames(const QStringList &dialogNames);
    void setBgColor(const QColor &bgColor);
    void setOpacity(double opacity);

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;
    void showEvent(QShowEvent *event) override;

private:
    MaskWidget();

    QWidget *mainWidget = nullptr;
    QStringList dialogNames;
};
