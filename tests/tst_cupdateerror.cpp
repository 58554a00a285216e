#include "cupdateerror.h"

#include <QAction>
#include <QClipboard>
#include <QDesktopServices>
#include <QGuiApplication>
#include <QLabel>
#include <QPushButton>
#include <QTest>
#include <QTextDocument>
#include <QTimer>

// records the pages the dialog asks the desktop to open
class UrlRecorder : public QObject
{
    Q_OBJECT
public:
    QList<QUrl> opened;
public slots:
    void open(const QUrl &url) { opened.append(url); }
};

class tst_CUpdateError : public QObject
{
    Q_OBJECT

private slots:
    void form();
    void buttons_data();
    void buttons();
    void exec_data();
    void exec();
    void message_data();
    void message();
    void downloadPage();

private:
    static QPushButton *button(CUpdateError &dialog, const char *name)
    {
        return dialog.findChild<QPushButton *>(QLatin1String(name));
    }
};

void tst_CUpdateError::form()
{
    CUpdateError dialog;
    QCOMPARE(dialog.objectName(), QStringLiteral("CUpdateError"));
    QCOMPARE(dialog.windowTitle(), QStringLiteral("CUpdateError"));
    QCOMPARE(dialog.size(), QSize(640, 455));
    QVERIFY(dialog.windowFlags() & Qt::FramelessWindowHint);
    QVERIFY(dialog.windowFlags() & Qt::Dialog);

    struct Expected { const char *name; QRect geometry; QString text; };
    const QList<Expected> widgets = {
        {"retry", {380, 400, 100, 30}, QStringLiteral("再试一次")},
        {"download", {510, 400, 100, 30}, QStringLiteral("官网下载")},
        {"label", {30, 300, 580, 40}, QStringLiteral("更新失败")},
        {"error", {30, 370, 580, 24}, QStringLiteral("网络错误：10012")},
    };
    const QList<QWidget *> children = dialog.findChildren<QWidget *>(QString(), Qt::FindDirectChildrenOnly);
    QCOMPARE(children.size(), widgets.size());
    for (int i = 0; i < widgets.size(); ++i) {
        QWidget *widget = children.at(i); // creation order is also the focus order
        QCOMPARE(widget->objectName(), QLatin1String(widgets.at(i).name));
        QCOMPARE(widget->geometry(), widgets.at(i).geometry);
        const QString text = widget->property("text").toString();
        QCOMPARE(text, widgets.at(i).text);
    }
    QVERIFY(button(dialog, "retry")->isDefault());
    QCOMPARE(dialog.findChild<QLabel *>(QStringLiteral("label"))->font().pointSize(), 15);
    QCOMPARE(dialog.findChild<QLabel *>(QStringLiteral("label"))->sizePolicy().horizontalPolicy(),
             QSizePolicy::Expanding);
    for (const char *name : {"label", "error"}) // server text is never read as markup
        QCOMPARE(dialog.findChild<QLabel *>(QLatin1String(name))->textFormat(), Qt::PlainText);
}

using Step = QPair<QString, QVariantList>;
using Steps = QList<Step>;

void tst_CUpdateError::buttons_data()
{
    QTest::addColumn<Steps>("steps");
    QTest::addColumn<bool>("retryVisible");
    QTest::addColumn<bool>("downloadVisible");

    const auto message = [](bool retry) { return Step{"message", {retry}}; };
    const auto url = [](const QString &link) { return Step{"url", {link}}; };
    QTest::newRow("constructed") << Steps{} << true << false;
    QTest::newRow("url") << Steps{url("http://x/")} << true << true;
    QTest::newRow("empty-url") << Steps{url("http://x/"), url("")} << true << false;
    QTest::newRow("retry-without-url") << Steps{message(true)} << true << false;
    QTest::newRow("retry-with-url") << Steps{url("http://x/"), message(true)} << true << true;
    QTest::newRow("no-retry") << Steps{url("http://x/"), message(false)} << false << false;
    QTest::newRow("url-after-no-retry") << Steps{message(false), url("http://x/")} << false << true;
    QTest::newRow("reuse-redecides") << Steps{url("http://x/"), message(false), message(true)} << true << true;
    QTest::newRow("reuse-hides") << Steps{url("http://x/"), message(true), message(false)} << false << false;
}

void tst_CUpdateError::buttons()
{
    QFETCH(Steps, steps);
    QFETCH(bool, retryVisible);
    QFETCH(bool, downloadVisible);
    CUpdateError dialog;
    for (const Step &step : steps) {
        if (step.first == QLatin1String("url"))
            dialog.setDownloadUrl(step.second.first().toString());
        else
            dialog.setMessage(QStringLiteral("title"), QStringLiteral("text"), step.second.first().toBool());
    }
    QCOMPARE(button(dialog, "retry")->isVisibleTo(&dialog), retryVisible);
    QCOMPARE(button(dialog, "download")->isVisibleTo(&dialog), downloadVisible);
}

