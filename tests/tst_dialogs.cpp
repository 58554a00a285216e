#include "cdownloadthread.h"
#include "cproxylogin.h"
#include "cupdateerror.h"
#include "cupdatenotice.h"
#include "cupdateprogress.h"
#include "digest.h"
#include "uilanguage.h"
#include "support/testserver.h"

#include <QAccessible>
#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QDesktopServices>
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
#include <QTranslator>
#include <QUrl>
#include <QtGui/private/qguiapplication_p.h>
#include <qpa/qplatformaccessibility.h>
#include <qpa/qplatformintegration.h>

#include <algorithm>
#include <memory>

struct ExpectedWidget
{
    const char *name;
    const char *className;
    QRect geometry;
    QString text;
};

// stands in for the browser that the download page would open in
class UrlRecorder : public QObject
{
    Q_OBJECT

public slots:
    void open(const QUrl &url) { urls.append(url); }

public:
    QList<QUrl> urls;
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
    void keyboard_data();
    void keyboard();
    void accessibleTexts_data();
    void accessibleTexts();
    void progressAnnounced();
    void english_data();
    void english();
    void sharpBackground_data();
    void sharpBackground();

private:
    // a dialog of the kind ("error", "notice", "progress", "proxy") with representative texts
    std::unique_ptr<QDialog> makeDialog(const QString &kind, CDownloadThread *worker);
    static void checkForm(QWidget &dialog, const QList<ExpectedWidget> &widgets);
    CDownloadThread *emptyWorker();
    QTemporaryDir temp;
    UrlRecorder browser;
};

