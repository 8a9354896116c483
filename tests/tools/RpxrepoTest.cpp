// The rpxrepo tool run as a process on temporary trees, against the repository of each engine.

#include "support/RepositoryFixture.h"

#include <QCryptographicHash>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>

namespace {

struct ToolRun
{
    int status = -1;
    QString out;
    QString err;
    QJsonObject json() const { return QJsonDocument::fromJson(out.toUtf8()).object(); }
};

// Content of every file below a folder, by path relative to it.
QMap<QString, QByteArray> tree(const QString& root)
{
    QMap<QString, QByteArray> files;
    QDirIterator it(root, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        QFile file(path);
        file.open(QIODevice::ReadOnly);
        files.insert(QDir(root).relativeFilePath(path), file.readAll());
    }
    return files;
}

void write(const QString& path, const QByteArray& bytes)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write(bytes);
}

class RpxrepoTest : public rpxtest::EngineTest
{
protected:
    void SetUp() override
    {
        EngineTest::SetUp();
        if (IsSkipped() || HasFatalFailure())
            return;
        ASSERT_TRUE(m_work.isValid());
        source = m_work.filePath(QStringLiteral("source"));
        storage = m_work.filePath(QStringLiteral("storage"));
        write(source + QStringLiteral("/docs/a.txt"), "alpha");
        write(source + QStringLiteral("/docs/it's 50%_off [x].txt"), QByteArray("odd\0name", 8));
        write(source + QStringLiteral("/photos/p.raw"), QByteArray(200000, 'p'));
        write(source + QStringLiteral("/Ünïcødé/ß.txt"), "unicode");
    }

    ToolRun rpxrepo(const QStringList& arguments) const
    {
        QProcess process;
        process.start(QStringLiteral(RPX_TOOL), QStringList{QStringLiteral("--config-root"), configRoot()} + arguments);
        process.waitForFinished(120000);
        return {process.exitCode(), QString::fromUtf8(process.readAllStandardOutput()),
                QString::fromUtf8(process.readAllStandardError())};
    }

    ToolRun backup() const
    {
        return rpxrepo({QStringLiteral("--json"), QStringLiteral("backup"), source, QStringLiteral("--to"), storage,
                        QStringLiteral("--prefix"), QStringLiteral("pc1")});
    }

    // Gives every file below the source the modification time `hoursAgo` hours back, so that the
    // moments between two backups are known without waiting for the clock.
    void age(int hoursAgo) const
    {
        const QDateTime when = QDateTime::currentDateTimeUtc().addSecs(-3600 * hoursAgo);
        QDirIterator it(source, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
        while (it.hasNext()) {
            QFile file(it.next());
            if (file.fileTime(QFileDevice::FileModificationTime) > when.addSecs(1800) && file.open(QIODevice::ReadWrite))
                file.setFileTime(when, QFileDevice::FileModificationTime);
        }
    }

    static QString hoursAgo(int hours)
    {
        return QDateTime::currentDateTimeUtc().addSecs(-3600 * hours).toString(Qt::ISODate);
    }

    QTemporaryDir m_work;
    QString source;
    QString storage;
};

}  // namespace

