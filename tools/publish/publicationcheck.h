#ifndef PUBLICATIONCHECK_H
#define PUBLICATIONCHECK_H

#include <QCoreApplication>
#include <QString>
#include <QStringList>

#include <functional>

// Verifies a server directory the way a client would see it: update.ini read with QSettings,
// md5.txt read with the updater's own parser, and every listed file present with the listed
// size and digest text.
class PublicationCheck
{
    Q_DECLARE_TR_FUNCTIONS(PublicationCheck)

public:
    explicit PublicationCheck(const QString &serverDir);

    // true when everything matches; every problem found is collected, not only the first
    bool run();

    QStringList problems() const { return problemList; }
    QStringList warnings() const { return warningList; }
    QString folder() const { return folderName; }
    QString version() const { return versionText; }
    bool isOptional() const { return updateType == 0; }
    int fileCount() const { return checkedFiles; }

    // called as bytes are hashed
    void setProgressHandler(std::function<void(quint64 done, quint64 total)> handler);

private:
    void checkManifestLines(const QByteArray &bytes);
    void checkFiles(const QString &folderPath, const QByteArray &bytes);

    QString serverDir;
    QStringList problemList;
    QStringList warningList;
    QString folderName;
    QString versionText;
    int updateType = 1;
    int checkedFiles = 0;
    std::function<void(quint64, quint64)> progress;
};

#endif // PUBLICATIONCHECK_H
