// The rpxrepo tool run as a process on temporary trees, against the repository of each engine.

#include "support/RepositoryFixture.h"

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
    QJsonValue json(const char* key) const { return QJsonDocument::fromJson(out.toUtf8()).object().value(key); }
};

// Content of every file below a folder, by path relative to it.
QMap<QString, QByteArray> tree(const QString& root)
{
    QMap<QString, QByteArray> files;
    QDirIterator it(root, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        QFile file(it.next());
        file.open(QIODevice::ReadOnly);
        files.insert(QDir(root).relativeFilePath(file.fileName()), file.readAll());
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
        source = m_work.filePath("source");
        storage = m_work.filePath("storage");
        write(source + "/docs/a.txt", "alpha");
        write(source + "/docs/it's 50%_off [x].txt", QByteArray("odd\0name", 8));
        write(source + "/photos/p.raw", QByteArray(200000, 'p'));
        write(source + "/Ünïcødé/ß.txt", "unicode");
    }

    ToolRun rpxrepo(const QStringList& arguments) const
    {
        QProcess process;
        process.start(RPX_TOOL, QStringList{"--config-root", configRoot()} + arguments);
        process.waitForFinished(120000);
        return {process.exitCode(), QString::fromUtf8(process.readAllStandardOutput()),
                QString::fromUtf8(process.readAllStandardError())};
    }

    ToolRun backup() const { return rpxrepo({"--json", "backup", source, "--to", storage, "--prefix", "pc1"}); }

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

    static QString hoursAgo(int h) { return QDateTime::currentDateTimeUtc().addSecs(-3600 * h).toString(Qt::ISODate); }

    QTemporaryDir m_work;
    QString source;
    QString storage;
};

}  // namespace

TEST_P(RpxrepoTest, BackUpTwiceRestoreEachMomentAndPurge)
{
    age(4);
    const ToolRun first = backup();
    ASSERT_EQ(first.status, 0) << first.err.toStdString();
    EXPECT_EQ(first.json("written").toInt(), 4);
    const QMap<QString, QByteArray> atFirst = tree(source);

    write(source + "/docs/a.txt", "alpha, second edition");
    QFile::remove(source + "/photos/p.raw");
    write(source + "/docs/new.txt", "new");
    age(2);  // only the files just written: older ones keep their time
    const ToolRun second = backup();
    ASSERT_EQ(second.status, 0) << second.err.toStdString();
    EXPECT_EQ(second.json("written").toInt(), 2);
    EXPECT_EQ(second.json("deletedLocally").toInt(), 1);
    QMap<QString, QByteArray> atSecond = tree(source);
    atSecond.insert("photos/p.raw", atFirst.value("photos/p.raw"));  // deleted later, still stored
    // An unchanged tree writes nothing.
    EXPECT_EQ(backup().json("written").toInt(), 0);

    for (const auto& [hours, expected] : {std::make_pair(3, atFirst), std::make_pair(1, atSecond)}) {
        const QString into = m_work.filePath(QString("r%1").arg(hours));
        const ToolRun restore = rpxrepo({"restore", storage, source, "--at", hoursAgo(hours), "--into", into});
        ASSERT_EQ(restore.status, 0) << restore.err.toStdString();
        EXPECT_EQ(tree(into), expected) << hours;
    }
    // Restoring over existing files needs --force.
    EXPECT_NE(rpxrepo({"restore", storage, source, "--at", hoursAgo(1), "--into", m_work.filePath("r1")}).status, 0);

    // Keep one version: the first a.txt goes, with its stored object, but only with --apply.
    const int objectsBefore = tree(storage).size();
    const ToolRun plan = rpxrepo({"--json", "purge", storage, "--keep", "1"});
    ASSERT_EQ(plan.status, 0) << plan.err.toStdString();
    const QJsonArray selected = plan.json("selected").toArray();
    ASSERT_EQ(selected.size(), 1);
    EXPECT_TRUE(selected[0].toObject().value("path").toString().endsWith("docs/a.txt"));
    EXPECT_EQ(tree(storage).size(), objectsBefore);
    const ToolRun apply = rpxrepo({"purge", storage, "--keep", "1", "--apply"});
    ASSERT_EQ(apply.status, 0) << apply.err.toStdString();
    EXPECT_EQ(tree(storage).size(), objectsBefore - 1);
    EXPECT_EQ(rpxrepo({"--json", "versions", storage, source + "/docs/a.txt"}).json("versions").toArray().size(), 1);

    // The runs and their file operations are on record; the filter's wildcards are literal.
    EXPECT_EQ(rpxrepo({"--json", "sessions"}).json("sessions").toArray().size(), 3);
    EXPECT_EQ(rpxrepo({"--json", "history", "--filter", "50%_OFF"}).json("operations").toArray().size(), 1);
}

