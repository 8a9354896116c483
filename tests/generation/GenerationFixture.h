#pragma once

#include "support/Printers.h"

#include <rpxRepository/database/DatabaseConnection.h>
#include <rpxRepository/generation/AttachDatabase.h>

#include <gtest/gtest.h>
#include <QSharedPointer>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QUuid>
#include <QVariant>

namespace gentest {

using RPX::SQL::DatabaseConnection;
using RPX::SQL::DatabasePool;
using RPX::SQL::Generation::AttachDatabase;

// First column of the first row, or an invalid value when the statement fails or returns nothing.
inline QVariant scalar(const DatabaseConnection& connection, const QString& sql)
{
    QSqlQuery query = connection.query();
    if (!query.exec(sql) || !query.next())
        return QVariant();
    return query.value(0);
}

inline bool run(const DatabaseConnection& connection, const QString& sql)
{
    QSqlQuery query = connection.query();
    return query.exec(sql);
}

// A generation database created for the test in a temporary folder.
class GenerationTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(m_dir.isValid());
        m_attached = AttachDatabase::attach(path(), m_marker);
        ASSERT_FALSE(m_attached.isNull());
    }

    QString path(const QString& name = QStringLiteral("generation.db")) const { return m_dir.filePath(name); }
    QPointer<DatabasePool>& pool() { return m_attached->attachedDatabasePool(); }

    QTemporaryDir m_dir;
    const QUuid m_marker = QUuid::createUuid();
    QSharedPointer<AttachDatabase> m_attached;
};

}  // namespace gentest