void tst_CUpdateError::exec_data()
{
    QTest::addColumn<bool>("canRetry");
    QTest::addColumn<QString>("action");
    QTest::addColumn<int>("result");

    QTest::newRow("click-retry") << true << "click" << 1;
    QTest::newRow("return-retry") << true << "return" << 1;
    QTest::newRow("escape") << true << "escape" << 0;
    QTest::newRow("close") << true << "close" << 0;
    // without buttons Return does nothing; only Escape ends the dialog
    QTest::newRow("return-then-escape-no-buttons") << false << "return,escape" << 0;
    QTest::newRow("escape-no-buttons") << false << "escape" << 0;
}

void tst_CUpdateError::exec()
{
    QFETCH(bool, canRetry);
    QFETCH(QString, action);
    QFETCH(int, result);

    CUpdateError dialog;
    dialog.setMessage(QStringLiteral("更新失败"), QStringLiteral("下载升级描述文件失败:x"), canRetry);
    QStringList actions = action.split(QLatin1Char(','));
    bool stillOpenAfterReturn = true;
    QTimer::singleShot(0, &dialog, [&] {
        QVERIFY(QTest::qWaitForWindowExposed(&dialog));
        for (const QString &step : qAsConst(actions)) {
            if (step == QLatin1String("click"))
                QTest::mouseClick(button(dialog, "retry"), Qt::LeftButton);
            else if (step == QLatin1String("return")) {
                QTest::keyClick(&dialog, Qt::Key_Return);
                stillOpenAfterReturn = dialog.isVisible();
            } else if (step == QLatin1String("escape"))
                QTest::keyClick(&dialog, Qt::Key_Escape);
            else if (step == QLatin1String("close"))
                dialog.close();
        }
    });
    QCOMPARE(dialog.exec(), result);
    if (actions.contains(QLatin1String("escape")) && actions.contains(QLatin1String("return")))
        QVERIFY(stillOpenAfterReturn);
    QCOMPARE(dialog.findChild<QLabel *>(QStringLiteral("error"))->text(),
             QStringLiteral("下载升级描述文件失败:x"));
}

void tst_CUpdateError::message_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("elided");

    // short enough for the label in any font, the fallback glyphs of a machine without fonts too
    QTest::newRow("bold-markup") << "失败:<b>x</b>" << false;
    QTest::newRow("image-markup") << "<img src=x.png>" << false;
    QTest::newRow("long") << QStringLiteral("重命名%1为%1.old失败").arg(QString(200, QLatin1Char('d'))) << true;
    QTest::newRow("long-markup")
            << QStringLiteral("下载更新文件%1网络错误：404-<b>Not Found</b> & <img src=x.png>")
                       .arg(QString(150, QLatin1Char('n')))
            << true;
}

// text from the server shows literally; a text too long for the label is elided there and
// whole in the tool tip and on the clipboard
void tst_CUpdateError::message()
{
    QFETCH(QString, text);
    QFETCH(bool, elided);
    CUpdateError dialog;
    dialog.setMessage(QStringLiteral("更新失败"), text, true);
    auto *error = dialog.findChild<QLabel *>(QStringLiteral("error"));
    QCOMPARE(error->textFormat(), Qt::PlainText);
    QCOMPARE(error->geometry(), QRect(30, 370, 580, 24));
    if (elided) {
        QVERIFY(error->text() != text);
        QVERIFY(error->text().contains(QChar(0x2026)));
        QVERIFY(error->fontMetrics().horizontalAdvance(error->text()) <= error->width());
        QTextDocument tip;
        tip.setHtml(error->toolTip());
        QVERIFY(Qt::mightBeRichText(error->toolTip()));
        QCOMPARE(tip.toPlainText(), text);
    } else {
        QCOMPARE(error->text(), text);
        QCOMPARE(error->toolTip(), QString());
    }
    QCOMPARE(error->actions().size(), 1);
    QAction *copy = error->actions().first();
    QCOMPARE(copy->text(), QStringLiteral("复制"));
    QCOMPARE(copy->shortcut(), QKeySequence(QKeySequence::Copy));
    QGuiApplication::clipboard()->clear();
    copy->trigger();
    QCOMPARE(QGuiApplication::clipboard()->text(), text);
}

void tst_CUpdateError::downloadPage()
{
    UrlRecorder recorder;
    QDesktopServices::setUrlHandler(QStringLiteral("https"), &recorder, "open");
    CUpdateError dialog;
    dialog.setDownloadUrl(QStringLiteral("https://example.invalid/setup page"));
    dialog.setMessage(QStringLiteral("更新失败"), QStringLiteral("x"), true);
    dialog.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dialog));
    QTest::mouseClick(button(dialog, "download"), Qt::LeftButton);
    QTest::mouseClick(button(dialog, "download"), Qt::LeftButton);
    QDesktopServices::unsetUrlHandler(QStringLiteral("https"));
    QCOMPARE(recorder.opened.size(), 2);
    QCOMPARE(recorder.opened.first(), QUrl(QStringLiteral("https://example.invalid/setup%20page")));
    QVERIFY(dialog.isVisible()); // the page opens, the dialog stays
    QCOMPARE(dialog.result(), 0);
}

QTEST_MAIN(tst_CUpdateError)
#include "tst_cupdateerror.moc"
