// The "product.ini" reader: the manufacturer profile and the support address.
#include "fuzz_common.h"

#include "core/catalogue.h"

#include <QFile>
#include <QTemporaryDir>

LUMORA_FUZZ_START

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    static QTemporaryDir dir;
    static int run = 0;
    // A new name each time: QSettings caches files by name.
    const QString path = dir.filePath(QStringLiteral("product-%1.ini").arg(++run));
    {
        QFile file(path);
        if (!file.open(QIODevice::WriteOnly))
            return 0;
        file.write(reinterpret_cast<const char *>(data), qint64(size));
    }
    const ManufacturerProfile profile = loadManufacturerProfile(path);
    (void)manufacturerProfile(profile.code);
    (void)supportAddress(path);
    QFile::remove(path);
    return 0;
}
