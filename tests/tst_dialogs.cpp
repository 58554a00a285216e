#include "cdownloadthread.h"
#include "cproxylogin.h"
#include "cupdatenotice.h"
#include "cupdateprogress.h"
#include "digest.h"
#include "support/testserver.h"

#include <QAction>
#include <QClipboard>
#include <QGuiApplication>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QTextDocument>
#include <QTimer>

struct ExpectedWidget
{
    const char *name;
    const char *className;
    QRect geometry;
    QString text;
};

class tst_Dialogs : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void noticeForm();
    void setVersion_data();
    void setVersion();
    void noticeExec_data();
    void noticeExec();
    void progressForm();
    void proxyLoginForm();
    void overallBar();
    void progressHandlers();
    void singleFileRun();
    void stopWhileRunning_data();
    void stopWhileRunning();

private:
    static void checkForm(QWidget &dialog, const QList<ExpectedWidget> &widgets);
    CDownloadThread *emptyWorker();
    QTemporaryDir temp;
};

void tst_Dialogs::initTestCase()
{
    QVERIFY2(temp.isValid(), qPrintable(temp.errorString()));
}

void tst_Dialogs::checkForm(QWidget &dialog, const QList<ExpectedWidget> &widgets)
{
    QCOMPARE(dialog.size(), QSize(640, 455));
    QVERIFY(dialog.windowFlags() & Qt::FramelessWindowHint);
    QVERIFY(dialog.isWindow());
    const QList<QWidget *> children = dialog.findChildren<QWidget *>(QString(), Qt::FindDirectChildrenOnly);
    QCOMPARE(children.size(), widgets.size());
    for (int i = 0; i < widgets.size(); ++i) {
        QWidget *widget = children.at(i); // creation order, also the focus order
        QCOMPARE(widget->objectName(), QLatin1String(widgets.at(i).name));
        QCOMPARE(widget->metaObject()->className(), widgets.at(i).className);
        QCOMPARE(widget->geometry(), widgets.at(i).geometry);
        QCOMPARE(widget->property("text").toString(), widgets.at(i).text);
        QVERIFY(widget->geometry().top() >= 280); // the picture keeps the upper part
        if (auto *label = qobject_cast<QLabel *>(widget)) // server text is never read as markup
            QCOMPARE(label->textFormat(), Qt::PlainText);
    }
}

CDownloadThread *tst_Dialogs::emptyWorker()
{
    return new CDownloadThread(QStringLiteral("http://127.0.0.1:9/"), QDir(temp.path()), QDir(temp.path()), {});
}

void tst_Dialogs::noticeForm()
{
    CUpdateNotice notice;
    QCOMPARE(notice.objectName(), QStringLiteral("CUpdateNoticeClass"));
    QCOMPARE(notice.windowTitle(), QStringLiteral("CUpdateNotice"));
    checkForm(notice, {{"update", "QPushButton", {380, 400, 100, 30}, QStringLiteral("立即更新")},
                       {"skip", "QPushButton", {510, 400, 100, 30}, QStringLiteral("以后再说")},
                       {"version", "QLabel", {30, 280, 580, 40}, QStringLiteral("发现新版本：3.0.2.0")}});
    QVERIFY(notice.findChild<QPushButton *>(QStringLiteral("update"))->isDefault());
    QVERIFY(!notice.findChild<QPushButton *>(QStringLiteral("skip"))->isDefault());
    QCOMPARE(notice.findChild<QLabel *>(QStringLiteral("version"))->font().pointSize(), 15);
}

