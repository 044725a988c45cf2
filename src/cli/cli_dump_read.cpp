// What `lumora-cli dump` reads from a capture node: formats with their frame
// sizes and intervals, the controls, and the extension unit's selectors.
// Every call here is a query; none changes the camera.

#include "cli/cli_dump.h"

#include "camera/v4l2controls.h"
#include "platform/kernel.h"
#include "sim/sim_controls.h"

#include <linux/usb/video.h>
#include <linux/uvcvideo.h>
#include <linux/videodev2.h>

#include <cstring>

using lumora::platform::kernel;

namespace cli_dump {

namespace {

// Frame rates the scenario format takes, and how many of each list it keeps.
constexpr int kMaxRate = 240;
constexpr int kMaxListed = 16;

QString fourccText(quint32 fourcc)
{
    QString text;
    for (int shift = 0; shift < 32; shift += 8)
        text += QChar(char((fourcc >> shift) & 0xFF));
    return text.trimmed();
}

QString formatName(quint32 fourcc)
{
    switch (fourcc) {
    case V4L2_PIX_FMT_MJPEG:
        return QStringLiteral("mjpeg");
    case V4L2_PIX_FMT_YUYV:
        return QStringLiteral("yuyv");
    default:
        return fourccText(fourcc);
    }
}

QString sizeText(quint32 width, quint32 height) { return QStringLiteral("%1x%2").arg(width).arg(height); }

// Discrete intervals in 100 ns units, as UVC's dwFrameInterval counts them.
QJsonArray readIntervals(int fd, quint32 fourcc, quint32 width, quint32 height, QList<int> *rates)
{
    QJsonArray intervals;
    for (quint32 index = 0;; ++index) {
        v4l2_frmivalenum ival{};
        ival.index = index;
        ival.pixel_format = fourcc;
        ival.width = width;
        ival.height = height;
        if (kernel().ioctl(fd, VIDIOC_ENUM_FRAMEINTERVALS, &ival) < 0 || ival.type != V4L2_FRMIVAL_TYPE_DISCRETE)
            break;
        const v4l2_fract f = ival.discrete;
        if (f.denominator == 0)
            break;
        intervals.append(qint64(f.numerator) * 10000000 / f.denominator);
        const bool whole = f.numerator != 0 && f.denominator % f.numerator == 0;
        const int rate = whole ? int(f.denominator / f.numerator) : 0;
        if (whole && rate >= 1 && rate <= kMaxRate && !rates->contains(rate) && rates->size() < kMaxListed)
            rates->append(rate);
    }
    return intervals;
}

QJsonArray readSizes(int fd, quint32 fourcc, QStringList *sizes, QList<int> *rates)
{
    QJsonArray frames;
    for (quint32 index = 0;; ++index) {
        v4l2_frmsizeenum size{};
        size.index = index;
        size.pixel_format = fourcc;
        if (kernel().ioctl(fd, VIDIOC_ENUM_FRAMESIZES, &size) < 0)
            break;
        // A stepwise range is kept as its two ends.
        QVector<QPair<quint32, quint32>> ends;
        if (size.type == V4L2_FRMSIZE_TYPE_DISCRETE)
            ends = {{size.discrete.width, size.discrete.height}};
        else
            ends = {{size.stepwise.min_width, size.stepwise.min_height}, {size.stepwise.max_width, size.stepwise.max_height}};
        for (const auto &end : ends) {
            const QString text = sizeText(end.first, end.second);
            frames.append(QJsonObject{{"size", text}, {"intervals", readIntervals(fd, fourcc, end.first, end.second, rates)}});
            if (!sizes->contains(text) && sizes->size() < kMaxListed)
                sizes->append(text);
        }
        if (size.type != V4L2_FRMSIZE_TYPE_DISCRETE)
            break;
    }
    return frames;
}

} // namespace

QJsonObject readStream(int fd, QStringList *sizes, QList<int> *rates)
{
    QJsonArray formats;
    QJsonObject frames;
    for (quint32 index = 0;; ++index) {
        v4l2_fmtdesc description{};
        description.index = index;
        description.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        if (kernel().ioctl(fd, VIDIOC_ENUM_FMT, &description) < 0)
            break;
        const QString name = formatName(description.pixelformat);
        formats.append(name);
        frames.insert(name, readSizes(fd, description.pixelformat, sizes, rates));
    }
    return {{"formats", formats}, {"frames", frames}};
}

void readControls(int fd, QJsonObject *controls, QJsonArray *others)
{
    for (const QString &key : lumora::sim::SimControls::scenarioKeys())
        controls->insert(key, false);
    for (const lumora::camera::V4l2Control &each : lumora::camera::listControls(fd)) {
        QJsonObject control{{"min", each.minimum}, {"max", each.maximum}, {"step", each.step}, {"default", each.defaultValue}};
        if (each.hasValue)
            control.insert("value", each.value);
        if (each.isMenu()) {
            QJsonObject menu;
            for (const lumora::camera::MenuEntry &item : each.menu)
                menu.insert(QString::number(item.index), item.name);
            control.insert("menu", menu);
        }
        const QString key = lumora::sim::SimControls::scenarioKey(each.id);
        if (!key.isEmpty()) {
            controls->insert(key, control);
            continue;
        }
        control.insert("id", QStringLiteral("0x%1").arg(each.id, 8, 16, QLatin1Char('0')));
        control.insert("name", each.label);
        control.insert("type", qint64(each.type));
        others->append(control);
    }
}

QJsonObject readSelectors(int fd, int unitId, const QByteArray &bmControls)
{
    QJsonObject selectors;
    for (int bit = 0; bit < bmControls.size() * 8; ++bit) {
        if (!(quint8(bmControls.at(bit / 8)) & (1 << (bit % 8))))
            continue;
        const int selector = bit + 1;
        quint8 info = 0;
        quint8 length[2] = {};
        uvc_xu_control_query query{};
        query.unit = quint8(unitId);
        query.selector = quint8(selector);
        query.query = UVC_GET_INFO;
        query.size = 1;
        query.data = &info;
        QJsonObject entry;
        if (kernel().ioctl(fd, UVCIOC_CTRL_QUERY, &query) == 0)
            entry.insert("info", info);
        query.query = UVC_GET_LEN;
        query.size = 2;
        query.data = length;
        if (kernel().ioctl(fd, UVCIOC_CTRL_QUERY, &query) == 0)
            entry.insert("len", length[0] | length[1] << 8);
        selectors.insert(QString::number(selector), entry);
    }
    return selectors;
}

} // namespace cli_dump
