// The MD5 of each load, kept off the transfer's critical path: computed ahead
// on a thread of its own where the camera's restart leaves time, or else just
// before the load.

#include "upgrade/updatechannel.h"

#include <QCryptographicHash>
#include <QDateTime>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QStringList>

#include <atomic>
#include <condition_variable>
#include <thread>

namespace lumora::upgrade {

namespace {

constexpr qint64 kPiece = 1024 * 1024;

struct Digest {
    qint64 size = -1;
    QDateTime modified;
    QByteArray md5;
};

// Reads the file in pieces, hashing each while it is in the cache; the size
// is what was hashed.
bool hashFile(const QString &path, Digest *digest, const std::atomic<bool> *cancel)
{
    const QFileInfo info(path);
    QFile file(path);
    if (!info.isFile() || !file.open(QIODevice::ReadOnly | QIODevice::Unbuffered))
        return false;
    QCryptographicHash hash(QCryptographicHash::Md5);
    QByteArray piece(int(kPiece), Qt::Uninitialized);
    qint64 size = 0;
    for (;;) {
        if (cancel && cancel->load())
            return false;
        const qint64 n = file.read(piece.data(), kPiece);
        if (n < 0)
            return false;
        if (n == 0)
            break;
        hash.addData(piece.constData(), int(n));
        size += n;
    }
    digest->size = size;
    digest->modified = info.lastModified();
    digest->md5 = hash.result();
    return true;
}

struct Ahead {
    std::mutex mutex;
    std::condition_variable changed;
    QHash<QString, Digest> digests; // guarded by mutex
    QStringList pending;            // guarded by mutex
    std::atomic<bool> cancel{false};
    std::thread thread;

    ~Ahead() { stop(); }

    void stop()
    {
        cancel = true;
        if (thread.joinable())
            thread.join();
        cancel = false;
        std::lock_guard<std::mutex> lock(mutex);
        digests.clear();
        pending.clear();
    }

    void run()
    {
        for (;;) {
            QString path;
            {
                std::lock_guard<std::mutex> lock(mutex);
                if (pending.isEmpty() || cancel)
                    break;
                path = pending.first();
            }
            Digest digest;
            const bool hashed = hashFile(path, &digest, &cancel);
            std::lock_guard<std::mutex> lock(mutex);
            if (hashed)
                digests.insert(path, digest);
            pending.removeAll(path);
            changed.notify_all();
        }
        std::lock_guard<std::mutex> lock(mutex);
        pending.clear();
        changed.notify_all();
    }
};

Ahead &ahead()
{
    static Ahead instance;
    return instance;
}

} // namespace

void digestsAhead(const QStringList &paths)
{
    Ahead &a = ahead();
    a.stop();
    if (paths.isEmpty())
        return;
    {
        std::lock_guard<std::mutex> lock(a.mutex);
        a.pending = paths;
    }
    a.thread = std::thread([&a] { a.run(); });
}

bool fileDigest(const QString &path, qint64 *size, QByteArray *md5)
{
    Ahead &a = ahead();
    Digest known;
    {
        std::unique_lock<std::mutex> lock(a.mutex);
        a.changed.wait(lock, [&] { return !a.pending.contains(path); });
        known = a.digests.value(path);
    }
    const QFileInfo info(path);
    Digest digest;
    if (known.size >= 0 && info.isFile() && info.size() == known.size && info.lastModified() == known.modified)
        digest = known;
    else if (!hashFile(path, &digest, nullptr))
        return false;
    *size = digest.size;
    *md5 = digest.md5;
    return true;
}

} // namespace lumora::upgrade