// the proxy's name, as the system's settings give it, is plain text; the password is never shown
void tst_Dialogs::proxyLoginForm()
{
    CProxyLogin login;
    checkForm(login, {{"label", "QLabel", {30, 280, 580, 36}, QStringLiteral("代理服务器需要身份验证")},
                      {"proxy", "QLabel", {30, 318, 580, 22}, QStringLiteral("代理服务器：proxy.example.com:3128")},
                      {"userLabel", "QLabel", {30, 346, 60, 24}, QStringLiteral("用户名")},
                      {"user", "QLineEdit", {96, 346, 254, 24}, QString()},
                      {"passwordLabel", "QLabel", {30, 376, 60, 24}, QStringLiteral("密码")},
                      {"password", "QLineEdit", {96, 376, 254, 24}, QString()},
                      {"note", "QLabel", {30, 406, 340, 24}, QStringLiteral("用户名或密码被拒绝，请重新输入")},
                      {"ok", "QPushButton", {380, 400, 100, 30}, QStringLiteral("确定")},
                      {"cancel", "QPushButton", {510, 400, 100, 30}, QStringLiteral("取消")}});
    auto *user = login.findChild<QLineEdit *>(QStringLiteral("user"));
    auto *password = login.findChild<QLineEdit *>(QStringLiteral("password"));
    auto *ok = login.findChild<QPushButton *>(QStringLiteral("ok"));
    auto *note = login.findChild<QLabel *>(QStringLiteral("note"));
    QCOMPARE(password->echoMode(), QLineEdit::Password);
    QVERIFY(ok->isDefault());

    login.setProxy(QStringLiteral("<b>proxy</b>:3128"), false, QString());
    QCOMPARE(login.findChild<QLabel *>(QStringLiteral("proxy"))->text(), QStringLiteral("代理服务器：<b>proxy</b>:3128"));
    QVERIFY(note->isHidden());
    QVERIFY(!ok->isEnabled()); // no credentials without a user name
    user->setText(QStringLiteral("alice"));
    password->setText(QStringLiteral("s3cret"));
    QVERIFY(ok->isEnabled());
    ok->click();
    QCOMPARE(login.result(), int(QDialog::Accepted));
    QCOMPARE(login.user(), QStringLiteral("alice"));
    QCOMPARE(login.password(), QStringLiteral("s3cret"));

    // asked again after a refusal: the note shows, the name stays, the password is typed anew
    login.setProxy(QStringLiteral("proxy:3128"), true, QStringLiteral("alice"));
    QVERIFY(!note->isHidden());
    QCOMPARE(login.user(), QStringLiteral("alice"));
    QCOMPARE(login.password(), QString());
}

void tst_Dialogs::setVersion_data()
{
    QTest::addColumn<QString>("version");
    QTest::addColumn<QString>("shown");
    QTest::newRow("plain") << "2.1.0" << QStringLiteral("发现新版本：2.1.0");
    QTest::newRow("empty") << "" << QStringLiteral("发现新版本：");
    QTest::newRow("placeholders-literal") << "1.%2 %1" << QStringLiteral("发现新版本：1.%2 %1");
    QTest::newRow("markup-literal") << "<img src=x>" << QStringLiteral("发现新版本：<img src=x>");
    // too long for the label: elided there, whole in the tool tip and on the clipboard
    QTest::newRow("long-elided") << QString(300, QLatin1Char('9')) << QString();
}

void tst_Dialogs::setVersion()
{
    QFETCH(QString, version);
    QFETCH(QString, shown);
    CUpdateNotice notice;
    notice.setVersion(version);
    auto *label = notice.findChild<QLabel *>(QStringLiteral("version"));
    const QString whole = QStringLiteral("发现新版本：") + version;
    if (!shown.isNull()) {
        QCOMPARE(label->text(), shown);
    } else {
        QVERIFY(label->text().endsWith(QLatin1Char('9')) && label->text().contains(QChar(0x2026)));
        QVERIFY(label->fontMetrics().horizontalAdvance(label->text()) <= label->width());
        QCOMPARE(label->toolTip(), Qt::convertFromPlainText(whole, Qt::WhiteSpaceNormal));
    }
    QCOMPARE(label->actions().size(), 1);
    label->actions().first()->trigger();
    QCOMPARE(QGuiApplication::clipboard()->text(), whole);
}

void tst_Dialogs::noticeExec_data()
{
    QTest::addColumn<QString>("action");
    QTest::addColumn<int>("result");
    QTest::newRow("click-update") << "update" << 1;
    QTest::newRow("click-skip") << "skip" << 0;
    QTest::newRow("return") << "return" << 1;
    QTest::newRow("escape") << "escape" << 0;
    QTest::newRow("close") << "close" << 0;
}