void tst_Dialogs::initTestCase()
{
    QVERIFY2(temp.isValid(), qPrintable(temp.errorString()));
    QDesktopServices::setUrlHandler(QStringLiteral("https"), &browser, "open");
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
                      {"userLabel", "QLabel", {30, 346, 84, 24}, QStringLiteral("用户名")},
                      {"user", "QLineEdit", {120, 346, 230, 24}, QString()},
                      {"passwordLabel", "QLabel", {30, 376, 84, 24}, QStringLiteral("密码")},
                      {"password", "QLineEdit", {120, 376, 230, 24}, QString()},
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

std::unique_ptr<QDialog> tst_Dialogs::makeDialog(const QString &kind, CDownloadThread *worker)
{
    if (kind == QLatin1String("error")) {
        auto error = std::make_unique<CUpdateError>();
        error->setDownloadUrl(QStringLiteral("https://example.com/download"));
        error->setMessage(QCoreApplication::translate("QObject", "更新失败"),
                          QCoreApplication::translate("QObject", "下载升级描述文件失败:%1")
                              .arg(QString(200, QLatin1Char('x'))),
                          true);
        return error;
    }
    if (kind == QLatin1String("notice")) {
        auto notice = std::make_unique<CUpdateNotice>();
        notice->setVersion(QStringLiteral("2.1.0"));
        return notice;
    }
    if (kind == QLatin1String("proxy")) {
        auto login = std::make_unique<CProxyLogin>();
        login->setProxy(QStringLiteral("proxy.example.com:3128"), true, QString());
        return login;
    }
    auto progress = std::make_unique<CUpdateProgress>(worker);
    progress->onDownloadStarted(QFileInfo(QStringLiteral("/cache/bin/Qt5Widgets.dll")), 1, 4);
    return progress;
}

void tst_Dialogs::keyboard_data()
{
    QTest::addColumn<QString>("kind");
    // keys in turn: "tab", "backtab", "return", "space", "escape", or text typed
    QTest::addColumn<QStringList>("keys");
    // the focus at first and after each key; "closed" once the dialog has closed
    QTest::addColumn<QStringList>("focus");
    QTest::addColumn<QString>("clicked"); // the button the keys pressed
    QTest::addColumn<int>("result");      // the dialog's result, -1 while it is open

    const QString closed = QStringLiteral("closed");
    QTest::newRow("error-return") << "error" << QStringList{"return"} << QStringList{"retry", closed} << "retry" << 1;
    QTest::newRow("error-tab-order") << "error" << QStringList{"tab", "tab", "backtab", "space"}
                                     << QStringList{"retry", "download", "retry", "download", "download"}
                                     << "download" << -1;
    QTest::newRow("error-escape") << "error" << QStringList{"escape"} << QStringList{"retry", closed} << "" << 0;
    QTest::newRow("notice-return") << "notice" << QStringList{"return"} << QStringList{"update", closed} << "update" << 1;
    QTest::newRow("notice-tab-return") << "notice" << QStringList{"tab", "return"}
                                       << QStringList{"update", "skip", closed} << "skip" << 0;
    QTest::newRow("notice-escape") << "notice" << QStringList{"escape"} << QStringList{"update", closed} << "" << 0;
    QTest::newRow("proxy-credentials") << "proxy" << QStringList{"alice", "tab", "s3cret", "return"}
                                       << QStringList{"user", "user", "password", "password", closed} << "ok" << 1;
    QTest::newRow("proxy-tab-order") << "proxy" << QStringList{"a", "tab", "tab", "tab", "tab"}
                                     << QStringList{"user", "user", "password", "ok", "cancel", "user"} << "" << -1;
    QTest::newRow("proxy-escape") << "proxy" << QStringList{"escape"} << QStringList{"user", closed} << "" << 0;
    // the worker is never started here: the dialog asks it to stop and stays until it has
    QTest::newRow("progress-return") << "progress" << QStringList{"return"} << QStringList{"cancel", "cancel"}
                                     << "cancel" << -1;
    QTest::newRow("progress-escape") << "progress" << QStringList{"escape"} << QStringList{"cancel", "cancel"}
                                     << "cancel" << -1;
}

// Every action without a mouse: Tab in reading order with the focus drawn, Return on the default
// or focused button, Escape as before
void tst_Dialogs::keyboard()
{
    QFETCH(QString, kind);
    QFETCH(QStringList, keys);
    QFETCH(QStringList, focus);
    QFETCH(QString, clicked);
    QFETCH(int, result);
    QScopedPointer<CDownloadThread> worker(emptyWorker());
    std::unique_ptr<QDialog> dialog = makeDialog(kind, worker.data());
    QList<QSignalSpy *> clicks;
    const QList<QPushButton *> buttons = dialog->findChildren<QPushButton *>();
    for (QPushButton *button : buttons)
        clicks.append(new QSignalSpy(button, &QPushButton::clicked));
    QSignalSpy finished(dialog.get(), &QDialog::finished);
    dialog->show();
    QVERIFY(QTest::qWaitForWindowActive(dialog.get()));

    QMap<QString, QImage> focusedLook;
    QMap<QString, QImage> unfocusedLook;
    const auto record = [&](QStringList &seen) {
        if (!dialog->isVisible()) {
            seen.append(QStringLiteral("closed"));
            return;
        }
        seen.append(QApplication::focusWidget() ? QApplication::focusWidget()->objectName() : QString());
        for (QPushButton *button : buttons) {
            if (button->isVisible())
                (button->hasFocus() ? focusedLook : unfocusedLook)[button->objectName()] = button->grab().toImage();
        }
    };
    QStringList seen;
    record(seen);
    for (const QString &key : keys) {
        QWidget *target = QApplication::focusWidget() ? QApplication::focusWidget() : dialog.get();
        if (key == QLatin1String("tab"))
            QTest::keyClick(target, Qt::Key_Tab);
        else if (key == QLatin1String("backtab"))
            QTest::keyClick(target, Qt::Key_Backtab, Qt::ShiftModifier);
        else if (key == QLatin1String("return"))
            QTest::keyClick(target, Qt::Key_Return);
        else if (key == QLatin1String("space"))
            QTest::keyClick(target, Qt::Key_Space);
        else if (key == QLatin1String("escape"))
            QTest::keyClick(target, Qt::Key_Escape);
        else
            QTest::keyClicks(target, key);
        record(seen);
    }
    QCOMPARE(seen, focus);
    for (int i = 0; i < buttons.size(); ++i)
        QCOMPARE(clicks.at(i)->count(), buttons.at(i)->objectName() == clicked ? 1 : 0);
    qDeleteAll(clicks);
    QCOMPARE(finished.isEmpty() ? -1 : finished.first().first().toInt(), result);
    // a button that had the focus looked different from when it had not
    for (auto it = focusedLook.cbegin(); it != focusedLook.cend(); ++it) {
        if (unfocusedLook.contains(it.key()))
            QVERIFY2(unfocusedLook.value(it.key()) != it.value(), qPrintable(it.key()));
    }
    if (kind == QLatin1String("proxy") && result == 1) {
        QCOMPARE(static_cast<CProxyLogin *>(dialog.get())->user(), QStringLiteral("alice"));
        QCOMPARE(static_cast<CProxyLogin *>(dialog.get())->password(), QStringLiteral("s3cret"));
    }
    if (clicked == QLatin1String("download"))
        QCOMPARE(browser.urls.takeLast(), QUrl(QStringLiteral("https://example.com/download")));
}

void tst_Dialogs::accessibleTexts_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<QString>("object"); // empty: the dialog itself
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("description");

    const QString message = QStringLiteral("下载升级描述文件失败:") + QString(200, QLatin1Char('x'));
    const QString fetching = QStringLiteral("正在下载更新文件Qt5Widgets.dll");
    QTest::newRow("error") << "error" << "" << "更新失败" << message;
    // the label shows the message elided; its name is all of it
    QTest::newRow("error-message") << "error" << "error" << message << message;
    QTest::newRow("error-retry") << "error" << "retry" << "再试一次" << "重新检查更新并再次下载";
    QTest::newRow("error-download") << "error" << "download" << "官网下载" << "在浏览器中打开官网的下载页面";
    QTest::newRow("notice") << "notice" << "" << "发现新版本：2.1.0" << "可以立即更新，也可以以后再说";
    QTest::newRow("notice-update") << "notice" << "update" << "立即更新" << "立即下载并安装新版本";
    QTest::newRow("notice-skip") << "notice" << "skip" << "以后再说" << "这次不更新";
    QTest::newRow("progress") << "progress" << "" << "正在更新" << fetching;
    QTest::newRow("progress-total") << "progress" << "total" << "总进度" << "已处理的更新文件所占的比例";
    QTest::newRow("progress-file") << "progress" << "progress" << "当前文件进度" << fetching;
    QTest::newRow("progress-cancel") << "progress" << "cancel" << "取消" << "停止下载更新";
    QTest::newRow("proxy") << "proxy" << "" << "代理服务器需要身份验证"
                           << "代理服务器：proxy.example.com:3128\n用户名或密码被拒绝，请重新输入";
    QTest::newRow("proxy-user") << "proxy" << "user" << "用户名" << "代理服务器的用户名";
    QTest::newRow("proxy-password") << "proxy" << "password" << "密码" << "代理服务器的密码";
    QTest::newRow("proxy-ok") << "proxy" << "ok" << "确定" << "用此用户名和密码登录代理服务器";
    QTest::newRow("proxy-cancel") << "proxy" << "cancel" << "取消" << "不登录代理服务器";
}

