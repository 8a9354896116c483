// A second process for the reliability tests.
//
//   reliability_child register <autocommit|transaction> <run>
//       Opens the repository of RPX_CONFIG_ROOT and registers file versions until it is killed.
//       Prints "ready", then "ack <versionId> <fileId> <run> <sequence> <path>" for every version
//       the database has acknowledged (in transaction mode only after the commit).
//
//   reliability_child migrate <source> <target>
//       Copies the repository at source to target, printing "copied <table> <rows>" every 100 rows
//       of a table, then "done" or "failed <reason>".

#include <rpxRepository/catalog/CloudFileVersion.h>
#include <rpxRepository/database/Database.h>
#include <rpxRepository/database/DatabaseConnection.h>
#include <rpxRepository/database/DatabasePool.h>
#include <rpxRepository/database/RepositoryMigration.h>
#include <rpxRepository/database/Transaction.h>

#include <QCoreApplication>
#include <QDateTime>
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

int migrate(const QString& source, const QString& target)
{
    RepositoryMigration migration(source, target);
    migration.setProgressInterval(100);
    migration.setProgress([](const QString& table, qint64 copied, qint64) {
        say(QStringLiteral("copied %1 %2").arg(table).arg(copied));
    });
    const RepositoryMigration::Report report = migration.run();
    say(report.ok() ? QStringLiteral("done") : QStringLiteral("failed ") + report.message);
    return report.ok() ? 0 : 6;
}

}  // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() == 4 && args[1] == QLatin1String("register"))
        return registerLoop(args[2] == QLatin1String("transaction"), args[3].toInt());
    if (args.size() == 4 && args[1] == QLatin1String("migrate"))
        return migrate(args[2], args[3]);
    std::fprintf(stderr, "usage: reliability_child register <autocommit|transaction> <run>\n"
                         "       reliability_child migrate <source> <target>\n");
    return 1;
}