void tst_Dialogs::noticeExec()
{
    QFETCH(QString, action);
    QFETCH(int, result);
    CUpdateNotice notice;
    notice.setVersion(QStringLiteral("2.0"));
    QTimer::singleShot(0, &notice, [&] {
        QVERIFY(QTest::qWaitForWindowExposed(&notice));
        if (action == QLatin1String("return"))
            QTest::keyClick(&notice, Qt::Key_Return);
        else if (action == QLatin1String("escape"))
            QTest::keyClick(&notice, Qt::Key_Escape);
        else if (action == QLatin1String("close"))
            notice.close();
        else
            QTest::mouseClick(notice.findChild<QPushButton *>(action), Qt::LeftButton);
    });
    QCOMPARE(notice.exec(), result);
}

void tst_Dialogs::progressForm()
{
    QScopedPointer<CDownloadThread> worker(emptyWorker());
    CUpdateProgress progress(worker.data());
    worker->start();
    QCOMPARE(progress.objectName(), QStringLiteral("CUpdateProgress"));
    QCOMPARE(progress.windowTitle(), QString());
    checkForm(progress, {{"label", "QLabel", {30, 280, 580, 40}, QStringLiteral("正在更新")},
                         {"total", "QProgressBar", {30, 330, 580, 5}, QString()},
                         {"progress", "QProgressBar", {30, 370, 580, 5}, QString()},
                         {"desc", "QLabel", {30, 340, 580, 24}, QStringLiteral("正在下载更新文件")},
                         {"cancel", "QPushButton", {510, 400, 100, 30}, QStringLiteral("取消")}});
    for (const char *name : {"total", "progress"}) {
        auto *bar = progress.findChild<QProgressBar *>(QLatin1String(name));
        QVERIFY(!bar->isTextVisible());
        QCOMPARE(bar->alignment(), Qt::AlignJustify | Qt::AlignVCenter);
        QCOMPARE(bar->minimum(), 0);
        QCOMPARE(bar->maximum(), 100);
    }
    QVERIFY(!progress.findChild<QPushButton *>(QStringLiteral("cancel"))->isDefault());
    QCOMPARE(progress.findChild<QLabel *>(QStringLiteral("label"))->font().pointSize(), 15);
    QTRY_VERIFY(worker->isFinished());
}

void tst_Dialogs::overallBar()
{
    QScopedPointer<CDownloadThread> worker(emptyWorker());
    CUpdateProgress progress(worker.data());
    worker->start();
    auto *total = progress.findChild<QProgressBar *>(QStringLiteral("total"));
    auto *desc = progress.findChild<QLabel *>(QStringLiteral("desc"));
    QCOMPARE(total->value(), -1); // nothing yet: drawn empty
    const QList<int> expected{0, 25, 50, 75};
    for (int i = 0; i < 4; ++i) {
        progress.onDownloadStarted(QFileInfo(QStringLiteral("/cache/dir/file%1.dll").arg(i)), i, 4);
        QCOMPARE(total->value(), expected.at(i));
        QCOMPARE(desc->text(), QStringLiteral("正在下载更新文件file%1.dll").arg(i));
    }
    progress.onDownloadStarted(QFileInfo(QStringLiteral("x")), 2, 3);
    QCOMPARE(total->value(), 66); // the fraction is dropped
    progress.onDownloadStarted(QFileInfo(QStringLiteral("x")), 1, 0);
    QCOMPARE(desc->text(), QStringLiteral("total为0"));
    QCOMPARE(total->value(), 66);
    QTRY_VERIFY(worker->isFinished());
}

void tst_Dialogs::progressHandlers()
{
    QScopedPointer<CDownloadThread> worker(emptyWorker());
    CUpdateProgress progress(worker.data());
    worker->start();
    auto *bar = progress.findChild<QProgressBar *>(QStringLiteral("progress"));
    auto *desc = progress.findChild<QLabel *>(QStringLiteral("desc"));

    progress.onDownloadStarted(QFileInfo(QStringLiteral("/c/a.bin")), 0, 1);
    QCOMPARE(bar->value(), 0);
    progress.onDownloadProgress(50, 200);
    QCOMPARE(bar->value(), 25);
    progress.onDownloadProgress(199, 200);
    QCOMPARE(bar->value(), 99);
    progress.onDownloadProgress(300, 200); // more than announced: ignored
    QCOMPARE(bar->value(), 99);
    progress.onDownloadProgress(10, -1);
    QCOMPARE(desc->text(), QStringLiteral("bytesTotal为0"));
    QCOMPARE(bar->value(), 99);
    progress.onDownloadProgress(int64_t(3) << 40, int64_t(4) << 40); // beyond 32 bits
    QCOMPARE(bar->value(), 75);
    QCOMPARE(desc->text(), QStringLiteral("bytesTotal为0")); // the name is not restored
    progress.onDownloadFail(QFileInfo(QStringLiteral("/c/a.bin")), QStringLiteral("更新文件a.bin校验不对"));
    QCOMPARE(desc->text(), QStringLiteral("更新文件a.bin校验不对"));
    QCOMPARE(bar->value(), 75);
    const QString markup = QStringLiteral("404-<img src=x.png>");
    progress.onDownloadFail(QFileInfo(QStringLiteral("/c/a.bin")), markup);
    QCOMPARE(desc->text(), markup); // shown as it came
    QTRY_VERIFY(worker->isFinished());
}

