#include "sim/sim_video_feed.h"

#include "sim/sim_video_feed_frames.h"

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QVector>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <mutex>
#include <thread>

#include <poll.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace lumora::sim {

namespace {

using Clock = std::chrono::steady_clock;
constexpr auto kFramePeriod = std::chrono::nanoseconds(1000000000 / 30);

// One reader: the frame it is being sent, how much of it went out, and how
// many frames it got whole.
struct Reader {
    int fd = -1;
    QByteArray pending;
    int sent = 0;
    quint64 frames = 0;
};

// One part of the multipart stream: a header stating the frame's length, the
// JPEG, and the line end that precedes the next boundary.
QByteArray framePart(const QByteArray &jpeg)
{
    QByteArray part = "--lumoraframe\r\nContent-Type: image/jpeg\r\nContent-Length: " + QByteArray::number(jpeg.size()) +
                      "\r\n\r\n";
    part.reserve(part.size() + jpeg.size() + 2);
    part += jpeg;
    part += "\r\n";
    return part;
}

// Feed folders are "lumora-feed-<pid>-XXXXXX", so a later process can tell
// which ones a killed run left behind.
const QString kFolderPrefix = QStringLiteral("lumora-feed-");

QString feedParent()
{
    const QString runtime = qEnvironmentVariable("XDG_RUNTIME_DIR");
    return !runtime.isEmpty() && QFileInfo(runtime).isDir() ? runtime : QDir::tempPath();
}

void removeLeftoverFolders()
{
    const QDir parent(feedParent());
    const QStringList names = parent.entryList({kFolderPrefix + "*"}, QDir::Dirs | QDir::NoDotAndDotDot);
    for (const QString &name : names) {
        bool ok = false;
        const int pid = name.mid(kFolderPrefix.size()).section('-', 0, 0).toInt(&ok);
        if (!ok || pid <= 0 || ::kill(pid, 0) == 0 || errno != ESRCH)
            continue;
        QDir folder(parent.filePath(name));
        if (QFileInfo(folder.path()).isSymLink() || QFileInfo(folder.path()).ownerId() != ::getuid())
            continue;
        folder.removeRecursively();
    }
}

} // namespace

// Listens on a socket in a private folder and streams to every reader. It
// only renders and writes while someone reads.
class SimVideoFeed::Producer {
public:
    explicit Producer(std::function<SimScene()> scene) : m_scene(std::move(scene))
    {
        removeLeftoverFolders();
        QByteArray folder = (feedParent() + "/" + kFolderPrefix + QString::number(getpid()) + "-XXXXXX").toUtf8();
        if (!mkdtemp(folder.data()))
            return;
        m_folder = QString::fromUtf8(folder);
        m_path = m_folder + "/video";
        m_wake = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
        m_listener = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        const QByteArray path = m_path.toUtf8();
        if (m_wake < 0 || m_listener < 0 || size_t(path.size()) >= sizeof address.sun_path)
            return;
        qstrncpy(address.sun_path, path.constData(), sizeof address.sun_path);
        if (bind(m_listener, reinterpret_cast<sockaddr *>(&address), sizeof address) < 0 || listen(m_listener, 8) < 0)
            return;
        m_thread = std::thread([this] { run(); });
    }

    ~Producer()
    {
        m_quit = true;
        wake();
        if (m_thread.joinable())
            m_thread.join();
        for (const Reader &r : m_readers)
            ::close(r.fd);
        if (m_listener >= 0)
            ::close(m_listener);
        if (m_wake >= 0)
            ::close(m_wake);
        if (!m_folder.isEmpty()) {
            QFile::remove(m_path);
            QDir().rmdir(m_folder);
        }
    }

    // Empty when the socket could not be set up: FFmpeg then fails to open it.
    QString url() const { return m_thread.joinable() ? "unix:" + m_path : QString(); }

    void end()
    {
        m_endStreams = true;
        wake();
    }

    std::atomic<bool> frozen{false};
    std::atomic<quint64> freezeAt{0}; // 0: never
    std::atomic<quint64> served{0};

private:
    void wake()
    {
        const quint64 one = 1;
        if (m_wake >= 0)
            (void)!::write(m_wake, &one, sizeof one);
    }