TEST_P(RpxrepoTest, BackUpTwiceRestoreEachMomentAndPurge)
{
    age(4);
    ToolRun first = backup();
    ASSERT_EQ(first.status, 0) << first.err.toStdString();
    EXPECT_EQ(first.json().value(QStringLiteral("written")).toInt(), 4);
    const QMap<QString, QByteArray> atFirst = tree(source);
    const QString firstTime = hoursAgo(3);

    write(source + QStringLiteral("/docs/a.txt"), "alpha, second edition");
    QFile::remove(source + QStringLiteral("/photos/p.raw"));
    write(source + QStringLiteral("/docs/new.txt"), "new");
    age(2);  // only the files just written: older ones keep their time
    const ToolRun second = backup();
    ASSERT_EQ(second.status, 0) << second.err.toStdString();
    EXPECT_EQ(second.json().value(QStringLiteral("written")).toInt(), 2);
    EXPECT_EQ(second.json().value(QStringLiteral("deletedLocally")).toInt(), 1);
    const QMap<QString, QByteArray> atSecond = tree(source);
    const QString secondTime = hoursAgo(1);

    // An unchanged tree writes nothing.
    EXPECT_EQ(backup().json().value(QStringLiteral("written")).toInt(), 0);

    const QString firstRestore = m_work.filePath(QStringLiteral("r1"));
    ToolRun restore = rpxrepo({QStringLiteral("restore"), storage, source, QStringLiteral("--at"), firstTime,
                           QStringLiteral("--into"), firstRestore});
    ASSERT_EQ(restore.status, 0) << restore.err.toStdString();
    EXPECT_EQ(tree(firstRestore), atFirst);

    const QString secondRestore = m_work.filePath(QStringLiteral("r2"));
    restore = rpxrepo({QStringLiteral("restore"), storage, source, QStringLiteral("--at"), secondTime,
                       QStringLiteral("--into"), secondRestore});
    ASSERT_EQ(restore.status, 0) << restore.err.toStdString();
    QMap<QString, QByteArray> expected = atSecond;
    expected.insert(QStringLiteral("photos/p.raw"), atFirst.value(QStringLiteral("photos/p.raw")));  // deleted later, still stored
    EXPECT_EQ(tree(secondRestore), expected);

    // Restoring over existing files needs --force.
    restore = rpxrepo({QStringLiteral("restore"), storage, source, QStringLiteral("--at"), secondTime,
                       QStringLiteral("--into"), secondRestore});
    EXPECT_NE(restore.status, 0);

    // Keep one version: the first a.txt goes, with its stored object and row.
    const int objectsBefore = tree(storage).size();
    ToolRun plan = rpxrepo({QStringLiteral("--json"), QStringLiteral("purge"), storage, QStringLiteral("--keep"),
                        QStringLiteral("1")});
    ASSERT_EQ(plan.status, 0) << plan.err.toStdString();
    const QJsonArray selected = plan.json().value(QStringLiteral("selected")).toArray();
    ASSERT_EQ(selected.size(), 1);
    EXPECT_TRUE(selected[0].toObject().value(QStringLiteral("path")).toString().endsWith(QStringLiteral("docs/a.txt")));
    EXPECT_EQ(tree(storage).size(), objectsBefore);  // nothing deleted without --apply

    ToolRun apply = rpxrepo({QStringLiteral("purge"), storage, QStringLiteral("--keep"), QStringLiteral("1"),
                         QStringLiteral("--apply")});
    ASSERT_EQ(apply.status, 0) << apply.err.toStdString();
    EXPECT_EQ(tree(storage).size(), objectsBefore - 1);
    const ToolRun versions = rpxrepo({QStringLiteral("--json"), QStringLiteral("versions"), storage,
                                  source + QStringLiteral("/docs/a.txt")});
    EXPECT_EQ(versions.json().value(QStringLiteral("versions")).toArray().size(), 1);

    // The runs and their file operations are on record.
    const ToolRun sessions = rpxrepo({QStringLiteral("--json"), QStringLiteral("sessions")});
    EXPECT_EQ(sessions.json().value(QStringLiteral("sessions")).toArray().size(), 3);
    const ToolRun history = rpxrepo({QStringLiteral("--json"), QStringLiteral("history"), QStringLiteral("--filter"),
                                 QStringLiteral("50%_OFF")});
    EXPECT_EQ(history.json().value(QStringLiteral("operations")).toArray().size(), 1);
}

TEST_P(RpxrepoTest, BadArgumentsGiveOneLineAndChangeNothing)
{
    ASSERT_EQ(backup().status, 0);
    const QString before = rpxrepo({QStringLiteral("--json"), QStringLiteral("info")}).out;

    const QList<QStringList> bad = {
        {QStringLiteral("frobnicate")},
        {QStringLiteral("backup"), m_work.filePath(QStringLiteral("missing")), QStringLiteral("--to"), storage},
        {QStringLiteral("backup"), source},
        {QStringLiteral("restore"), storage, source, QStringLiteral("--at"), QStringLiteral("yesterday-ish"),
         QStringLiteral("--into"), m_work.filePath(QStringLiteral("r"))},
        {QStringLiteral("purge"), storage},
        {QStringLiteral("purge"), storage, QStringLiteral("--keep"), QStringLiteral("-3")},
        {QStringLiteral("versions"), storage, m_work.filePath(QStringLiteral("never"))},
        {QStringLiteral("ls"), m_work.filePath(QStringLiteral("not-a-destination"))},
        {QStringLiteral("sessions"), QStringLiteral("--plan"), QStringLiteral("not-a-uuid")},
    };
    for (const QStringList& arguments : bad) {
        const ToolRun run = rpxrepo(arguments);
        EXPECT_NE(run.status, 0) << arguments.join(QLatin1Char(' ')).toStdString();
        EXPECT_EQ(run.err.trimmed().count(QLatin1Char('\n')), 0) << run.err.toStdString();
        EXPECT_TRUE(run.err.startsWith(QStringLiteral("rpxrepo: "))) << run.err.toStdString();
    }
    EXPECT_FALSE(QDir(m_work.filePath(QStringLiteral("r"))).exists());
    EXPECT_EQ(rpxrepo({QStringLiteral("--json"), QStringLiteral("info")}).out, before);
}

TEST_P(RpxrepoTest, UnreachableRepositoryIsOneClearLine)
{
    writeSettings(postgres() ? QStringLiteral("PGSQL;host:127.0.0.1;port:1;user:x;password:secret;database:y")
                             : QStringLiteral("/nonexistent/folder/store.db"));
    const ToolRun run = backup();
    EXPECT_NE(run.status, 0);
    EXPECT_EQ(run.err.trimmed().count(QLatin1Char('\n')), 0) << run.err.toStdString();
    EXPECT_TRUE(run.err.contains(QStringLiteral("cannot open the repository"))) << run.err.toStdString();
    EXPECT_FALSE(run.err.contains(QStringLiteral("secret")));
    EXPECT_FALSE(QDir(storage).exists());
}

RPX_ON_BOTH_ENGINES(RpxrepoTest);
