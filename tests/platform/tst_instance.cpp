// The single-instance marker and hand-off: the race for the marker between processes, a
// crashed first instance, what travels over the socket, and clients that must not get
// through (another user) or hold anything up (silent, garbage, too much).

#include "common/TestEnv.h"
#include "platform/HandOffServer.h"
#include "platform/InstanceDetect.h"
#include "platform/SingleInstance.h"

#include <QtTest>

#include <csignal>
#include <fcntl.h>
#include <functional>
#include <future>
#include <poll.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace oxlume;
using platform::UniqueFd;

namespace {

std::string bytesOf(const QString &path)
{
    return QFile::encodeName(path).toStdString();
}

// A forked child runs body and exits with its result; nothing of the test's own state is
// touched in there.
pid_t forkChild(const std::function<int()> &body)
{
    const pid_t pid = ::fork();
    if (pid == 0)
        ::_exit(body());
    return pid;
}

// Reads one byte from fd within ms; -1 on timeout or end.
int readByte(int fd, int ms)
{
    pollfd p{fd, POLLIN, 0};
    char c = 0;
    if (::poll(&p, 1, ms) != 1 || ::read(fd, &c, 1) != 1)
        return -1;
    return c;
}

// A client socket connected to path, or invalid.
UniqueFd connectTo(const std::string &path)
{
    UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    if (::connect(fd.get(), reinterpret_cast<const sockaddr *>(&address), sizeof address) != 0)
        return {};
    return fd;
}

// A second start as a process of its own, while this process serves the socket: its exit
// code, 0 when it handed over, 7 when it went on as the first instance.
int secondStart(const std::string &argument)
{
    const pid_t pid = forkChild([&] {
        ::close_range(3, ~0U, 0); // none of this process's locks and sockets
        return DetectRunningInstance(kInstanceName, argument) ? 0 : 7;
    });
    int status = 0;
    while (::waitpid(pid, &status, WNOHANG) == 0)
        QTest::qWait(2);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Sends from another thread, so that the server in this one can answer meanwhile.
std::future<bool> sendAsync(const std::string &path, const HandOff &message)
{
    return std::async(std::launch::async, [path, message] {
        return SendHandOff(path, message, std::chrono::milliseconds(0));
    });
}

// A first instance without an event loop (a forked child): answers count hand-offs.
void answerHandOffs(int listener, int count)
{
    for (int k = 0; k < count; ++k) {
        pollfd p{listener, POLLIN, 0};
        if (::poll(&p, 1, 10000) != 1)
            return;
        UniqueFd fd(::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC));
        std::string bytes;
        HandOff message;
        char buffer[256];
        ssize_t n = 0;
        while (DecodeHandOff(bytes, message) == DecodeStatus::NeedMore &&
               (n = ::read(fd.get(), buffer, sizeof buffer)) > 0)
            bytes.append(buffer, std::size_t(n));
        (void)::write(fd.get(), &kHandOffAck, 1);
    }
}

} // namespace

class TestInstance : public QObject {
    Q_OBJECT
private slots:
    void init();
    void markerRace();
    void staleMarkerAfterKill();
    void holderEndsDuringHandOff();
    void closingInstanceTakesNoFile();
    void transport_data();
    void transport();
    void badClients_data();
    void badClients();
    void unusableFolders_data();
    void unusableFolders();

private:
    std::unique_ptr<test::ScopedXdgHome> m_home;
};

void TestInstance::init()
{
    m_home.reset(); // its environment goes back before the next one is set
    m_home = std::make_unique<test::ScopedXdgHome>();
    QVERIFY(m_home->isValid());
}