// what a screen reader reads of each dialog and control
void tst_Dialogs::accessibleTexts()
{
    QFETCH(QString, kind);
    QFETCH(QString, object);
    QFETCH(QString, name);
    QFETCH(QString, description);
    QScopedPointer<CDownloadThread> worker(emptyWorker());
    std::unique_ptr<QDialog> dialog = makeDialog(kind, worker.data());
    QWidget *widget = object.isEmpty() ? dialog.get() : dialog->findChild<QWidget *>(object);
    QVERIFY(widget);
    QAccessibleInterface *accessible = QAccessible::queryAccessibleInterface(widget);
    QVERIFY(accessible);
    QCOMPARE(accessible->text(QAccessible::Name), name);
    QCOMPARE(accessible->text(QAccessible::Description), description);
}

namespace {
QList<QPair<QObject *, QVariant>> announcedValues;

void recordValueChange(QAccessibleEvent *event)
{
    if (event->type() == QAccessible::ValueChanged)
        announcedValues.append({event->object(), static_cast<QAccessibleValueChangeEvent *>(event)->value()});
}
} // namespace

// the bars tell a screen reader each value as it changes
void tst_Dialogs::progressAnnounced()
{
    QScopedPointer<CDownloadThread> worker(emptyWorker());
    CUpdateProgress progress(worker.data());
    auto *total = progress.findChild<QProgressBar *>(QStringLiteral("total"));
    auto *bar = progress.findChild<QProgressBar *>(QStringLiteral("progress"));
    progress.show();
    QVERIFY(QTest::qWaitForWindowExposed(&progress));
    announcedValues.clear();
    // as a screen reader's connection switches it on (Qt's own tests do the same)
    QPlatformAccessibility *platform = QGuiApplicationPrivate::platformIntegration()->accessibility();
    if (!platform)
        QSKIP("the platform has no accessibility");
    platform->setActive(true);
    const QAccessible::UpdateHandler previous = QAccessible::installUpdateHandler(recordValueChange);
    progress.onDownloadStarted(QFileInfo(QStringLiteral("/cache/a.dll")), 1, 4);
    progress.onDownloadProgress(50, 100);
    QAccessible::installUpdateHandler(previous);
    platform->setActive(false);
    const QList<QPair<QObject *, QVariant>> expected{{total, 25}, {bar, 0}, {bar, 50}};
    QCOMPARE(announcedValues, expected);
    QAccessibleInterface *accessible = QAccessible::queryAccessibleInterface(bar);
    QVERIFY(accessible && accessible->valueInterface());
    QCOMPARE(accessible->valueInterface()->currentValue().toInt(), 50);
    QCOMPARE(accessible->text(QAccessible::Description), QStringLiteral("正在下载更新文件a.dll"));
}