void tst_Dialogs::singleFileRun()
{
    TestServer server;
    QVERIFY(server.isListening());
    const QByteArray content(300 * 1024, 'p');
    server.setFile("/f/one.bin", content);
    QTemporaryDir cache;
    QTemporaryDir root;
    CDownloadThread worker(server.baseUrl() + QStringLiteral("/f/"), QDir(cache.path()), QDir(root.path()),
                           {{QStringLiteral("one.bin"), quint64(content.size()), digestText(content)}});
    CUpdateProgress progress(&worker);
    worker.start();
    auto *total = progress.findChild<QProgressBar *>(QStringLiteral("total"));
    auto *bar = progress.findChild<QProgressBar *>(QStringLiteral("progress"));
    auto *desc = progress.findChild<QLabel *>(QStringLiteral("desc"));
    QList<int> barValues;
    connect(bar, &QProgressBar::valueChanged, this, [&](int value) { barValues.append(value); });
    QCOMPARE(progress.exec(), int(QDialog::Accepted));
    QVERIFY(worker.isFinished());
    QVERIFY(worker.succeeded());
    QCOMPARE(total->value(), 0);
    QCOMPARE(desc->text(), QStringLiteral("正在下载更新文件one.bin"));
    QVERIFY(!barValues.isEmpty());
    QCOMPARE(barValues.last(), 100);
}

void tst_Dialogs::stopWhileRunning_data()
{
    QTest::addColumn<QString>("how");
    QTest::newRow("cancel-button") << "cancel";
    QTest::newRow("escape") << "escape";
    QTest::newRow("close") << "close";
}

void tst_Dialogs::stopWhileRunning()
{
    QFETCH(QString, how);
    TestServer server;
    QVERIFY(server.isListening());
    TestServer::Response slow;
    slow.body = QByteArray(400 * 1024, 's');
    slow.chunkSize = 4096;
    slow.chunkIntervalMs = 20;
    server.setResponse("/f/slow.bin", slow);
    QTemporaryDir cache;
    QTemporaryDir root;
    CDownloadThread worker(server.baseUrl() + QStringLiteral("/f/"), QDir(cache.path()), QDir(root.path()),
                           {{QStringLiteral("slow.bin"), quint64(slow.body.size()), digestText(slow.body)}});
    CUpdateProgress progress(&worker);
    worker.start();
    bool visibleAfterRequest = false;
    bool asked = false;
    connect(&worker, &CDownloadThread::downloadProgress, &progress, [&](int64_t received, int64_t) {
        if (asked || received == 0)
            return;
        asked = true;
        if (how == QLatin1String("cancel"))
            QTest::mouseClick(progress.findChild<QPushButton *>(QStringLiteral("cancel")), Qt::LeftButton);
        else if (how == QLatin1String("escape"))
            QTest::keyClick(&progress, Qt::Key_Escape);
        else
            progress.close();
        // the dialog stays until the worker's thread has ended
        visibleAfterRequest = progress.isVisible();
    });
    QCOMPARE(progress.exec(), int(QDialog::Accepted));
    QVERIFY(asked);
    QVERIFY(visibleAfterRequest);
    QVERIFY(worker.wait(5000));
    QVERIFY(!worker.succeeded());
    QCOMPARE(worker.errorMessage(), QString());
    QVERIFY(!QFileInfo::exists(QDir(root.path()).filePath(QStringLiteral("slow.bin"))));
}

QTEST_MAIN(tst_Dialogs)
#include "tst_dialogs.moc"