void TestInstance::markerRace()
{
    // Twelve processes released at the same moment: exactly one becomes the first instance
    // and keeps the marker while the others hand over and end.
    constexpr int kStarts = 12;
    int go[2], results[2], hold[2];
    QVERIFY(::pipe(go) == 0 && ::pipe(results) == 0 && ::pipe(hold) == 0);
    std::vector<pid_t> children;
    for (int k = 0; k < kStarts; ++k) {
        children.push_back(forkChild([&] {
            ::close(go[1]);
            ::close(hold[1]);
            char c;
            (void)::read(go[0], &c, 1); // released when the parent closes its end
            const bool running = DetectRunningInstance(kInstanceName, "/x.jpg");
            const char result = running ? 'R' : 'F';
            (void)::write(results[1], &result, 1);
            if (!running) {
                answerHandOffs(TakeInstanceListener().get(), kStarts - 1);
                (void)::read(hold[0], &c, 1); // keep the marker until all have tried
            }
            return 0;
        }));
    }
    ::close(go[0]);
    ::close(go[1]);
    ::close(hold[0]);
    int first = 0, handedOver = 0;
    for (int k = 0; k < kStarts; ++k) {
        const int c = readByte(results[0], 10000);
        first += c == 'F';
        handedOver += c == 'R';
    }
    ::close(hold[1]);
    for (pid_t pid : children) {
        int status = 0;
        ::waitpid(pid, &status, 0);
        QVERIFY(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    ::close(results[0]);
    ::close(results[1]);
    QCOMPARE(first, 1);
    QCOMPARE(handedOver, kStarts - 1);
}

void TestInstance::staleMarkerAfterKill()
{
    int ready[2];
    QVERIFY(::pipe(ready) == 0);
    const pid_t pid = forkChild([&] {
        const char c = DetectRunningInstance(kInstanceName, {}) ? 'R' : 'F';
        (void)::write(ready[1], &c, 1);
        ::pause();
        return 0;
    });
    QCOMPARE(readByte(ready[0], 10000), int('F'));
    ::kill(pid, SIGKILL);
    ::waitpid(pid, nullptr, 0);
    ::close(ready[0]);
    ::close(ready[1]);

    const InstanceFolder folder = PrepareInstanceFolder();
    QCOMPARE(folder.error, std::string());
    const std::string socketPath = folder.path + "/" + kInstanceName + ".sock";
    QVERIFY(QFileInfo::exists(QFile::decodeName(socketPath.c_str()))); // left behind
    InstanceMarker marker = TakeInstanceMarker(folder.path, kInstanceName);
    QCOMPARE(marker.state, MarkerState::First);
    std::vector<HandOff> received;
    HandOffServer server(std::move(marker.listener),
                         [&](const HandOff &m) { received.push_back(m); });
    std::future<bool> sent = sendAsync(socketPath, {"/a.jpg", {}});
    QTRY_COMPARE(received.size(), std::size_t(1));
    QVERIFY(sent.get());
    QCOMPARE(received[0].path, std::string("/a.jpg"));
}

void TestInstance::holderEndsDuringHandOff()
{
    // A holder of the lock that never listens and ends while a second start retries: that
    // start becomes the first instance instead of ending with its file lost.
    const InstanceFolder folder = PrepareInstanceFolder();
    QCOMPARE(folder.error, std::string());
    int ready[2];
    QVERIFY(::pipe(ready) == 0);
    const pid_t holder = forkChild([&] {
        const std::string lock = folder.path + "/" + kInstanceName + ".lock";
        const int fd = ::open(lock.c_str(), O_RDWR | O_CREAT, 0600);
        if (fd < 0 || ::flock(fd, LOCK_EX) != 0)
            return 1;
        (void)::write(ready[1], "L", 1);
        ::usleep(300 * 1000);
        return 0;
    });
    QCOMPARE(readByte(ready[0], 10000), int('L'));
    const pid_t second =
        forkChild([] { return DetectRunningInstance(kInstanceName, "/x.jpg") ? 0 : 7; });
    int status = 0;
    ::waitpid(second, &status, 0);
    ::waitpid(holder, nullptr, 0);
    ::close(ready[0]);
    ::close(ready[1]);
    QVERIFY(WIFEXITED(status));
    QCOMPARE(WEXITSTATUS(status), 7);
}

void TestInstance::closingInstanceTakesNoFile()
{
    // The first instance is closing: it refuses the message (no answer) and ends. The second
    // start takes the marker and shows the file itself instead of ending with it lost.
    const InstanceFolder folder = PrepareInstanceFolder();
    InstanceMarker marker = TakeInstanceMarker(folder.path, kInstanceName);
    QCOMPARE(marker.state, MarkerState::First);
    int asked = 0;
    std::vector<HandOff> received;
    HandOffServer server(
        std::move(marker.listener), [&](const HandOff &m) { received.push_back(m); },
        [&] {
            ++asked;
            marker.lock.reset(); // the process ends, and its lock with it
            return false;
        });
    QCOMPARE(secondStart("/x.jpg"), 7);
    QCOMPARE(asked, 1);
    QVERIFY(received.empty());
}

void TestInstance::transport_data()
{
    QTest::addColumn<QByteArray>("argument");
    QTest::addColumn<QByteArray>("token");    // "X=..." or "D=..." for the variable to set
    QTest::addColumn<QByteArray>("expected"); // the path received; "@" stands for the cwd
    const QByteArray longest = "/" + QByteArray(int(kMaxHandOffPath) - 1, 'a');
    QTest::newRow("absolute, with a Wayland token")
        << QByteArray("/p/a.jpg") << QByteArray("X=wl-1") << QByteArray("/p/a.jpg");
    QTest::newRow("relative: the sender's folder, X11 startup id")
        << QByteArray("sub/b c.jpg") << QByteArray("D=x11_TIME5") << QByteArray("@/sub/b c.jpg");
    QTest::newRow("4095 bytes") << longest << QByteArray() << longest;
    QTest::newRow("4096 bytes go as no path") << longest + "b" << QByteArray() << QByteArray();
    QTest::newRow("invalid UTF-8")
        << QByteArray("/p/\xff\xfe\x80.jpg") << QByteArray() << QByteArray("/p/\xff\xfe\x80.jpg");
    QTest::newRow("no path") << QByteArray() << QByteArray() << QByteArray();
}

void TestInstance::transport()
{
    QFETCH(QByteArray, argument);
    QFETCH(QByteArray, token);
    QFETCH(QByteArray, expected);
    test::ScopedEnv env;
    env.unset("XDG_ACTIVATION_TOKEN");
    env.unset("DESKTOP_STARTUP_ID");
    if (!token.isEmpty())
        env.set(token.startsWith('X') ? "XDG_ACTIVATION_TOKEN" : "DESKTOP_STARTUP_ID",
                token.mid(2));
    expected.replace('@', QFile::encodeName(QDir::currentPath()));

    const InstanceFolder folder = PrepareInstanceFolder();
    InstanceMarker marker = TakeInstanceMarker(folder.path, kInstanceName);
    QCOMPARE(marker.state, MarkerState::First);
    std::vector<HandOff> received;
    HandOffServer server(std::move(marker.listener),
                         [&](const HandOff &m) { received.push_back(m); });
    QCOMPARE(secondStart(argument.toStdString()), 0);
    QCOMPARE(received.size(), std::size_t(1));
    QCOMPARE(QByteArray::fromStdString(received[0].path), expected);
    QCOMPARE(QByteArray::fromStdString(received[0].activationToken), token.mid(2));
}

void TestInstance::badClients_data()
{
    QTest::addColumn<QString>("client");
    QTest::addColumn<int>("count"); // of them at once
    for (const char *kind : {"other user", "silent", "garbage", "1 MB", "cut short", "NUL"})
        QTest::newRow(kind) << QString::fromLatin1(kind) << 1;
    // More than the server keeps open: the oldest idle ones make room, not the real one.
    QTest::newRow("100 silent") << QStringLiteral("silent") << 100;
    QTest::newRow("100 cut short") << QStringLiteral("cut short") << 100;
}

void TestInstance::badClients()
{
    QFETCH(QString, client);
    QFETCH(int, count);
    // A folder others may enter, so that another user can reach the socket at all.
    QTemporaryDir open;
    ::chmod(QFile::encodeName(open.path()).constData(), 0755);
    const std::string path = bytesOf(open.path()) + "/s.sock";
    std::string error;
    UniqueFd listener = ListenAt(path, error);
    QVERIFY2(listener.isValid(), error.c_str());
    ::chmod(path.c_str(), 0777);
    std::vector<HandOff> received;
    HandOffServer *self = nullptr;
    std::size_t othersOpen = 0; // when the last message was handed on
    HandOffServer server(std::move(listener), [&](const HandOff &m) {
        received.push_back(m);
        othersOpen = self->openClients();
    });
    self = &server;

    std::vector<UniqueFd> bad;
    const std::string message = EncodeHandOff({"/etc/passwd", {}});
    if (client == QLatin1String("other user")) {
        if (::geteuid() != 0)
            QSKIP("needs root to run a client as uid 65534");
        const pid_t pid = forkChild([&] {
            if (::setgid(65534) != 0 || ::setuid(65534) != 0)
                return 2;
            UniqueFd fd = connectTo(path);
            return fd && ::write(fd.get(), message.data(), message.size()) > 0 ? 0 : 3;
        });
        int status = 0;
        ::waitpid(pid, &status, 0);
        QCOMPARE(WEXITSTATUS(status), 0);
        QTRY_COMPARE(server.refusedPeers(), 1);
    } else {
        std::string bytes;
        if (client == QLatin1String("garbage"))
            bytes = "GET / HTTP/1.0\r\n\r\n";
        else if (client == QLatin1String("1 MB"))
            bytes = "OXH1" + std::string(1 << 20, '\x7f');
        else if (client == QLatin1String("cut short"))
            bytes = message.substr(0, message.size() - 3);
        else if (client == QLatin1String("NUL"))
            bytes = EncodeHandOff({std::string("/a\0b", 4), {}});
        for (int k = 0; k < count; ++k) {
            bad.push_back(connectTo(path));
            QVERIFY(bad.back().isValid());
            ::fcntl(bad.back().get(), F_SETFL, O_NONBLOCK);
            if (!bytes.empty())
                (void)::send(bad.back().get(), bytes.data(), bytes.size(), MSG_NOSIGNAL);
            if (client == QLatin1String("cut short"))
                ::shutdown(bad.back().get(), SHUT_WR);
            QCoreApplication::processEvents(); // accepted as they come, as in a real flood
        }
    }
    // A proper hand-off right behind it gets through at once, not after the deadline: a
    // silent client is still waiting for its deadline then.
    std::future<bool> sent = sendAsync(path, {"/b.jpg", {}});
    QTRY_COMPARE(received.size(), std::size_t(1));
    QVERIFY(sent.get());
    QCOMPARE(received[0].path, std::string("/b.jpg"));
    if (client == QLatin1String("silent"))
        QVERIFY(othersOpen >= 1);
    // The bad one is gone by the deadline at the latest, having delivered nothing.
    QTRY_COMPARE_WITH_TIMEOUT(server.openClients(), std::size_t(0), 3000);
    QCOMPARE(received.size(), std::size_t(1));
}

void TestInstance::unusableFolders_data()
{
    QTest::addColumn<QString>("setup");
    QTest::addColumn<QString>("error"); // a part of the reason; empty: usable
    QTest::newRow("usable") << QStringLiteral("none") << QString();
    QTest::newRow("link at the lock")
        << QStringLiteral("lock link") << QStringLiteral("cannot open");
    QTest::newRow("link at the socket")
        << QStringLiteral("sock link") << QStringLiteral("is not a socket");
    QTest::newRow("others may write")
        << QStringLiteral("0777") << QStringLiteral("may be written by other users");
    QTest::newRow("another user's")
        << QStringLiteral("chown") << QStringLiteral("belongs to another user");
    QTest::newRow("a link for the folder")
        << QStringLiteral("folder link") << QStringLiteral("is not a folder");
    QTest::newRow("long runtime folder: reached by a short path")
        << QStringLiteral("deep") << QString();
    QTest::newRow("no XDG_RUNTIME_DIR: the user's cache folder")
        << QStringLiteral("unset") << QString();
}

void TestInstance::unusableFolders()
{
    QFETCH(QString, setup);
    QFETCH(QString, error);
    const std::string runtime = bytesOf(m_home->path()) + "/runtime";
    const std::string folder = runtime + "/oxlume";
    const std::string lock = folder + "/" + kInstanceName + ".lock";
    const std::string sock = folder + "/" + kInstanceName + ".sock";
    const std::string target = bytesOf(m_home->path()) + "/target";
    ::mkdir(runtime.c_str(), 0700);
    if (setup != QLatin1String("folder link"))
        ::mkdir(folder.c_str(), 0700);
    if (setup == QLatin1String("lock link"))
        QCOMPARE(::symlink(target.c_str(), lock.c_str()), 0);
    else if (setup == QLatin1String("sock link"))
        QCOMPARE(::symlink(target.c_str(), sock.c_str()), 0);
    else if (setup == QLatin1String("0777"))
        ::chmod(folder.c_str(), 0777);
    else if (setup == QLatin1String("folder link"))
        QCOMPARE(::symlink(target.c_str(), folder.c_str()), 0);
    else if (setup == QLatin1String("chown")) {
        if (::geteuid() != 0)
            QSKIP("needs root to give the folder to another user");
        QCOMPARE(::chown(folder.c_str(), 65534, 65534), 0);
    } else if (setup == QLatin1String("deep")) {
        const std::string deep = runtime + "/" + std::string(100, 'd');
        ::mkdir(deep.c_str(), 0700);
        m_home->env().set("XDG_RUNTIME_DIR", QByteArray::fromStdString(deep));
    } else if (setup == QLatin1String("unset")) {
        m_home->env().unset("XDG_RUNTIME_DIR");
        m_home->env().unset("XDG_CACHE_HOME");
    }
    ::mkdir(target.c_str(), 0700);

    const InstanceFolder prepared = PrepareInstanceFolder();
    InstanceMarker marker;
    if (prepared.error.empty())
        marker = TakeInstanceMarker(prepared.path, kInstanceName);
    const std::string why = prepared.error.empty() ? marker.error : prepared.error;
    if (error.isEmpty()) {
        QCOMPARE(why, std::string());
        QCOMPARE(marker.state, MarkerState::First);
        if (setup == QLatin1String("unset"))
            QCOMPARE(prepared.path, bytesOf(m_home->path()) + "/.cache/oxlume");
        // And a second start reaches it.
        int received = 0;
        HandOffServer server(std::move(marker.listener), [&](const HandOff &) { ++received; });
        QCOMPARE(secondStart("/u.jpg"), 0);
        QCOMPARE(received, 1);
    } else {
        QVERIFY2(QString::fromStdString(why).contains(error), why.c_str());
        QVERIFY(marker.state != MarkerState::First);
        // Nothing was left held: once the cause is gone, the marker can be taken.
        QVERIFY(!marker.lock.isValid());
    }
    // The folder's own target and the planted link stay as they were.
    QVERIFY(QFileInfo(QFile::decodeName(target.c_str())).isDir());
}

QTEST_GUILESS_MAIN(TestInstance)
#include "tst_instance.moc"
