#include "tools/simulador/SimulatedLine.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/eventfd.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QSaveFile>
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <future>

#include "shell/Errors.h"

namespace {

constexpr char kStx = 0x02;
constexpr char kEtx = 0x03;
constexpr char kAck = 0x06;
constexpr char kNak = 0x15;
constexpr qsizetype kLongestFrame = 96;

QString SystemText() {
    return QString::fromLocal8Bit(std::strerror(errno));
}

void SetFlags(int fd) {
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
    ::fcntl(fd, F_SETFD, FD_CLOEXEC);
}

qint32 BaudOf(speed_t s) {
    switch (s) {
        case B50:
            return 50;
        case B75:
            return 75;
        case B110:
            return 110;
        case B134:
            return 134;
        case B150:
            return 150;
        case B200:
            return 200;
        case B300:
            return 300;
        case B600:
            return 600;
        case B1200:
            return 1200;
        case B1800:
            return 1800;
        case B2400:
            return 2400;
        case B4800:
            return 4800;
        case B9600:
            return 9600;
        case B19200:
            return 19200;
        case B38400:
            return 38400;
        case B57600:
            return 57600;
        case B115200:
            return 115200;
        case B230400:
            return 230400;
        case B460800:
            return 460800;
        default:
            return 0;
    }
}

}  // namespace

SimulatedLine::SimulatedLine(ClockFn clock, quint32 seed)
    : m_clock(clock ? std::move(clock) : SystemClock()), m_seed(seed) {}

SimulatedLine::~SimulatedLine() {
    Stop();
}

SimulatedReader& SimulatedLine::AddReader(QChar address) {
    std::lock_guard lock(m_mutex);
    auto& slot = m_readers[address];
    if (!slot)
        slot = std::make_unique<SimulatedReader>(address, m_clock, m_seed);
    return *slot;
}

SimulatedReader* SimulatedLine::Reader(QChar address) const {
    std::lock_guard lock(m_mutex);
    const auto it = m_readers.find(address);
    return it == m_readers.end() ? nullptr : it->second.get();
}

QList<QChar> SimulatedLine::Addresses() const {
    std::lock_guard lock(m_mutex);
    QList<QChar> out;
    for (const auto& [address, reader] : m_readers) out.append(address);
    return out;
}

void SimulatedLine::SetLinkPath(const QString& path) {
    std::lock_guard lock(m_mutex);
    m_linkPath = path;
}

void SimulatedLine::SetStateFile(const QString& path) {
    std::lock_guard lock(m_mutex);
    m_statePath = path;
}

void SimulatedLine::SetControl(const QString& fifoPath,
                               std::function<void(const QString& line)> handler) {
    std::lock_guard lock(m_mutex);
    m_controlPath = fifoPath;
    m_controlHandler = std::move(handler);
}

void SimulatedLine::Start() {
    if (m_thread.joinable())
        return;
    DoPlug();
    try {
        OpenControl();
    } catch (...) {
        DoUnplug();
        throw;
    }
    m_wake = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    m_stop = false;
    WriteStateFile();
    m_thread = std::thread([this] { Loop(); });
}

void SimulatedLine::Stop() {
    if (m_thread.joinable()) {
        m_stop = true;
        const quint64 one = 1;
        [[maybe_unused]] const auto n = ::write(m_wake, &one, sizeof one);
        m_thread.join();
    }
    if (m_wake >= 0)
        ::close(m_wake);
    m_wake = -1;
    DoUnplug();
    if (m_control >= 0)
        ::close(m_control);
    if (m_controlKeepOpen >= 0)
        ::close(m_controlKeepOpen);
    m_control = m_controlKeepOpen = -1;
    if (m_createdFifo)
        QFile::remove(m_controlPath);
    m_createdFifo = false;
}

QString SimulatedLine::SlavePath() const {
    std::lock_guard lock(m_mutex);
    return m_slavePath;
}

QString SimulatedLine::DevicePath() const {
    std::lock_guard lock(m_mutex);
    return m_linkPath.isEmpty() ? m_slavePath : m_linkPath;
}

bool SimulatedLine::Plugged() const {
    std::lock_guard lock(m_mutex);
    return m_master >= 0;
}