void tst_Dialogs::english_data()
{
    QTest::addColumn<QString>("kind");
    for (const char *kind : {"error", "notice", "progress", "proxy"})
        QTest::newRow(kind) << kind;
}

// With the English catalog no Chinese is left anywhere a user or a screen reader meets it: a
// text that never went through tr() would show here (the catalogs' test cannot see it)
void tst_Dialogs::english()
{
    QFETCH(QString, kind);
    QTranslator translator;
    QVERIFY(installLanguage(translator, QStringLiteral("en")));
    QScopedPointer<CDownloadThread> worker(emptyWorker());
    std::unique_ptr<QDialog> dialog = makeDialog(kind, worker.data());
    if (kind == QLatin1String("progress")) // the diagnostics of the status line too
        static_cast<CUpdateProgress *>(dialog.get())->onDownloadProgress(1, -1);
    QCoreApplication::removeTranslator(&translator);

    QList<QWidget *> widgets = dialog->findChildren<QWidget *>();
    widgets.prepend(dialog.get());
    QStringList texts;
    for (const QWidget *widget : qAsConst(widgets)) {
        texts << widget->property("text").toString() << widget->accessibleName()
              << widget->accessibleDescription() << widget->toolTip();
        for (const QAction *action : widget->actions())
            texts << action->text();
    }
    for (const QString &text : qAsConst(texts)) {
        const bool chinese = std::any_of(text.cbegin(), text.cend(),
                                         [](QChar c) { return c.unicode() >= 0x4e00 && c.unicode() <= 0x9fff; });
        QVERIFY2(!chinese, qPrintable(text));
    }
}

void tst_Dialogs::sharpBackground_data()
{
    QTest::addColumn<int>("ratio");
    QTest::addColumn<QString>("picture");
    QTest::newRow("1x") << 1 << ":/update_bg";
    QTest::newRow("2x") << 2 << ":/update_bg@2x";
}

// painted at a device pixel ratio of 2, a dialog shows the 2x picture pixel for pixel, in the
// same 640 x 455
void tst_Dialogs::sharpBackground()
{
    QFETCH(int, ratio);
    QFETCH(QString, picture);
    CUpdateNotice notice;
    QCOMPARE(notice.size(), QSize(640, 455));
    QImage painted(notice.size() * ratio, QImage::Format_RGB32);
    painted.setDevicePixelRatio(ratio);
    notice.render(&painted);
    const QImage expected = QImage(picture).convertToFormat(QImage::Format_RGB32);
    QCOMPARE(expected.size(), painted.size());
    // above the widgets, all of it is picture
    const QRect header(0, 0, painted.width(), 270 * ratio);
    QVERIFY(painted.copy(header) == expected.copy(header));
}

QTEST_MAIN(tst_Dialogs)
#include "tst_dialogs.moc"
