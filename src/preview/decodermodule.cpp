#include "preview/framedecoder.h"

#include <QCoreApplication>
#include <QLibrary>
#include <QMutex>
#include <QStringList>

namespace lumora::preview {

namespace {

using Factory = FrameDecoder *(*)();

// Beside the executable first (the build tree and a relocated install), then
// the installed module folder, then the build tree for the tests and benches
// whose executables sit in sub-folders.
QStringList moduleFolders()
{
    QStringList folders;
    if (QCoreApplication::instance())
        folders << QCoreApplication::applicationDirPath() << QCoreApplication::applicationDirPath() + "/../" LUMORA_MODULE_RELATIVE_DIR;
    folders << QStringLiteral(LUMORA_MODULE_INSTALL_DIR) << QStringLiteral(LUMORA_MODULE_BUILD_DIR);
    return folders;
}

Factory loadFactory(QString *why)
{
    static QMutex mutex;
    static Factory factory = nullptr;
    static QString failure;
    QMutexLocker lock(&mutex);
    if (factory || !failure.isEmpty()) {
        *why = failure;
        return factory;
    }
    QStringList tried;
    for (const QString &folder : moduleFolders()) {
        QLibrary library(folder + QStringLiteral("/" LUMORA_DECODER_MODULE));
        if (!library.load()) {
            tried << library.errorString();
            continue;
        }
        // Never unloaded: its libraries stay for the next preview.
        factory = reinterpret_cast<Factory>(library.resolve("lumora_new_frame_decoder"));
        if (factory)
            return factory;
        tried << library.errorString();
    }
    failure = QStringLiteral("the decoder module could not be loaded: %1").arg(tried.join(QStringLiteral("; ")));
    *why = failure;
    return nullptr;
}

} // namespace

std::unique_ptr<FrameDecoder> newFrameDecoder(QString *why)
{
    const Factory factory = loadFactory(why);
    return std::unique_ptr<FrameDecoder>(factory ? factory() : nullptr);
}

} // namespace lumora::preview