void SimulatedLine::RunOnLoop(const std::function<void()>& task) {
    if (!m_thread.joinable() || std::this_thread::get_id() == m_thread.get_id()) {
        task();
        return;
    }
    auto done = std::make_shared<std::promise<void>>();
    auto result = done->get_future();
    {
        std::lock_guard lock(m_mutex);
        m_tasks.push_back([task, done] {
            try {
                task();
                done->set_value();
            } catch (...) {
                done->set_exception(std::current_exception());
            }
        });
    }
    const quint64 one = 1;
    [[maybe_unused]] const auto n = ::write(m_wake, &one, sizeof one);
    result.get();
}

void SimulatedLine::Unplug() {
    RunOnLoop([this] {
        DoUnplug();
        Changed();
    });
}

void SimulatedLine::Plug() {
    RunOnLoop([this] {
        DoPlug();
        Changed();
    });
}

void SimulatedLine::DoPlug() {
    if (Plugged())
        return;
    int master = -1, slave = -1;
    char name[128] = {};
    if (::openpty(&master, &slave, name, nullptr, nullptr) != 0) {
        throw Exception(QStringLiteral("No se puede crear la terminal: %1").arg(SystemText()));
    }
    // The terminal starts in canonical mode with echo; the line is raw both
    // ways until the agent sets its own parameters.
    termios tio{};
    ::tcgetattr(slave, &tio);
    ::cfmakeraw(&tio);
    tio.c_cflag |= CLOCAL | CREAD;
    ::cfsetispeed(&tio, B9600);
    ::cfsetospeed(&tio, B9600);
    ::tcsetattr(slave, TCSANOW, &tio);
    SetFlags(master);
    SetFlags(slave);
    QString link;
    {
        std::lock_guard lock(m_mutex);
        m_master = master;
        m_slave = slave;
        m_slavePath = QString::fromLocal8Bit(name);
        link = m_linkPath;
    }
    if (!link.isEmpty()) {
        // Point the link at the new terminal in one step, so an agent never
        // finds it missing or half made while the line is plugged.
        const QByteArray tmp = (link + ".tmp").toLocal8Bit();
        ::unlink(tmp.constData());
        if (::symlink(name, tmp.constData()) != 0 ||
            ::rename(tmp.constData(), link.toLocal8Bit().constData()) != 0) {
            const QString why = SystemText();
            DoUnplug();
            throw Exception(QStringLiteral("No se puede crear el enlace %1: %2").arg(link, why));
        }
    }
}

void SimulatedLine::DoUnplug() {
    int master, slave;
    QString link, slavePath;
    {
        std::lock_guard lock(m_mutex);
        master = m_master;
        slave = m_slave;
        link = m_linkPath;
        slavePath = m_slavePath;
        m_master = m_slave = -1;
        m_slavePath.clear();
    }
    if (master < 0)
        return;
    ::close(master);
    ::close(slave);
    // An unplugged adapter's device is gone; so is the link, but only if it is
    // still ours.
    if (!link.isEmpty() && QFileInfo(link).symLinkTarget() == slavePath)
        QFile::remove(link);
    m_output.clear();
    m_inFrame = m_wantCheck = false;
    m_frame.clear();
    m_current = nullptr;
}

