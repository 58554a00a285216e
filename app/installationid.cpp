#include "installationid.h"

#include "filewrite.h"
#include "reservednames.h"
#include "rollout.h"
#include "safedir.h"

#include <QCoreApplication>
#include <QFile>

bool installationId(const QDir &installRoot, QByteArray &id, QString &error)
{
    {
        QFile file; // a link in its place, or a fifo, reads as none
        if (SafeDir::openBelow(installRoot.absolutePath(), installationIdName(), file)) {
            const QByteArray line = file.read(64).trimmed();
            if (isInstallationId(line)) {
                id = line;
                return true;
            }
        }
    } // closed before it is replaced: Windows replaces no file that is open

    const QByteArray created = newInstallationId();
    const QString path = installRoot.absoluteFilePath(installationIdName());
    QString reason;
    if (!writeFileBytes(path, created + '\n', &reason)) {
        error = QCoreApplication::translate("QObject", "创建文件[%1]失败:%2").arg(path, reason);
        return false;
    }
    id = created;
    return true;
}