TEST_P(RpxrepoTest, ErrorsGiveOneLineAndChangeNothing)
{
    ASSERT_EQ(backup().status, 0);
    // Rows, not bytes: PostgreSQL's files change size by themselves (autovacuum, ended sessions).
    const QJsonValue before = rpxrepo({"--json", "info"}).json("rows");
    ASSERT_TRUE(before.isObject());
    const QList<QStringList> bad = {
        {"frobnicate"},
        {"backup", m_work.filePath("missing"), "--to", storage},
        {"restore", storage, source, "--at", "yesterday-ish", "--into", m_work.filePath("r")},
        {"purge", storage, "--keep", "-3"},
        {"ls", m_work.filePath("not-a-destination")},
        {"sessions", "--plan", "not-a-uuid"},
    };
    // A refusal is a failure status and one line on stderr.
    const auto refused = [](const ToolRun& run, const QString& what) {
        EXPECT_NE(run.status, 0) << what.toStdString();
        EXPECT_TRUE(run.err.startsWith("rpxrepo: ") && run.err.trimmed().count('\n') == 0) << run.err.toStdString();
    };
    for (const QStringList& arguments : bad)
        refused(rpxrepo(arguments), arguments.join(' '));
    EXPECT_FALSE(QDir(m_work.filePath("r")).exists());
    EXPECT_EQ(rpxrepo({"--json", "info"}).json("rows"), before);

    // An unreachable repository is one clear line that does not show the password.
    writeSettings(postgres() ? "PGSQL;host:127.0.0.1;port:1;user:x;password:secret;database:y"
                             : "/nonexistent/folder/store.db");
    QDir(storage).removeRecursively();
    const ToolRun run = backup();
    refused(run, "unreachable repository");
    EXPECT_TRUE(run.err.contains("cannot open the repository") && !run.err.contains("secret")) << run.err.toStdString();
    EXPECT_FALSE(QDir(storage).exists());
}

// A repository on SQLite moved with --switch (to PostgreSQL, or to another file on the SQLite run):
// the settings keep everything else, and every command goes on against the copy.
TEST_P(RpxrepoTest, MigrateWithSwitchAndCarryOn)
{
    writeSettings(sqlitePath());
    const QString settings = configRoot() + "settings.xml";
    QFile file(settings);
    ASSERT_TRUE(file.open(QIODevice::ReadWrite));
    const QByteArray xml = file.readAll().replace("</settings>", "  <!-- kept -->\n  <agent name=\"pc1\" port=\"7\"/>\n</settings>");
    file.resize(0);
    file.write(xml);
    file.close();

    age(2);
    ASSERT_EQ(backup().status, 0);
    const QString target = postgres() ? pgConnectionString() : configRoot() + "moved.db";
    const ToolRun moved = rpxrepo({"--json", "migrate", "--to", target, "--switch"});
    ASSERT_EQ(moved.status, 0) << moved.err.toStdString();
    EXPECT_EQ(moved.json("DB_location").toString(), target);
    EXPECT_EQ(moved.json("rows").toObject().value("cloud_file_versions").toInt(), 4);
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    const QString rewritten = QString::fromUtf8(file.readAll());
    EXPECT_TRUE(rewritten.contains("<!-- kept -->") && rewritten.contains("<agent name=\"pc1\" port=\"7\"/>") &&
                rewritten.contains(target.toHtmlEscaped()))
        << rewritten.toStdString();

    // Moving again is refused: the copy is now the configured repository, and it holds rows.
    for (const QString& to : {target, sqlitePath()}) {
        const ToolRun again = rpxrepo({"migrate", "--to", to});
        EXPECT_NE(again.status, 0);
        EXPECT_TRUE(again.err.startsWith("rpxrepo: migrate: ") && again.err.trimmed().count('\n') == 0)
            << again.err.toStdString();
    }

    EXPECT_EQ(rpxrepo({"--json", "info"}).json("engine").toString(), postgres() ? "PostgreSQL" : "SQLite");
    EXPECT_EQ(rpxrepo({"--json", "versions", storage, source + "/docs/a.txt"}).json("versions").toArray().size(), 1);
    const QString into = m_work.filePath("restored");
    const ToolRun restore = rpxrepo({"restore", storage, source, "--at", hoursAgo(-1), "--into", into});
    ASSERT_EQ(restore.status, 0) << restore.err.toStdString();
    EXPECT_EQ(tree(into), tree(source));
    write(source + "/docs/later.txt", "later");
    const ToolRun later = backup();
    ASSERT_EQ(later.status, 0) << later.err.toStdString();
    EXPECT_EQ(later.json("written").toInt(), 1);
}

RPX_ON_BOTH_ENGINES(RpxrepoTest);
