// The scenario loader, then a look at everything a loaded scenario built:
// sysfs, capability and control queries, the descriptors.
#include "fuzz_common.h"

#include "device/xudescriptor.h"
#include "sim/sim_kernel.h"
#include "sim/sim_scenario.h"

#include <QJsonDocument>

#include <fcntl.h>
#include <linux/videodev2.h>

LUMORA_FUZZ_START

using namespace lumora::sim;

namespace {

void walkControls(SimKernel &kernel, int fd)
{
    v4l2_capability cap{};
    (void)kernel.ioctl(fd, VIDIOC_QUERYCAP, &cap);
    v4l2_queryctrl query{};
    query.id = V4L2_CTRL_FLAG_NEXT_CTRL;
    for (int guard = 0; guard < 64 && kernel.ioctl(fd, VIDIOC_QUERYCTRL, &query) == 0; ++guard) {
        // Both ends of the range and one past each: the rounding must hold.
        for (qint64 value : {qint64(query.minimum), qint64(query.maximum), qint64(query.minimum) - 1,
                             qint64(query.maximum) + 1, (qint64(query.minimum) + query.maximum) / 2}) {
            v4l2_control control{query.id, qint32(value)};
            (void)kernel.ioctl(fd, VIDIOC_S_CTRL, &control);
            (void)kernel.ioctl(fd, VIDIOC_G_CTRL, &control);
        }
        query.id |= V4L2_CTRL_FLAG_NEXT_CTRL;
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    const QJsonDocument doc = QJsonDocument::fromJson(fuzzing::bytes(data, size));
    if (!doc.isObject())
        return 0;
    Scenario scenario;
    QString error;
    if (!parseScenario(doc.object(), &scenario, &error))
        return 0;
    SimKernel kernel;
    if (!kernel.loadScenario(doc.object()))
        return 0;
    for (const QString &node : kernel.listDirectory("/sys/class/video4linux")) {
        QByteArray descriptors;
        kernel.readAttribute("/sys/class/video4linux/" + node + "/device/../descriptors", &descriptors);
        (void)parseExtensionUnits(descriptors);
        const int fd = kernel.open("/dev/" + node, O_RDWR | O_NONBLOCK);
        if (fd >= 0) {
            walkControls(kernel, fd);
            kernel.close(fd);
        }
    }
    for (const QString &disk : kernel.listDirectory("/sys/block")) {
        QByteArray model;
        kernel.readAttribute("/sys/block/" + disk + "/device/model", &model);
    }
    return 0;
}
