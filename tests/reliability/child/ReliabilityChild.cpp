// A second process for the reliability tests.
//
//   reliability_child register <autocommit|transaction> <run>
//       Opens the repository of RPX_CONFIG_ROOT and registers file versions until it is killed.
//       Prints "ready", then "ack <versionId> <fileId> <run> <sequence> <path>" for every version
//       the database has acknowledged (in transaction mode only after the commit).
//   reliability_child lock <database file>
//       Takes the write lock of an SQLite file, prints "locked", waits for a line on stdin,
//       lets the lock go, prints "released" and waits for stdin to close.

#include <rpxRepository/catalog/CloudFileVersion.h>
#include <rpxRepository/database/Database.h>
#include <rpxRepository/database/DatabaseConnection.h>
#include <rpxRepository/database/DatabasePool.h>
#include <rpxRepository/database/Transaction.h>

#include <QCoreApplication>
#include <QDateTime>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QStringList>
#include <cstdio>
#include <memory>
#include <unistd.h>

using namespace RPX::SQL;

namespace {

// One write per line: a line the parent reads is complete, even when the process dies right after.
void say(const QString& line)
{
    const QByteArray bytes = (line + QLatin1Char('\n')).toUtf8();
    ssize_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(1, bytes.constData() + done, static_cast<size_t>(bytes.size() - done));
        if (n <= 0)
            return;
        done += n;
    }
}

bool readLine()
{
    char c = 0;
    while (::read(0, &c, 1) == 1) {
        if (c == '\n')
            return true;
    }
    return false;
}

// Paths overlap between runs so that later runs find the files and folders of earlier ones.
QString pathFor(int run, int sequence)
{
    const int n = (run * 7 + sequence) % 64;
    return QStringLiteral("/home/crash/d%1/s%2/file%3.dat").arg(n % 4).arg(n % 3).arg(n);
}

int registerLoop(bool inTransactions, int run)
{
    if (!Database::init(false)) {
        say(QStringLiteral("init failed"));
        return 2;
    }
    const QDateTime base(QDate(2024, 1, 1), QTime(0, 0), Qt::UTC);
    DatabaseConnection connection(DatabasePool::defaultPool());
    say(QStringLiteral("ready"));
    for (int sequence = 0;;) {
        const int batch = inTransactions ? 5 : 1;
        std::unique_ptr<Transaction> transaction;
        if (inTransactions) {
            transaction = std::make_unique<Transaction>(connection);
            if (!transaction->isActive())
                return 3;
        }
        QStringList acks;
        for (int i = 0; i < batch; ++i, ++sequence) {
            CloudFileVersion version;
            version.setPath(pathFor(run, sequence));
            version.setDateModified(base.addSecs(qint64(run) * 1000000 + sequence));
            version.setCloudPath(QByteArrayLiteral("objects/") + QByteArray::number(sequence));
            version.setSize(static_cast<unsigned long long>(sequence));
            if (!version.insert(1, connection)) {
                say(QStringLiteral("insert failed"));
                return 4;
            }
            acks << QStringLiteral("ack %1 %2 %3 %4 %5")
                        .arg(version.id())
                        .arg(version.fileId())
                        .arg(run)
                        .arg(sequence)
                        .arg(version.path());
        }
        if (transaction && !transaction->commit())
            return 5;
        for (const QString& ack : acks)
            say(ack);
    }
}

int holdLock(const QString& path)
{
    QSqlDatabase database = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("lock"));
    database.setDatabaseName(path);
    if (!database.open())
        return 2;
    QSqlQuery query(database);
    if (!query.exec(QStringLiteral("BEGIN IMMEDIATE")))
        return 3;
    say(QStringLiteral("locked"));
    readLine();
    query.exec(QStringLiteral("ROLLBACK"));
    say(QStringLiteral("released"));
    while (readLine()) {
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() == 4 && args[1] == QLatin1String("register"))
        return registerLoop(args[2] == QLatin1String("transaction"), args[3].toInt());
    if (args.size() == 3 && args[1] == QLatin1String("lock"))
        return holdLock(args[2]);
    std::fprintf(stderr, "usage: reliability_child register <autocommit|transaction> <run> | lock <file>\n");
    return 1;
}
