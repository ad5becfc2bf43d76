#include "app/ui/InstanceLink.h"

#include <QCryptographicHash>
#include <QDir>
#include <QLocalSocket>

#include <unistd.h>

namespace ui {

namespace {

constexpr int kWaitMs = 1000;

} // namespace

QString InstanceLinkName(const QString& configFolder) {
    const QByteArray hash =
        QCryptographicHash::hash(QDir::cleanPath(configFolder).toUtf8(), QCryptographicHash::Sha1).toHex().left(12);
    return QString("zconverter-%1-%2").arg(getuid()).arg(QString::fromLatin1(hash));
}

bool HandToRunningInstance(const QString& name, const QStringList& paths) {
    QLocalSocket socket;
    socket.connectToServer(name);
    if (!socket.waitForConnected(kWaitMs)) return false;
    // One absolute path per line, then the end of the stream ends the message.
    QStringList absolute;
    for (const QString& path : paths) absolute << QDir::current().absoluteFilePath(path);
    socket.write(absolute.join('\n').toUtf8());
    socket.write("\n");
    if (!socket.waitForBytesWritten(kWaitMs)) return false;
    socket.disconnectFromServer();
    if (socket.state() != QLocalSocket::UnconnectedState) socket.waitForDisconnected(kWaitMs);
    return true;
}

TInstanceLink::TInstanceLink(const QString& name, std::function<void(const QStringList&)> onPaths)
    : FOnPaths(std::move(onPaths)) {
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
        // The whole message is there once the sender closed its end.
        auto deliver = [this, socket] {
            QStringList paths;
            for (const QString& line : QString::fromUtf8(socket->readAll()).split('\n'))
                if (!line.isEmpty()) paths << line;
            if (FOnPaths) FOnPaths(paths);
        };
        connect(socket, &QLocalSocket::readChannelFinished, this, deliver);
    }
}

} // namespace ui
