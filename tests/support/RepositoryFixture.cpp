#include "RepositoryFixture.h"

#include <rpxRepository/database/Database.h>

#include <QFile>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QUuid>

namespace rpxtest {

namespace {

QString testServer()
{
    return qEnvironmentVariable("RPX_TEST_PGSQL");
}

// The value of one "key:value" item of a PGSQL string.
QString item(const QString& connection, const QString& key)
{
    for (const QString& part : connection.split(QLatin1Char(';'))) {
        if (part.startsWith(key + QLatin1Char(':')))
            return part.mid(key.size() + 1).trimmed();
    }
    return QString();
}

QString withDatabase(const QString& connection, const QString& database)
{
    QStringList parts;
    for (const QString& part : connection.split(QLatin1Char(';'))) {
        if (!part.startsWith(QLatin1String("database:")))
            parts << part;
    }
    parts << QStringLiteral("database:") + database;
    return parts.join(QLatin1Char(';'));
}

}  // namespace

ScopedEnv::ScopedEnv(const char* name, const QByteArray& value)
    : m_name(name), m_old(qgetenv(name)), m_had(qEnvironmentVariableIsSet(name))
{
    qputenv(name, value);
}

ScopedEnv::~ScopedEnv()
{
    if (m_had)
        qputenv(m_name.constData(), m_old);
    else
        qunsetenv(m_name.constData());
}

bool runOnTestServer(const QString& statement, QString* error)
{
    const QString server = testServer();
    const QString name = QStringLiteral("rpxtest-admin");
    bool ok = false;
    {
        QSqlDatabase admin = QSqlDatabase::addDatabase(QStringLiteral("QPSQL"), name);
        admin.setHostName(item(server, QStringLiteral("host")));
        admin.setPort(item(server, QStringLiteral("port")).toInt());
        admin.setUserName(item(server, QStringLiteral("user")));
        admin.setPassword(item(server, QStringLiteral("password")));
        admin.setDatabaseName(item(server, QStringLiteral("database")));
        if (admin.open()) {
            QSqlQuery query(admin);
            ok = query.exec(statement);
            if (!ok && error)
                *error = query.lastError().text();
        } else if (error) {
            *error = admin.lastError().text();
        }
    }
    QSqlDatabase::removeDatabase(name);
    return ok;
}

void EngineTest::SetUp()
{
    m_dir = std::make_unique<QTemporaryDir>();
    ASSERT_TRUE(m_dir->isValid());
    m_root = std::make_unique<ScopedEnv>("RPX_CONFIG_ROOT", QFile::encodeName(configRoot()));

    if (!postgres())
        return;
    if (testServer().isEmpty()) {
        if (qEnvironmentVariable("CI") == QLatin1String("true"))
            FAIL() << "RPX_TEST_PGSQL is not set: the PostgreSQL test server is missing";
        GTEST_SKIP() << "RPX_TEST_PGSQL is not set; run the tests through ./dev test";
    }
    m_pgDatabase = QStringLiteral("rpx_") + QUuid::createUuid().toString(QUuid::Id128);
    QString error;
    ASSERT_TRUE(runOnTestServer(QStringLiteral("CREATE DATABASE ") + m_pgDatabase, &error))
        << "PostgreSQL test server unreachable: " << error.toStdString();
    writeSettings(pgConnectionString());
}

void EngineTest::TearDown()
{
    resetProcessState();
    if (!m_pgDatabase.isEmpty())
        runOnTestServer(QStringLiteral("DROP DATABASE IF EXISTS %1 WITH (FORCE)").arg(m_pgDatabase));
    m_root.reset();
    m_dir.reset();
}

QString EngineTest::configRoot() const
{
    return m_dir->path() + QLatin1Char('/');
}

QString EngineTest::sqlitePath() const
{
    return configRoot() + QStringLiteral("rpxstore.db");
}

QString EngineTest::pgConnectionString() const
{
    return withDatabase(testServer(), m_pgDatabase);
}

void EngineTest::writeSettings(const QString& location) const
{
    QFile file(configRoot() + QStringLiteral("settings.xml"));
    ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    QString xml = QStringLiteral("<?xml version=\"1.0\"?>\n<settings>\n");
    if (!location.isEmpty()) {
        QString escaped = location.toHtmlEscaped();
        xml += QStringLiteral("  <database DB_location=\"%1\"/>\n").arg(escaped);
    }
    xml += QStringLiteral("</settings>\n");
    file.write(xml.toUtf8());
}

void EngineTest::resetProcessState()
{
    delete RPX::SQL::DatabasePool::defaultPool().data();
    const QString defaultName = QLatin1String(QSqlDatabase::defaultConnection);
    if (QSqlDatabase::contains(defaultName))
        QSqlDatabase::removeDatabase(defaultName);
    RPX::SQL::Database::resetDbLastError();
}

void RepositoryTest::SetUp()
{
    EngineTest::SetUp();
    if (IsSkipped() || HasFatalFailure())
        return;
    ASSERT_TRUE(RPX::SQL::Database::init(false));
}

std::string engineName(const ::testing::TestParamInfo<DatabaseType>& info)
{
    return info.param == DatabaseType::PostgreSQL ? "PostgreSQL" : "SQLite";
}

bool& inCallerTransaction()
{
    static bool wrapped = false;
    return wrapped;
}

TestConnection::TestConnection(QPointer<RPX::SQL::DatabasePool>& pool) : DatabaseConnection(pool)
{
    if (inCallerTransaction() && isOpen()) {
        m_transaction = std::make_unique<RPX::SQL::Transaction>(*this);
        EXPECT_TRUE(m_transaction->isActive());
    }
}

TestConnection::~TestConnection()
{
    if (m_transaction && m_transaction->isActive()) {
        EXPECT_TRUE(m_transaction->commit());
    }
}

}  // namespace rpxtest
