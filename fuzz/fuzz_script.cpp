// The update script interpreter against a simulated drive in its boot-loader
// state. The input is a set of files: the first section is "auto_update.txt",
// each further one starts with a line "--- <name>".
#include "fuzz_common.h"

#include "platform/kernel.h"
#include "sim/sim_kernel.h"
#include "sim/sim_update_drive.h"
#include "upgrade/firmwareworkspace.h"
#include "upgrade/updatechannel.h"
#include "upgrade/updatescript.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonObject>
#include <QTemporaryDir>

LUMORA_FUZZ_START

using namespace lumora;

namespace {

void writeFiles(const QString &workspace, const QByteArray &input)
{
    QByteArray name = "auto_update.txt";
    int start = 0;
    while (true) {
        const int marker = input.indexOf("\n--- ", start);
        const QByteArray contents = input.mid(start, marker < 0 ? -1 : marker + 1 - start);
        const QString path = upgrade::workspaceFile(workspace, QString::fromLocal8Bit(name));
        if (!path.isEmpty() && path != workspace && QDir().mkpath(QFileInfo(path).path())) {
            QFile file(path);
            if (file.open(QIODevice::WriteOnly))
                file.write(contents);
        }
        if (marker < 0)
            return;
        const int nameEnd = input.indexOf('\n', marker + 5);
        name = input.mid(marker + 5, nameEnd < 0 ? -1 : nameEnd - marker - 5);
        if (nameEnd < 0)
            return;
        start = nameEnd + 1;
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    static QTemporaryDir dir;
    const QString workspace = dir.filePath("firmware");
    QDir(workspace).removeRecursively();
    QDir().mkpath(workspace);
    writeFiles(workspace, fuzzing::bytes(data, size));

    auto kernel = std::make_unique<sim::SimKernel>();
    sim::SimKernel *sim = kernel.get();
    platform::installKernel(std::move(kernel));
    const QJsonObject camera{{"id", "cam"},       {"vendorId", "0x5a17"}, {"productId", "0x0305"},
                             {"product", "ORBIT 400"}, {"port", "1-4"},  {"firmware", "1.0.0"}};
    QJsonObject drive = camera;
    drive.insert("state", "uboot");
    drive.insert("camera", camera);
    sim->plug(sim::makeUpdateDrive(drive));

    std::lock_guard<std::mutex> lock(upgrade::channelMutex());
    int state = 0;
    if (upgrade::findUpdateDrive(1, &state) >= 0)
        (void)upgrade::runScript(workspace, QStringLiteral("auto_update.txt"));
    upgrade::closeUpdateDrive();
    return 0;
}
