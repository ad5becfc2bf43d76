#include "app/ui/InstanceLink.h"

#include <QCryptographicHash>
#include <QDir>
#include <QLocalSocket>
#include <QTimer>

#include <cerrno>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

namespace ui {

namespace {

constexpr int kWaitMs = 1000;
constexpr qint64 kMostBytes = 1 << 20;  // a message of paths, not a file

// A folder only this user can enter: the session's runtime folder, else one
// of our own under /tmp. Empty when neither is safe (a link, another owner,
// other people's access): the program then runs without the link.
QString PrivateFolder() {
    const auto ours = [](const QByteArray& path) {
        struct stat st {};
        return lstat(path.constData(), &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == getuid() &&
               (st.st_mode & 077) == 0;
    };
    const QByteArray runtime = qgetenv("XDG_RUNTIME_DIR");
    if (!runtime.isEmpty() && runtime.startsWith('/') && ours(runtime)) return QString::fromLocal8Bit(runtime);
    const QByteArray own = "/tmp/zconverter-" + QByteArray::number(getuid());
    if (mkdir(own.constData(), 0700) != 0 && errno != EEXIST) return {};
    return ours(own) ? QString::fromLocal8Bit(own) : QString();
}

// The user at the other end of a local socket; -1 when unknown.
long PeerUser(qintptr descriptor) {
    struct ucred cred {};
    socklen_t size = sizeof cred;
    if (descriptor < 0 || getsockopt(static_cast<int>(descriptor), SOL_SOCKET, SO_PEERCRED, &cred, &size) != 0)
        return -1;
    return static_cast<long>(cred.uid);
}

} // namespace

QString InstanceLinkName(const QString& configFolder) {
    const QString folder = PrivateFolder();
    if (folder.isEmpty()) return {};
    const QByteArray hash =
        QCryptographicHash::hash(QDir::cleanPath(configFolder).toUtf8(), QCryptographicHash::Sha1).toHex().left(12);
    return folder + "/zconverter-" + QString::fromLatin1(hash);
}

bool HandToRunningInstance(const QString& name, const QStringList& paths) {
    if (name.isEmpty()) return false;
    QLocalSocket socket;
    socket.connectToServer(name);
    if (!socket.waitForConnected(kWaitMs)) return false;
    // Only a window of this user gets the names of this user's files.
    if (PeerUser(socket.socketDescriptor()) != static_cast<long>(getuid())) return false;
    // Absolute paths, each ended by a zero byte (a name may hold a line end);
    // the end of the stream ends the message.
    QByteArray message;
    for (const QString& path : paths) message += QDir::current().absoluteFilePath(path).toUtf8() + '\0';
    socket.write(message);
    if (!socket.waitForBytesWritten(kWaitMs) && !message.isEmpty()) return false;
    socket.disconnectFromServer();
    if (socket.state() != QLocalSocket::UnconnectedState) socket.waitForDisconnected(kWaitMs);
    return true;
}

TInstanceLink::TInstanceLink(const QString& name, std::function<void(const QStringList&)> onPaths)
    : FOnPaths(std::move(onPaths)) {
    if (name.isEmpty()) return;
    FServer.setSocketOptions(QLocalServer::UserAccessOption);
    if (!FServer.listen(name)) {
        // A name left by a program that crashed: nobody answers on it.
        QLocalSocket probe;
        probe.connectToServer(name);
        if (probe.waitForConnected(200)) return;
        QLocalServer::removeServer(name);
        FServer.listen(name);
    }
    connect(&FServer, &QLocalServer::newConnection, this, [this] { Accept(); });
}

void TInstanceLink::Accept() {
    while (QLocalSocket* socket = FServer.nextPendingConnection()) {
        connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
        if (PeerUser(socket->socketDescriptor()) != static_cast<long>(getuid())) {
            socket->abort();
            continue;
        }
        // A sender that never finishes, or sends far too much, is dropped.
        QTimer::singleShot(5000, socket, [socket] { socket->abort(); });
        connect(socket, &QLocalSocket::readyRead, socket, [socket] {
            if (socket->bytesAvailable() > kMostBytes) socket->abort();
        });
        // The whole message is there once the sender closed its end.
        connect(socket, &QLocalSocket::readChannelFinished, this, [this, socket] {
            const QByteArray message = socket->readAll();
            if (message.size() > kMostBytes) return;
            QStringList paths;
            for (const QByteArray& path : message.split('\0'))
                if (!path.isEmpty()) paths << QString::fromUtf8(path);
            if (FOnPaths) FOnPaths(paths);
        });
    }
}

} // namespace ui
