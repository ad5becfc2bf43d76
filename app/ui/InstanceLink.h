// One window per user and settings folder: a second start of the program
// hands its files to the window that runs already and ends.
#pragma once

#include <QLocalServer>
#include <QObject>
#include <QString>
#include <QStringList>

#include <functional>

namespace ui {

// The link's name for a settings folder (starts that share settings share a
// window): a socket in a folder only this user can enter; empty when there is
// no such folder, and the program then runs without the link.
QString InstanceLinkName(const QString& configFolder);

// Gives the paths (made absolute) to the program listening under `name`;
// false when none of this user answers within a second, so this start opens
// its own window.
bool HandToRunningInstance(const QString& name, const QStringList& paths);

// Listens under `name` for later starts; each one's paths reach `onPaths`
// on the main thread (an empty list: a start without files).
class TInstanceLink : public QObject {
public:
    TInstanceLink(const QString& name, std::function<void(const QStringList&)> onPaths);
    // False when the name could not be taken (the start keeps its window anyway).
    bool Listening() const { return FServer.isListening(); }

private:
    void Accept();

    QLocalServer FServer;
    std::function<void(const QStringList&)> FOnPaths;
};

} // namespace ui