void SimulatedLine::OpenControl() {
    QString path;
    {
        std::lock_guard lock(m_mutex);
        path = m_controlPath;
    }
    if (path.isEmpty())
        return;
    const QByteArray p = path.toLocal8Bit();
    struct stat st {};
    if (::stat(p.constData(), &st) == 0) {
        if (!S_ISFIFO(st.st_mode)) {
            throw Exception(QStringLiteral("%1 existe y no es una FIFO").arg(path));
        }
    } else if (::mkfifo(p.constData(), 0600) != 0) {
        throw Exception(QStringLiteral("No se puede crear la FIFO %1: %2").arg(path, SystemText()));
    } else {
        m_createdFifo = true;
    }
    m_control = ::open(p.constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    // A writer of our own keeps the FIFO from reporting end-of-file each time
    // a client closes it.
    m_controlKeepOpen = ::open(p.constData(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    if (m_control < 0 || m_controlKeepOpen < 0) {
        throw Exception(QStringLiteral("No se puede abrir la FIFO %1: %2").arg(path, SystemText()));
    }
}

void SimulatedLine::Loop() {
    // The kernel may let a timed wait run late by its timer slack (50 µs by
    // default) to group wake-ups; a reader's byte times are kept exactly.
    ::prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
    while (!m_stop) {
        std::deque<std::function<void()>> tasks;
        int master;
        {
            std::lock_guard lock(m_mutex);
            tasks.swap(m_tasks);
            master = m_master;
        }
        for (auto& t : tasks) t();
        if (!tasks.empty())
            continue;  // the tasks may have changed the terminal

        pollfd fds[3];
        nfds_t n = 0;
        fds[n++] = {m_wake, POLLIN, 0};
        const nfds_t masterIndex = master >= 0 ? n : 99;
        if (master >= 0)
            fds[n++] = {master, POLLIN, 0};
        const nfds_t controlIndex = m_control >= 0 ? n : 99;
        if (m_control >= 0)
            fds[n++] = {m_control, POLLIN, 0};
        // The wait ends when the next answer byte is due, to the microsecond:
        // a wait rounded up to whole milliseconds would hold every answer's
        // first byte back by up to a millisecond, a line slower than the wire.
        timespec wait{};
        const bool timed = TimeToNextDue(&wait);
        const int ready = ::ppoll(fds, n, timed ? &wait : nullptr, nullptr);
        if (ready < 0 && errno != EINTR)
            break;
        if (ready > 0 && (fds[0].revents & POLLIN)) {
            quint64 count;
            [[maybe_unused]] const auto r = ::read(m_wake, &count, sizeof count);
        }
        bool served = false;
        if (ready > 0 && masterIndex != 99 && fds[masterIndex].revents) {
            char buf[512];
            const ssize_t got = ::read(master, buf, sizeof buf);
            if (got > 0) {
                ServeInput(buf, got);
                served = true;
            } else if (got < 0 && errno != EAGAIN && errno != EINTR) {
                // Not expected while the line holds its own end open; do not
                // spin on it.
                ::usleep(10000);
            }
        }
        if (ready > 0 && controlIndex != 99 && (fds[controlIndex].revents & POLLIN)) {
            ReadControl();
            served = true;
        }
        FlushDue();
        if (served)
            Changed();
    }
}

void SimulatedLine::SetEcho(bool on, int latencyMs) {
    std::lock_guard lock(m_mutex);
    m_echo = on;
    m_echoLatencyMs = qMax(0, latencyMs);
}

bool SimulatedLine::Echo() const {
    std::lock_guard lock(m_mutex);
    return m_echo;
}

void SimulatedLine::SetCollisions(qint64 n) {
    std::lock_guard lock(m_mutex);
    m_collisionsLeft = qMax<qint64>(0, n);
}

qint64 SimulatedLine::EchoedBytes() const {
    std::lock_guard lock(m_mutex);
    return m_echoedBytes;
}

qint64 SimulatedLine::Collided() const {
    std::lock_guard lock(m_mutex);
    return m_collided;
}

void SimulatedLine::ServeInput(const char* bytes, qsizetype n) {
    bool echo;
    SimAnswer echoed;
    {
        std::lock_guard lock(m_mutex);
        echo = m_echo;
        echoed.latencyMs = m_echoLatencyMs;
    }
    echoed.paced = true;
    // The echo of what came so far goes out before any answer it caused: a
    // reader answers only once the frame has crossed the wire.
    auto flushEcho = [&] {
        if (!echo || echoed.bytes.isEmpty())
            return;
        {
            std::lock_guard lock(m_mutex);
            m_echoedBytes += echoed.bytes.size();
        }
        Schedule(echoed);
        echoed.bytes.clear();
    };
    for (qsizetype i = 0; i < n; ++i) {
        char b = bytes[i];
        if (b == kStx && !m_wantCheck) {
            std::lock_guard lock(m_mutex);
            m_damaging = m_collisionsLeft > 0;
            if (m_damaging) {
                --m_collisionsLeft;
                ++m_collided;
            }
        }
        if (m_wantCheck && m_damaging) {
            b = char(b ^ 0x5A);
            m_damaging = false;
        }
        echoed.bytes.append(b);
        if (m_wantCheck) {
            m_frame.append(b);
            m_wantCheck = m_inFrame = false;
            flushEcho();
            Deliver(m_frame);
            m_frame.clear();
        } else if (b == kStx) {
            // A start byte always begins a new frame: what came before it
            // was an incomplete frame and is dropped.
            m_frame = QByteArray(1, b);
            m_inFrame = true;
        } else if (m_inFrame) {
            m_frame.append(b);
            if (b == kEtx) {
                m_wantCheck = true;
            } else if (m_frame.size() > kLongestFrame) {
                m_inFrame = false;
                m_frame.clear();
            }
        } else if ((b == kAck || b == kNak) && m_current) {
            flushEcho();
            Schedule(m_current->OnControl(b));
        }
    }
    flushEcho();
}

void SimulatedLine::Deliver(const QByteArray& frame) {
    // frame: STX 'R' address text... ETX check
    if (frame.size() < 5 || frame[1] != 'R')
        return;
    char x = 0;
    for (qsizetype i = 0; i + 1 < frame.size(); ++i) x = char(x ^ frame[i]);
    if (x != frame.back())
        return;
    SimulatedReader* reader = Reader(QChar::fromLatin1(frame[2]));
    if (!reader)
        return;
    // A reader set to another speed hears only noise.
    const qint32 baud = reader->Baud();
    if (baud != 0 && baud != LineBaud())
        return;
    m_current = reader;
    Schedule(reader->OnFrame(frame.mid(3, frame.size() - 5)));
}

std::chrono::microseconds SimulatedLine::ByteTime() const {
    int slave;
    {
        std::lock_guard lock(m_mutex);
        slave = m_slave;
    }
    termios tio{};
    int bits = 10;
    qint32 baud = 9600;
    if (slave >= 0 && ::tcgetattr(slave, &tio) == 0) {
        baud = BaudOf(::cfgetospeed(&tio));
        const int data = (tio.c_cflag & CSIZE) == CS5   ? 5
                         : (tio.c_cflag & CSIZE) == CS6 ? 6
                         : (tio.c_cflag & CSIZE) == CS7 ? 7
                                                        : 8;
        bits = 1 + data + ((tio.c_cflag & CSTOPB) ? 2 : 1) + ((tio.c_cflag & PARENB) ? 1 : 0);
    }
    if (baud <= 0)
        baud = 9600;
    return std::chrono::microseconds(qint64(bits) * 1000000 / baud);
}

qint32 SimulatedLine::LineBaud() const {
    int slave;
    {
        std::lock_guard lock(m_mutex);
        slave = m_slave;
    }
    termios tio{};
    if (slave < 0 || ::tcgetattr(slave, &tio) != 0)
        return 0;
    return BaudOf(::cfgetospeed(&tio));
}

void SimulatedLine::Schedule(const SimAnswer& answer) {
    if (answer.bytes.isEmpty())
        return;
    auto start = std::chrono::steady_clock::now() + std::chrono::milliseconds(answer.delayMs);
    if (!m_output.empty() && m_output.back().due > start)
        start = m_output.back().due;
    const auto byteTime = answer.paced ? ByteTime() : std::chrono::microseconds(0);
    const auto latency = std::chrono::microseconds(qint64(answer.latencyMs) * 1000);
    std::chrono::microseconds offset(0);
    for (qsizetype i = 0; i < answer.bytes.size(); ++i) {
        if (i < answer.pauseBeforeMs.size())
            offset += std::chrono::milliseconds(answer.pauseBeforeMs[i]);
        offset += byteTime;
        auto at = offset;
        // The adapter passes on what it holds when its timer runs out.
        if (latency.count() > 0)
            at = latency * ((offset.count() + latency.count() - 1) / latency.count());
        m_output.push_back({start + at, answer.bytes[i]});
    }
}

bool SimulatedLine::TimeToNextDue(timespec* wait) const {
    if (m_output.empty())
        return false;
    const auto left = std::chrono::ceil<std::chrono::nanoseconds>(m_output.front().due -
                                                                  std::chrono::steady_clock::now());
    const qint64 ns = std::max<qint64>(0, left.count());
    wait->tv_sec = time_t(ns / 1000000000);
    wait->tv_nsec = long(ns % 1000000000);
    return true;
}

void SimulatedLine::FlushDue() {
    const auto now = std::chrono::steady_clock::now();
    QByteArray out;
    while (!m_output.empty() && m_output.front().due <= now) {
        out.append(m_output.front().byte);
        m_output.pop_front();
    }
    int master;
    {
        std::lock_guard lock(m_mutex);
        master = m_master;
    }
    if (out.isEmpty() || master < 0)
        return;
    // Bytes nobody takes are lost, as on a real line.
    [[maybe_unused]] const auto n = ::write(master, out.constData(), size_t(out.size()));
}

void SimulatedLine::ReadControl() {
    char buf[1024];
    for (;;) {
        const ssize_t got = ::read(m_control, buf, sizeof buf);
        if (got <= 0)
            break;
        m_controlBuffer.append(buf, got);
    }
    qsizetype nl;
    while ((nl = m_controlBuffer.indexOf('\n')) >= 0) {
        const QString line = QString::fromUtf8(m_controlBuffer.left(nl)).trimmed();
        m_controlBuffer.remove(0, nl + 1);
        if (line.isEmpty())
            continue;
        std::function<void(const QString&)> handler;
        {
            std::lock_guard lock(m_mutex);
            handler = m_controlHandler;
        }
        QString error;
        try {
            if (handler)
                handler(line);
        } catch (const Exception& e) {
            error = e.Message();
        } catch (const std::exception& e) {
            error = QString::fromLocal8Bit(e.what());
        }
        if (!error.isEmpty())
            std::fprintf(stderr, "%s\n", qPrintable(error));
        {
            std::lock_guard lock(m_mutex);
            m_controlError = error;
        }
        ++m_controlApplied;
    }
}

void SimulatedLine::Changed() {
    WriteStateFile();
    {
        std::lock_guard lock(m_eventMutex);
        ++m_events;
    }
    m_event.notify_all();
}

bool SimulatedLine::WaitUntil(const std::function<bool()>& pred, int timeoutMs) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    std::unique_lock lock(m_eventMutex);
    for (;;) {
        const quint64 seen = m_events;
        lock.unlock();
        if (pred())
            return true;
        lock.lock();
        // Also re-check now and then: a change may come from a reader method
        // called directly rather than through the line.
        const auto slice =
            std::min(deadline, std::chrono::steady_clock::now() + std::chrono::milliseconds(20));
        m_event.wait_until(lock, slice, [&] { return m_events != seen; });
        if (std::chrono::steady_clock::now() >= deadline) {
            lock.unlock();
            return pred();
        }
    }
}

QJsonObject SimulatedLine::Snapshot() const {
    QJsonObject o;
    QList<SimulatedReader*> readers;
    {
        std::lock_guard lock(m_mutex);
        o["link"] = m_linkPath;
        o["slave"] = m_slavePath;
        o["plugged"] = m_master >= 0;
        o["controlError"] = m_controlError;
        o["echo"] = m_echo;
        o["echoLatencyMs"] = m_echoLatencyMs;
        o["echoedBytes"] = m_echoedBytes;
        o["collided"] = m_collided;
        for (const auto& [address, reader] : m_readers) readers.append(reader.get());
    }
    o["lineBaud"] = LineBaud();
    o["controlApplied"] = m_controlApplied.load();
    QJsonArray list;
    for (SimulatedReader* r : readers) list.append(r->Snapshot());
    o["readers"] = list;
    return o;
}

void SimulatedLine::WriteStateFile() const {
    QString path;
    {
        std::lock_guard lock(m_mutex);
        path = m_statePath;
    }
    if (path.isEmpty())
        return;
    QSaveFile file(path);
    if (file.open(QIODevice::WriteOnly)) {
        file.write(QJsonDocument(Snapshot()).toJson(QJsonDocument::Indented));
        if (file.commit())
            return;
    }
    // Tests and demos read this file; say so rather than leave it stale.
    std::fprintf(stderr, "simulador: no se puede escribir %s: %s\n", qPrintable(path),
                 qPrintable(file.errorString()));
}
