// The MD5 of each load, kept off the transfer's critical path: computed ahead
// on a thread of its own, or else piece by piece while the file is read.

#include "upgrade/updatechannel.h"

#include <QCryptographicHash>
#include <QDateTime>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QStringList>

#include <algorithm>
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

// Reads the file in pieces, hashing each while it is in the cache; `data`
// may be null when only the digest is wanted.
bool hashFile(const QString &path, QByteArray *data, Digest *digest, const std::atomic<bool> *cancel)
{
    const QFileInfo info(path);
    QFile file(path);
    if (!info.isFile() || !file.open(QIODevice::ReadOnly | QIODevice::Unbuffered))
        return false;
    QCryptographicHash hash(QCryptographicHash::Md5);
    QByteArray piece;
    QByteArray &target = data ? *data : piece;
    target.clear();
    if (data)
        target.reserve(int(std::min<qint64>(info.size(), 1 << 30)));
    for (;;) {
        if (cancel && cancel->load())
            return false;
        const int at = data ? target.size() : 0;
        target.resize(at + int(kPiece));
        const qint64 n = file.read(target.data() + at, kPiece);
        target.resize(at + int(std::max<qint64>(n, 0)));
        if (n < 0)
            return false;
        if (n == 0)
            break;
        hash.addData(target.constData() + at, int(n));
    }
    digest->size = data ? data->size() : info.size();
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
            const bool hashed = hashFile(path, nullptr, &digest, &cancel);
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

bool readAndDigest(const QString &path, QByteArray *data, QByteArray *md5)
{
    Ahead &a = ahead();
    Digest known;
    {
        std::unique_lock<std::mutex> lock(a.mutex);
        a.changed.wait(lock, [&] { return !a.pending.contains(path); });
        known = a.digests.value(path);
    }
    const QFileInfo info(path);
    if (known.size >= 0 && info.isFile() && info.size() == known.size && info.lastModified() == known.modified) {
        if (!readWholeFile(path, data) || data->size() != known.size)
            return false;
        *md5 = known.md5;
        return true;
    }
    Digest digest;
    if (!hashFile(path, data, &digest, nullptr))
        return false;
    *md5 = digest.md5;
    return true;
}

} // namespace lumora::upgrade