    void run()
    {
        auto nextFrame = Clock::now();
        int index = 0;
        while (!m_quit) {
            QVector<pollfd> fds{{m_wake, POLLIN, 0}, {m_listener, POLLIN, 0}};
            for (const Reader &r : m_readers)
                fds.append({r.fd, short(POLLIN | (r.pending.isEmpty() ? 0 : POLLOUT)), 0});
            const auto wait = std::chrono::duration_cast<std::chrono::nanoseconds>(nextFrame - Clock::now());
            const long nanoseconds = std::clamp<long>(long(wait.count()), 0, 999999999);
            const timespec timeout{0, nanoseconds};
            if (ppoll(fds.data(), nfds_t(fds.size()), m_readers.isEmpty() ? nullptr : &timeout, nullptr) < 0 &&
                errno != EINTR)
                break;
            // Nothing is drawn once the owner is going: Qt may be on its way down.
            if (m_quit)
                break;

            if (fds[0].revents & POLLIN) {
                quint64 count;
                (void)!::read(m_wake, &count, sizeof count);
            }
            if (m_endStreams.exchange(false))
                dropReaders();
            if (fds[1].revents & POLLIN)
                accept();
            serviceReaders(fds.mid(2));

            const auto now = Clock::now();
            if (m_readers.isEmpty() || now < nextFrame)
                continue;
            // A late tick does not cause a burst of frames.
            nextFrame = std::max(nextFrame + kFramePeriod, now);
            const quint64 stallAt = freezeAt.load();
            if (stallAt && served.load() >= stallAt)
                frozen = true;
            if (!frozen)
                queueFrame(m_frames.frame(m_scene(), index++));
        }
    }

    void accept()
    {
        for (;;) {
            const int fd = ::accept4(m_listener, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
            if (fd < 0)
                return;
            m_readers.append({fd, {}, 0, 0});
        }
    }

    void dropReaders()
    {
        for (const Reader &r : m_readers)
            ::close(r.fd);
        m_readers.clear();
    }

    // `fds` are the poll results of m_readers, in the same order.
    void serviceReaders(const QVector<pollfd> &fds)
    {
        QVector<Reader> alive;
        for (int i = 0; i < fds.size() && i < m_readers.size(); ++i) {
            Reader r = m_readers[i];
            char discard[256];
            const bool hungUp = (fds[i].revents & (POLLHUP | POLLERR)) ||
                                ((fds[i].revents & POLLIN) && ::recv(r.fd, discard, sizeof discard, 0) <= 0);
            if (hungUp || !flush(r)) {
                ::close(r.fd);
                continue;
            }
            alive.append(r);
        }
        // Readers accepted during this round are not in `fds` yet.
        alive += m_readers.mid(fds.size());
        m_readers = alive;
    }

    // A reader still busy with the previous frame skips this one.
    void queueFrame(const QByteArray &jpeg)
    {
        if (jpeg.isEmpty())
            return;
        const QByteArray part = framePart(jpeg);
        QVector<Reader> alive;
        for (Reader r : qAsConst(m_readers)) {
            if (r.pending.isEmpty()) {
                r.pending = part;
                r.sent = 0;
                served++;
            }
            if (!flush(r)) {
                ::close(r.fd);
                continue;
            }
            alive.append(r);
        }
        m_readers = alive;
    }

public:
    void setObserver(std::function<void(quint64)> observer)
    {
        std::lock_guard<std::mutex> lock(m_observerMutex);
        m_observer = std::move(observer);
    }

private:
    void frameComplete(quint64 frame)
    {
        std::lock_guard<std::mutex> lock(m_observerMutex);
        if (m_observer)
            m_observer(frame);
    }

    // Writes what the socket takes; false when the reader is gone.
    bool flush(Reader &r)
    {
        while (!r.pending.isEmpty()) {
            const ssize_t n = ::send(r.fd, r.pending.constData() + r.sent, size_t(r.pending.size() - r.sent), MSG_NOSIGNAL);
            if (n < 0)
                return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR;
            r.sent += int(n);
            if (r.sent == r.pending.size()) {
                r.pending.clear();
                r.sent = 0;
                frameComplete(++r.frames);
            }
        }
        return true;
    }

    std::function<SimScene()> m_scene;
    std::mutex m_observerMutex;
    std::function<void(quint64)> m_observer;
    SimVideoFrames m_frames;
    QString m_folder, m_path;
    int m_wake = -1, m_listener = -1;
    QVector<Reader> m_readers; // producer thread only
    std::atomic<bool> m_quit{false}, m_endStreams{false};
    std::thread m_thread;
};

SimVideoFeed::SimVideoFeed(std::function<SimScene()> scene)
    : m_scene(std::move(scene)), m_producer(std::make_unique<Producer>(m_scene))
{
}

SimVideoFeed::~SimVideoFeed() = default;

platform::CaptureInput SimVideoFeed::input()
{
    return {"mpjpeg", m_producer->url()};
}

void SimVideoFeed::end()
{
    m_producer->end();
}

void SimVideoFeed::setFrozen(bool frozen)
{
    if (!frozen)
        m_producer->freezeAt = 0;
    m_producer->frozen = frozen;
}

void SimVideoFeed::stallAfter(quint64 frames)
{
    if (frames == 0) {
        m_producer->frozen = true;
        return;
    }
    m_producer->freezeAt = m_producer->served.load() + frames;
}

void SimVideoFeed::setFrameObserver(std::function<void(quint64)> observer)
{
    m_producer->setObserver(std::move(observer));
}

quint64 SimVideoFeed::framesServed() const
{
    return m_producer->served.load();
}

} // namespace lumora::sim
